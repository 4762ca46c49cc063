// The transmit path: at once, pending behind a full pty, refusals, DTR.
#include <atomic>
#include <string>
#include <thread>

#include "PortFixture.h"

namespace tarvik::test {
namespace {

class TransmitTest : public PortFixture {};

TEST_F(TransmitTest, WriteThatCompletesAtOnceReportsDoneOnTheCallersThread) {
    Open();
    ASSERT_EQ(Send("ATH\r"), SP_OK);
    // Done before TransmitFrame returned, on this thread.
    ASSERT_EQ(cb.TransmitDones(), 1u);
    EXPECT_EQ(cb.Events().back().thread, GetCurrentThreadId());
    EXPECT_EQ(pty.Read(4, 5s), "ATH\r");
    // Idle again: the next frame is taken.
    ASSERT_EQ(Send("ATZ\r"), SP_OK);
    EXPECT_EQ(pty.Read(4, 5s), "ATZ\r");
    EXPECT_EQ(cb.TransmitDones(), 2u);
}

TEST_F(TransmitTest, AnXoffFromTheModemIsDataAndCommandsStillGoOut) {
    Open();
    ASSERT_TRUE(Feed("\x13OK\r", 1));
    EXPECT_EQ(FrameTexts(), std::vector<std::string>{"\x13OK\r"});
    ASSERT_EQ(Send("ATH\r"), SP_OK);
    EXPECT_EQ(pty.Read(4, 5s), "ATH\r");
    EXPECT_EQ(cb.TransmitDones(), 1u);
}

TEST_F(TransmitTest, PendingWriteFinishesOnTheMonitorThreadOnceTheModemReads) {
    // A line that sends its next command as soon as it learns the last one
    // went out must find the port idle, even from inside TransmitDone.
    // (It waits until the modem has read the first: a purge of the driver's
    // output before each frame would drop what the modem has not read yet.)
    std::atomic<LONG> next{-1};
    std::atomic<bool> asked{false}, modemRead{false};
    cb.onTransmitDone = [&] {
        for (auto until = std::chrono::steady_clock::now() + 10s;
             !modemRead && std::chrono::steady_clock::now() < until;)
            std::this_thread::yield();
        if (!asked.exchange(true))
            next = Send("ATZ\r");
    };
    Open();
    ASSERT_TRUE(pty.HoldSlaveOutput());
    ASSERT_EQ(Send("ATH\r"), SP_OK);
    EXPECT_EQ(cb.TransmitDones(), 0u);
    EXPECT_EQ(Send("ATZ\r"), SP_BUSY);  // one frame at a time

    EXPECT_EQ(pty.Read(0, 100ms), "");
    ASSERT_TRUE(pty.ReleaseSlaveOutput());
    std::string seen = pty.ReadUntil("ATH\r", 10s);
    modemRead = true;
    ASSERT_NE(seen.find("ATH\r"), std::string::npos);
    ASSERT_TRUE(cb.WaitFor(PortEvent::TransmitDone, 1, 5s));
    EXPECT_NE(cb.Events().back().thread, GetCurrentThreadId());
    EXPECT_NE(pty.ReadUntil("ATZ\r", 5s).find("ATZ\r"), std::string::npos);
    for (auto until = std::chrono::steady_clock::now() + 5s;
         next == -1 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(next, SP_OK);
    EXPECT_TRUE(cb.Fatals().empty());
}

TEST_F(TransmitTest, OnlyAnOpenPortTakesFramesUpToTheMaximumFrameLength) {
    EXPECT_EQ(Send("AT\r"), SP_NO_HANDLE);
    Open();
    EXPECT_EQ(Send(std::string(101, 'A')), SP_BAD_LENGTH);
    EXPECT_EQ(cb.TransmitDones(), 0u);
    EXPECT_EQ(Send(std::string(100, 'A')), SP_OK);
    EXPECT_EQ(pty.Read(100, 5s), std::string(100, 'A'));

    // An empty frame writes nothing and reports nothing.
    ASSERT_EQ(port->TransmitFrame(nullptr, 0), SP_OK);
    EXPECT_EQ(cb.TransmitDones(), 1u);
    // A bad pointer with a length is refused, not read.
    EXPECT_EQ(port->TransmitFrame(nullptr, 4), SP_BAD_LENGTH);
    ASSERT_EQ(port->ClosePort(true), SP_OK);
    EXPECT_EQ(Send("AT\r"), SP_NO_HANDLE);
    EXPECT_EQ(cb.TransmitDones(), 1u);
}

TEST_F(TransmitTest, MaximumFrameLengthIsLimitedToTheStagingBlock) {
    EXPECT_EQ(port->SetMaxFrameLength(0), SP_BAD_LENGTH);
    EXPECT_EQ(port->SetMaxFrameLength(501), SP_BAD_LENGTH);
    EXPECT_EQ(port->SetMaxFrameLength(-5), SP_BAD_LENGTH);
    EXPECT_EQ(port->GetMaxFrameLength(), 100);
    ASSERT_EQ(port->SetMaxFrameLength(500), SP_OK);
    Open();
    EXPECT_EQ(port->SetMaxFrameLength(50), SP_BUSY);
    EXPECT_EQ(port->GetMaxFrameLength(), 500);
    std::string big(500, 'x');
    big.back() = '\r';
    ASSERT_EQ(Send(big), SP_OK);
    EXPECT_EQ(pty.Read(500, 5s), big);
}

TEST_F(TransmitTest, DtrWorksOnAPseudoTerminalAndTeardownIsSafeAgainstATransmitInFlight) {
    Open();
    EXPECT_TRUE(port->DTRClear());
    EXPECT_TRUE(port->DTRSet());
    // Another thread transmits and raises DTR until the port is destroyed
    // under it.
    std::atomic<int> sent{0};
    std::atomic<bool> destroyed{false};
    std::thread sender([&] {
        while (!destroyed) {
            Send("AT\r");
            port->DTRSet();
            ++sent;
        }
    });
    for (auto until = std::chrono::steady_clock::now() + 5s;
         sent < 20 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(port->DestroyPort(), SP_OK);
    destroyed = true;
    sender.join();
    log.Clear();
    EXPECT_FALSE(port->DTRClear());
    EXPECT_FALSE(port->DTRSet());
    EXPECT_FALSE(port->ToggleDTR());
    EXPECT_EQ(log.Count(), 0u);
}

TEST_F(TransmitTest, RetransmitWritesThePendingFrameAgainAndKeepsReading) {
    Open();
    EXPECT_FALSE(port->RetransmitFrame());  // nothing pending
    ASSERT_TRUE(pty.HoldSlaveOutput());
    ASSERT_EQ(Send("ATD1\r"), SP_OK);
    ASSERT_TRUE(port->RetransmitFrame());
    ASSERT_TRUE(pty.ReleaseSlaveOutput());
    ASSERT_NE(pty.ReadUntil("ATD1\r", 10s).find("ATD1\r"), std::string::npos);
    ASSERT_TRUE(cb.WaitFor(PortEvent::TransmitDone, 1, 5s));
    // Reception goes on after the retransmission.
    ASSERT_TRUE(Feed("OK\r", 1));
    EXPECT_EQ(cb.Frames()[0].bytes, "OK\r");
    EXPECT_TRUE(cb.Fatals().empty());
}

}  // namespace
}  // namespace tarvik::test

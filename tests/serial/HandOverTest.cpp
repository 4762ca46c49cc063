// CONNECT, hand-over of the descriptor to the host, the end-of-call signal and
// taking the port back.
#ifndef _WIN32
#include <fcntl.h>
#endif

#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "PortFixture.h"
#include "line/HostHandle.h"
#include "tarvik/sync.h"

namespace tarvik::test {
namespace {

class HandOverTest : public PortFixture {
  protected:
    // The line's way through a data call: CONNECT stops reading, then the port
    // is handed over from another thread than the monitor thread.
    void ConnectAndHandOver(const std::string& connectAndData) {
        Open();
        ASSERT_TRUE(Feed(connectAndData, 1));
        ASSERT_EQ(port->m_bReadEnabled.load(), 0);
        ASSERT_EQ(port->ClosePort(false), SP_OK);
    }
};

TEST_F(HandOverTest, TheHostGetsEveryByteUnalteredOnABlockingDescriptor) {
    std::string data;
    for (int i = 0; i < 3072; ++i)
        data += static_cast<char>(i % 256);  // XON, XOFF, CR, LF, ^C... included
    // The data follows CONNECT in the same write, so it is already waiting in
    // the driver while the port handles the CONNECT frame: none of it may be
    // taken by the port.
    ConnectAndHandOver("CONNECT 9600\r" + data);
    EXPECT_EQ(cb.Frames().size(), 1u);
    EXPECT_EQ(cb.Frames()[0].bytes, "CONNECT 9600\r");
    int fd = port->GetPortHandle();
    ASSERT_GE(fd, 0);
#ifndef _WIN32  // a Win32 handle is opened for overlapped I/O once and stays so
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#endif
    EXPECT_EQ(HostPortReadUntil(fd, data, 10s), data);
    // And the host talks back through the same descriptor.
    ASSERT_TRUE(HostPortWrite(fd, data.substr(0, 256)));
    EXPECT_EQ(pty.Read(256, 5s), data.substr(0, 256));
    // Taken back, the port's own I/O is non-blocking again.
    ASSERT_EQ(port->OpenPort(true), SP_OK);
#ifndef _WIN32
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#endif
}

TEST_F(HandOverTest, EndOfCallSignalReachesTheLineAndThePortComesBack) {
    ConnectAndHandOver("CONNECT\r");
    int handle = port->GetPortHandle();
    // Signalled at once after the hand-over: the signal must not be lost to a
    // thread that starts late.
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 2, 5s));
    auto signal = cb.Frames()[1];
    EXPECT_EQ(signal.a, -1);
    EXPECT_EQ(signal.b, 0);
    EXPECT_NE(signal.thread, GetCurrentThreadId());
    // The line may try to fetch "frame -1"; nothing happens.
    BYTE b = 0x55;
    EXPECT_EQ(port->GetFrame(&b, 1, -1), SP_NO_FRAME);
    EXPECT_EQ(b, 0x55);

    ASSERT_EQ(port->OpenPort(true), SP_OK);
    EXPECT_EQ(log.With("CSerialPort::EventThread()", "Shutting down").size(), 1u);
    EXPECT_EQ(port->GetPortHandle(), handle);
    ASSERT_TRUE(Feed("OK\r", 3));
    EXPECT_EQ(cb.Frames()[2].bytes, "OK\r");
    EXPECT_EQ(cb.Frames()[2].a, 0);  // numbering starts again
    ASSERT_EQ(Send("ATH\r"), SP_OK);
    EXPECT_EQ(pty.Read(4, 5s), "ATH\r");
}

TEST_F(HandOverTest, SignalWhileOpenOrBeforeTheHandOverIsNotTakenForAnEndOfCall) {
    Open();
    // Nobody waits for the event yet: the signal reaches no one.
    ASSERT_FALSE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(Feed("CONNECT\r", 1));
    ASSERT_EQ(port->ClosePort(false), SP_OK);
    // A stale signal is cleared by the hand-over; a fresh one is reported once.
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 2, 5s));
    ASSERT_EQ(port->OpenPort(true), SP_OK);
    auto frames = cb.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].a, -1);
}

TEST_F(HandOverTest, HandedOverPortDoesNoIoUntilTakenBack) {
    ConnectAndHandOver("CONNECT\r");
    ASSERT_TRUE(pty.Write("NO CARRIER\r"));
    // The bytes stay in the driver for the host.
    EXPECT_EQ(HostPortReadUntil(port->GetPortHandle(), "NO CARRIER\r", 5s), "NO CARRIER\r");
    EXPECT_EQ(cb.Frames().size(), 1u);
    EXPECT_EQ(Send("AT\r"), SP_NO_HANDLE);
    // Closing for good from the handed-over state stops the event thread.
    EXPECT_EQ(port->ClosePort(true), SP_OK);  // not open: nothing to do
    EXPECT_EQ(port->DestroyPort(), SP_OK);
    EXPECT_EQ(log.With("CSerialPort::EventThread()", "Shutting down").size(), 1u);
    EXPECT_EQ(port->GetPortHandle(), -1);
}

TEST_F(HandOverTest, ClosingAPortThatIsNotOpenStartsNothing) {
    EXPECT_EQ(port->ClosePort(false), SP_OK);
    EXPECT_EQ(port->ClosePort(true), SP_OK);
    // Nothing listens: the signal reaches no one, and no frame follows.
    ASSERT_FALSE(SignalNamedEvent("Tarvik"));
    EXPECT_FALSE(cb.WaitFor(PortEvent::Frame, 1, 200ms));
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(HandOverTest, ClosePortFromInsideTheLinesCallbackDoesNotDeadlock) {
    // A line that hands over straight from FrameReceived (it should not, but
    // must not hang the process if it does).
    LONG closeResult = -1;
    cb.onFrame = [&](const PortEvent&) { closeResult = port->ClosePort(false); };
    Open();
    ASSERT_TRUE(Feed("CONNECT\rDATA", 1));
    EXPECT_EQ(closeResult, SP_OK);
    EXPECT_EQ(HostPortReadUntil(port->GetPortHandle(), "DATA", 5s), "DATA");
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 2, 5s));
}

// Two calls handed over at once, on two ports.
class TwoCallsTest : public ::testing::Test {
  protected:
    struct Call {
        PtyPair pty;
        std::string com = UniqueComName();
        RecordingCallback cb;
        CSerialPort port;
        void HandOver() {
            ASSERT_TRUE(pty.MapAs(com));
            cb.SetPort(&port);
            ASSERT_EQ(port.CreatePort(com.c_str()), SP_OK);
            ASSERT_EQ(port.SetCallback(&cb), SP_OK);
            ASSERT_EQ(port.OpenPort(false), SP_OK);
            ASSERT_TRUE(pty.Write("CONNECT\r"));
            ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
            ASSERT_EQ(port.ClosePort(false), SP_OK);
        }
        size_t Ends() const {
            size_t n = 0;
            for (const auto& f : cb.Frames())
                n += f.a == -1;
            return n;
        }
        ~Call() { port.DestroyPort(); }
    };
    bool WaitForEnds(size_t total) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (a.Ends() + b.Ends() < total) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            a.cb.WaitFor(PortEvent::Frame, a.cb.Frames().size() + 1, 20ms);
        }
        return true;
    }
    RecordingLog log;
    // Held by a port thread's callback: declared before the calls, so they
    // outlive the threads.
    std::mutex m;
    std::condition_variable cv;
    bool release = false, inside = false;
    Call a, b;
};

TEST_F(TwoCallsTest, EachPortsOwnSignalEndsExactlyItsCall) {
    a.HandOver();
    b.HandOver();
    EXPECT_EQ(EndOfCallEventName(("\\\\.\\" + b.com).c_str()), "Tarvik." + b.com);
    std::string lower = b.com;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(SignalEndOfCall(lower.c_str()));
    ASSERT_TRUE(b.cb.WaitFor(PortEvent::Frame, 2, 5s));
    EXPECT_FALSE(a.cb.WaitFor(PortEvent::Frame, 2, 300ms));
    EXPECT_FALSE(SignalEndOfCall(""));
}

TEST_F(TwoCallsTest, SharedSignalEndsOneCallEachAndAHandOverKeepsAPendingOne) {
    a.cb.onFrame = [&](const PortEvent& e) {
        if (e.a != -1)
            return;
        std::unique_lock lock(m);
        inside = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return release; });
    };
    a.HandOver();
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inside; }));
    }
    // A's thread is busy with the first signal; the second stays pending
    // while B is handed over, and is not wiped by it.
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    b.HandOver();
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(WaitForEnds(2));
    // One signal, one call: never both.
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(WaitForEnds(3));
    EXPECT_FALSE(b.cb.WaitFor(PortEvent::Frame, 10, 300ms));
    EXPECT_EQ(a.Ends() + b.Ends(), 3u);
}

}  // namespace
}  // namespace tarvik::test

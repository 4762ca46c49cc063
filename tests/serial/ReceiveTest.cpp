// Frames on a real pseudo-terminal: assembly, overflow, slots, wrap, fetch.
#include <string>

#include "PortFixture.h"
#include "line/HostHandle.h"
#include "serial/FrameBuffer.h"

namespace tarvik::test {
namespace {

class ReceiveTest : public PortFixture {};

TEST_F(ReceiveTest, CarriageReturnEndsEachFrameAndNothingIsStripped) {
    Open();
    ASSERT_TRUE(Feed("\r\nOK\r\n", 2));
    auto frames = cb.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].a, 0);
    EXPECT_EQ(frames[0].b, 1);
    EXPECT_EQ(frames[0].bytes, "\r");
    EXPECT_EQ(frames[1].a, 1);
    EXPECT_EQ(frames[1].b, 4);
    EXPECT_EQ(frames[1].bytes, "\nOK\r");
    // The trailing LF opens the next frame.
    ASSERT_TRUE(Feed("RING\r", 3));
    EXPECT_EQ(cb.Frames()[2].bytes, "\nRING\r");
    EXPECT_EQ(cb.Frames()[2].a, 2);
    // Frames arrive on the monitor thread, never on the caller's.
    EXPECT_NE(cb.Frames()[0].thread, GetCurrentThreadId());
    EXPECT_TRUE(cb.Fatals().empty());
    // A terminator change takes effect while open.
    port->SetFrameTerminator('\n');
    ASSERT_TRUE(Feed("AT\r\n", 4));
    EXPECT_EQ(cb.Frames()[3].bytes, "AT\r\n");
}

TEST_F(ReceiveTest, AnOverlongLineIsReportedOnceAndDroppedUpToTheNextTerminator) {
    Open();
    // Noise, then lines ended with LF alone: each overlong run is one report.
    ASSERT_TRUE(pty.Write(std::string(1000, 'A') + "\r"));
    std::string lfLines;
    for (int i = 0; i < 100; ++i)
        lfLines += "OK\n";
    ASSERT_TRUE(Feed(lfLines + "\rRING\r", 1));
    EXPECT_EQ(FrameTexts(), std::vector<std::string>{"RING\r"});
    ASSERT_EQ(cb.Fatals().size(), 2u);
    for (const auto& f : cb.Fatals()) {
        EXPECT_EQ(f.a, 13);
        EXPECT_EQ(f.b, 0);
    }
}

TEST_F(ReceiveTest, FrameNumbersWrapWithThePool) {
    Open();
    std::string burst;
    for (int i = 0; i < 250; ++i)
        burst += "L" + std::to_string(i) + "\r";
    ASSERT_TRUE(Feed(burst, 250, 20s));
    auto frames = cb.Frames();
    for (int i = 0; i < 250; ++i) {
        EXPECT_EQ(frames[i].a, i % 100);
        EXPECT_EQ(frames[i].bytes, "L" + std::to_string(i) + "\r");
        EXPECT_EQ(frames[i].fetch, SP_OK);
    }
    EXPECT_TRUE(cb.Fatals().empty());
}

TEST_F(ReceiveTest, SlotStillInUseKeepsTheBytesUntilTheLineFetches) {
    cb.Keep({0});
    Open();
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += "F\r";
    ASSERT_TRUE(Feed(burst, 100, 10s));
    // Frame 100 would go to slot 0, which still holds frame 0.
    ASSERT_TRUE(pty.Write("G\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Fatal, 1, 5s));
    EXPECT_EQ(cb.Fatals()[0].a, 13);
    EXPECT_EQ(cb.Fatals()[0].b, 0);
    ASSERT_TRUE(pty.Write("H\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Fatal, 2, 5s));
    EXPECT_EQ(cb.Frames().size(), 100u);

    std::string first(2, '\0');
    ASSERT_EQ(port->GetFrame(reinterpret_cast<BYTE*>(first.data()), 2, 0), SP_OK);
    EXPECT_EQ(first, "F\r");
    cb.Keep({});
    ASSERT_TRUE(Feed("I\r", 101));
    auto last = cb.Frames().back();
    EXPECT_EQ(last.a, 0);
    EXPECT_EQ(last.bytes, "G\rH\rI\r");
}

TEST_F(ReceiveTest, GetFrameRefusesNumbersOutsideThePoolEmptySlotsAndShortDestinations) {
    cb.Keep({0});
    Open();
    ASSERT_TRUE(Feed("OK\r", 1));
    BYTE dest[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    for (LONG n : {-1, 100, 1000, -100})
        EXPECT_EQ(port->GetFrame(dest, 8, n), SP_NO_FRAME) << n;
    EXPECT_EQ(port->GetFrame(dest, 8, 1), SP_NO_FRAME);
    // Too small for the frame: an error, nothing written, the frame kept.
    EXPECT_EQ(port->GetFrame(dest, 2, 0), SP_BAD_LENGTH);
    for (BYTE b : dest)
        EXPECT_EQ(b, 0x55);
    ASSERT_EQ(port->GetFrame(dest, 8, 0), SP_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dest), 3), "OK\r");
    EXPECT_EQ(dest[3], 0x55);  // exactly the frame, no terminating zero
    dest[0] = 0x55;
    EXPECT_EQ(port->GetFrame(dest, 8, 0), SP_NO_FRAME);  // fetched once only
    EXPECT_EQ(dest[0], 0x55);
}

TEST_F(ReceiveTest, ClosingAQuietPortEndsTheMonitorThreadWithItsLogEntry) {
    Open();
    ASSERT_EQ(port->ClosePort(true), SP_OK);
    EXPECT_EQ(log.With("CSerialPort::MonitorThreadMain()", "Shutting down").size(), 1u);
    // Closed: nothing more is read, and a second close changes nothing.
    ASSERT_TRUE(pty.Write("OK\r"));
    EXPECT_EQ(port->ClosePort(true), SP_OK);
    EXPECT_EQ(HostPortReadUntil(port->GetPortHandle(), "OK\r", 5s), "OK\r");
    EXPECT_TRUE(cb.Frames().empty());
}

// The buffer behind frames refuses a capacity below one and copies nothing
// while empty; the port never asks either of it.
TEST(FrameBuffer, RefusesNoCapacityAndCopiesNothingWhileEmpty) {
    FrameBuffer fb;
    EXPECT_EQ(fb.Init(0), FrameBuffer::FB_REFUSED);
    EXPECT_EQ(fb.GetCapacity(), 300);
    BYTE dest[1] = {9};
    EXPECT_EQ(fb.CopyTo(dest), FrameBuffer::FB_EMPTY);
    EXPECT_EQ(dest[0], 9);
}

}  // namespace
}  // namespace tarvik::test

// CONNECT, hand-over of the descriptor to the host, the end-of-call signal and
// taking the port back.
#include <thread>

#include "PortFixture.h"
#include "tarvik/sync.h"

namespace tarvik::test {
namespace {

class HandOverTest : public PortFixture {
  protected:
    // The line's way through a data call: CONNECT stops reading, then the port
    // is handed over from another thread than the monitor thread.
    void ConnectAndHandOver(const std::string& connectAndData) {
        Open();
        ASSERT_TRUE(pty.Write(connectAndData));
        ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
        ASSERT_EQ(port->m_bReadEnabled.load(), 0);
        ASSERT_EQ(port->ClosePort(false), SP_OK);
    }
};

TEST_F(HandOverTest, NoByteAfterTheConnectFrameIsTakenFromTheHost) {
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>('0' + i % 64);
    // The data follows CONNECT in the same write, so it is already waiting in
    // the driver while the port handles the CONNECT frame.
    ConnectAndHandOver("CONNECT 9600\r" + data);
    EXPECT_EQ(cb.Frames().size(), 1u);
    EXPECT_EQ(cb.Frames()[0].bytes, "CONNECT 9600\r");
    int fd = port->GetPortHandle();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadFd(fd, data.size(), 10s), data);
    // And the host can talk back through the same descriptor.
    ASSERT_EQ(write(fd, "hello", 5), 5);
    EXPECT_EQ(pty.Read(5, 5s), "hello");
}

TEST_F(HandOverTest, EndOfCallSignalReachesTheLineAndThePortComesBack) {
    ConnectAndHandOver("CONNECT\r");
    int handle = port->GetPortHandle();
    EXPECT_EQ(log.With("CSerialPort::MonitorThreadMain()", "Shutting down").size(), 1u);
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
    EXPECT_EQ(port->GetFrame(&b, -1), SP_NO_FRAME);
    EXPECT_EQ(b, 0x55);

    ASSERT_EQ(port->OpenPort(true), SP_OK);
    EXPECT_EQ(log.With("CSerialPort::EventThread()", "Shutting down").size(), 1u);
    EXPECT_EQ(port->GetPortHandle(), handle);
    ASSERT_TRUE(pty.Write("OK\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 3, 5s));
    EXPECT_EQ(cb.Frames()[2].bytes, "OK\r");
    EXPECT_EQ(cb.Frames()[2].a, 0);  // numbering starts again
    const std::string at = "ATH\r";
    ASSERT_EQ(port->TransmitFrame(reinterpret_cast<const BYTE*>(at.data()), 4), SP_OK);
    EXPECT_EQ(pty.Read(4, 5s), at);
}

TEST_F(HandOverTest, SignalWhileOpenOrBeforeTheHandOverIsNotTakenForAnEndOfCall) {
    Open();
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(pty.Write("CONNECT\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
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
    EXPECT_EQ(ReadFd(port->GetPortHandle(), 11, 5s), "NO CARRIER\r");
    EXPECT_EQ(cb.Frames().size(), 1u);
    const std::string at = "AT\r";
    EXPECT_EQ(port->TransmitFrame(reinterpret_cast<const BYTE*>(at.data()), 3), SP_NO_HANDLE);
    // Closing for good from the handed-over state stops the event thread.
    EXPECT_EQ(port->ClosePort(true), SP_OK);  // not open: nothing to do
    EXPECT_EQ(port->DestroyPort(), SP_OK);
    EXPECT_EQ(log.With("CSerialPort::EventThread()", "Shutting down").size(), 1u);
    EXPECT_EQ(port->GetPortHandle(), -1);
}

TEST_F(HandOverTest, ClosingAPortThatIsNotOpenStartsNothing) {
    EXPECT_EQ(port->ClosePort(false), SP_OK);
    EXPECT_EQ(port->ClosePort(true), SP_OK);
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    // Nothing listens: a wait for a frame must time out.
    EXPECT_FALSE(cb.WaitFor(PortEvent::Frame, 1, 200ms));
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(HandOverTest, ClosePortFromInsideTheLinesCallbackDoesNotDeadlock) {
    // A line that hands over straight from FrameReceived (it should not, but
    // must not hang the process if it does).
    LONG closeResult = -1;
    cb.onFrame = [&](const PortEvent&) { closeResult = port->ClosePort(false); };
    Open();
    ASSERT_TRUE(pty.Write("CONNECT\rDATA"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
    EXPECT_EQ(closeResult, SP_OK);
    EXPECT_EQ(ReadFd(port->GetPortHandle(), 4, 5s), "DATA");
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 2, 5s));
}

}  // namespace
}  // namespace tarvik::test

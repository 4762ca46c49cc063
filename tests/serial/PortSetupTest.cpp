// Opening, naming, exclusive use, line settings and time-outs of the port.
#include <termios.h>

#include "PortFixture.h"

namespace tarvik::test {
namespace {

class PortSetupTest : public PortFixture {};

// Bare port objects: no device at all.
TEST(PortWithoutDevice, RefusesWhatNeedsADeviceOrCallback) {
    RecordingLog log;
    RecordingCallback cb;
    CSerialPort port;
    cb.SetPort(&port);
    EXPECT_EQ(port.OpenPort(false), SP_NO_HANDLE);
    EXPECT_EQ(log.WithMessage("invalid handle").size(), 1u);
    EXPECT_EQ(port.GetPortHandle(), -1);
    EXPECT_EQ(port.SetCallback(nullptr), SP_NULL_CALLBACK);
    EXPECT_EQ(port.ReleaseCallback(), SP_NO_CALLBACK);
    EXPECT_EQ(port.SetCallback(&cb), SP_OK);
    EXPECT_EQ(cb.Refs(), 2u);
    EXPECT_EQ(port.ReleaseCallback(), SP_OK);
    EXPECT_EQ(cb.Refs(), 1u);
    EXPECT_EQ(port.DestroyPort(), SP_OK);
    EXPECT_EQ(port.ClosePort(true), SP_OK);
}

TEST(PortWithoutDevice, SettersKeepOldValuesOnRefusal) {
    CSerialPort port;
    EXPECT_EQ(port.GetMaxFrameLength(), 500);
    for (LONG rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                      115200, 128000, 256000})
        EXPECT_EQ(port.SetBaudRate(rate), SP_OK) << rate;
    for (LONG rate : {0, -9600, 2000, 230400, 9601})
        EXPECT_EQ(port.SetBaudRate(rate), SP_BAD_BAUD_RATE) << rate;
}

TEST(PortWithoutDevice, LongOrMissingNamesAreRefusedWithoutOverflow) {
    CSerialPort port;
    EXPECT_EQ(port.CreatePort(nullptr), SP_OPEN_FAILED);
    EXPECT_EQ(port.CreatePort("COM1234567"), SP_OPEN_FAILED);  // 10 characters
    EXPECT_EQ(port.CreatePort("\\\\.\\COM100000"), SP_OPEN_FAILED);
    EXPECT_STREQ(port.m_szPortName, "");
    // An unmapped name falls back to /dev/ttyS{n-1}, which does not exist.
    EXPECT_EQ(port.CreatePort("COM9999"), SP_OPEN_FAILED);
    EXPECT_STREQ(port.m_szPortName, "COM9999");
    EXPECT_EQ(port.CreatePort("LPT1"), SP_OPEN_FAILED);
}

TEST_F(PortSetupTest, OpenRefusalsAreLoggedAndChangeNothing) {
    ASSERT_EQ(port->ReleaseCallback(), SP_OK);
    EXPECT_EQ(port->OpenPort(false), SP_NO_CALLBACK);
    EXPECT_EQ(log.WithMessage("No callback").size(), 1u);
    ASSERT_EQ(port->SetCallback(&cb), SP_OK);
    Open();
    EXPECT_EQ(port->OpenPort(false), SP_BUSY);
    EXPECT_EQ(log.With("CSerialPort::OpenPort()", "Port already open").size(), 1u);
    EXPECT_EQ(port->SetCallback(&cb), SP_BUSY);
    // Still working after the refusals.
    ASSERT_TRUE(pty.Write("OK\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
    EXPECT_EQ(std::string(port->m_szPortName), com);
}

TEST_F(PortSetupTest, SecondOpenerOfTheSameDeviceIsRefused) {
    CSerialPort other;
    EXPECT_EQ(other.CreatePort(com.c_str()), SP_OPEN_FAILED);
    DWORD error = 0;
    EXPECT_EQ(SerialDevice::Open(pty.SlavePath().c_str(), &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    // Free again once destroyed.
    ASSERT_EQ(port->DestroyPort(), SP_OK);
    EXPECT_EQ(other.CreatePort(com.c_str()), SP_OK);
    EXPECT_EQ(other.DestroyPort(), SP_OK);
}

TEST(PortNames, NinthAndTenthPortsOpenThroughTheDeviceMap) {
    PtyPair nine, ten;
    ASSERT_TRUE(nine.MapAs("COM9"));
    ASSERT_TRUE(ten.MapAs("COM10"));
    CSerialPort a, b, c;
    ASSERT_EQ(a.CreatePort("com9"), SP_OK);  // names compare without case
    ASSERT_EQ(b.CreatePort("COM10"), SP_OK);
    // Both ports are distinct devices: writing on one reaches its own pty.
    ASSERT_EQ(write(a.GetPortHandle(), "9", 1), 1);
    ASSERT_EQ(write(b.GetPortHandle(), "10", 2), 2);
    EXPECT_EQ(nine.Read(1, 5s), "9");
    EXPECT_EQ(ten.Read(2, 5s), "10");
    ASSERT_EQ(b.DestroyPort(), SP_OK);
    ASSERT_EQ(c.CreatePort("\\\\.\\COM10"), SP_OK);
    EXPECT_EQ(c.DestroyPort(), SP_OK);
    EXPECT_EQ(a.DestroyPort(), SP_OK);
}

TEST_F(PortSetupTest, OpenConfiguresARawEightBitLineAndApplyCommStateChangesTheRate) {
    Open();
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);  // the master reports the slave's settings
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B300));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & (HUPCL | PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | IXOFF | INPCK));
    EXPECT_FALSE(t.c_oflag & OPOST);

    ASSERT_EQ(port->SetBaudRate(115200), SP_OK);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B300));  // not before ApplyCommState
    ASSERT_EQ(port->ApplyCommState(), SP_OK);
    ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    // Still receiving after re-configuration.
    ASSERT_TRUE(pty.Write("OK\r"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 1, 5s));
}

TEST_F(PortSetupTest, ClosePortRestoresTheTimeoutsFoundAtOpenAndKeepsTheHandle) {
    COMMTIMEOUTS before{7, 8, 9, 10, 11};
    int fd = port->GetPortHandle();
    // Time-outs some earlier user left on the device.
    ASSERT_TRUE(SerialPortDevice(*port)->SetCommTimeouts(before));
    Open();
    COMMTIMEOUTS during{};
    ASSERT_TRUE(SerialPortDevice(*port)->GetCommTimeouts(&during));
    EXPECT_EQ(during.ReadIntervalTimeout, 500u);
    EXPECT_EQ(during.WriteTotalTimeoutConstant, 0u);
    ASSERT_EQ(port->ClosePort(true), SP_OK);
    COMMTIMEOUTS after{};
    ASSERT_TRUE(SerialPortDevice(*port)->GetCommTimeouts(&after));
    EXPECT_EQ(after.ReadIntervalTimeout, 7u);
    EXPECT_EQ(after.ReadTotalTimeoutMultiplier, 8u);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, 11u);
    EXPECT_EQ(port->GetPortHandle(), fd);
    // The handle stays usable until DestroyPort.
    ASSERT_EQ(write(fd, "x", 1), 1);
    EXPECT_EQ(pty.Read(1, 5s), "x");
    ASSERT_EQ(port->DestroyPort(), SP_OK);
    EXPECT_EQ(port->GetPortHandle(), -1);
}

TEST_F(PortSetupTest, PortOnADeviceThatIsNoTerminalFailsSetupAndCanBeOpenedAfterAFix) {
    RecordingCallback badCb;
    CSerialPort bad;
    badCb.SetPort(&bad);
    ASSERT_TRUE(AddDeviceMapEntry("COM77", "/dev/null", nullptr));
    ASSERT_EQ(bad.CreatePort("COM77"), SP_OK);
    ASSERT_EQ(bad.SetCallback(&badCb), SP_OK);
    EXPECT_EQ(bad.OpenPort(false), SP_SETUP_FAILED);
    EXPECT_EQ(bad.OpenPort(true), SP_SETUP_FAILED);  // no crash on closed events
    bad.DestroyPort();
    // The same object on a real terminal afterwards works, events and all.
    ASSERT_TRUE(pty.MapAs("COM78"));
    ASSERT_EQ(port->DestroyPort(), SP_OK);
    ASSERT_EQ(bad.CreatePort("COM78"), SP_OK);
    ASSERT_EQ(bad.OpenPort(true), SP_OK);
    ASSERT_TRUE(pty.Write("OK\r"));
    ASSERT_TRUE(badCb.WaitFor(PortEvent::Frame, 1, 5s));
    EXPECT_EQ(bad.ClosePort(true), SP_OK);
    EXPECT_EQ(bad.DestroyPort(), SP_OK);
}

}  // namespace
}  // namespace tarvik::test

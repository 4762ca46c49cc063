// Opening, naming, exclusive use, line settings and time-outs of the port.
#include "Platform.h"
#include "PortFixture.h"
#include "line/HostHandle.h"
#include "modemsim/DeviceLink.h"

namespace tarvik::test {
namespace {

class PortSetupTest : public PortFixture {};

// Bare port objects: no device at all.
TEST(PortWithoutDevice, RefusesWhatNeedsADeviceOrCallback) {
    RecordingCallback cb;
    CSerialPort port;
    cb.SetPort(&port);
    EXPECT_EQ(port.OpenPort(false), SP_NO_HANDLE);
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

TEST(PortWithoutDevice, BadNamesAndRatesAreRefusedWithoutOverflow) {
    CSerialPort port;
    for (LONG rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                      115200, 128000, 256000})
        EXPECT_EQ(port.SetBaudRate(rate), SP_OK) << rate;
    for (LONG rate : {0, -9600, 2000, 230400, 9601})
        EXPECT_EQ(port.SetBaudRate(rate), SP_BAD_BAUD_RATE) << rate;
    for (const char* bad : {static_cast<const char*>(nullptr), "COM1234567", "\\\\.\\COM100000"})
        EXPECT_EQ(port.CreatePort(bad), SP_OPEN_FAILED);
    EXPECT_STREQ(port.m_szPortName, "");
    // Names of no port, or of one that leads nowhere, open nothing.
    for (const char* bad :
         {"", "COM", "COM0", "COMX", "COM-1", "COM1x", "COM257", "LPT1", "COM9999"})
        EXPECT_EQ(port.CreatePort(bad), SP_OPEN_FAILED) << bad;
    EXPECT_STREQ(port.m_szPortName, "COM9999");
}

TEST_F(PortSetupTest, OpenRefusalsChangeNothing) {
    ASSERT_EQ(port->ReleaseCallback(), SP_OK);
    EXPECT_EQ(port->OpenPort(false), SP_NO_CALLBACK);
    ASSERT_EQ(port->SetCallback(&cb), SP_OK);
    Open();
    EXPECT_EQ(port->OpenPort(false), SP_BUSY);
    EXPECT_EQ(port->SetCallback(&cb), SP_BUSY);
    // Still working after the refusals.
    ASSERT_TRUE(Feed("OK\r", 1));
    EXPECT_EQ(std::string(port->m_szPortName), com);
}

// Wine lets a second opener have a COM port; Windows refuses it.
TEST_F(PortSetupTest, LINUX_ONLY(SecondOpenerOfTheSameDeviceIsRefused)) {
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

TEST_F(PortSetupTest, OpenConfiguresARawEightBitLineAndApplyCommStateChangesTheRate) {
    Open();
    TerminalSettings t = pty.Settings();
    EXPECT_EQ(t.outSpeed, 300);
    for (const char* on : {"cs8", "clocal", "cread"})
        EXPECT_TRUE(t.Has(on)) << on << " in " << t.flags;
    for (const char* off : {"hupcl", "parenb", "cstopb", "crtscts", "icanon", "echo", "isig",
                            "icrnl", "ixon", "ixoff", "inpck", "opost"})
        EXPECT_FALSE(t.Has(off)) << off << " in " << t.flags;

    ASSERT_EQ(port->SetBaudRate(115200), SP_OK);
    EXPECT_EQ(pty.Settings().outSpeed, 300);  // not before ApplyCommState
    ASSERT_EQ(port->ApplyCommState(), SP_OK);
    t = pty.Settings();
    EXPECT_EQ(t.outSpeed, 115200);
    EXPECT_EQ(t.inSpeed, 115200);
    // Still receiving after re-configuration.
    ASSERT_TRUE(Feed("OK\r", 1));
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
    ASSERT_TRUE(HostPortWrite(fd, "x"));
    EXPECT_EQ(pty.Read(1, 5s), "x");
    ASSERT_EQ(port->DestroyPort(), SP_OK);
    EXPECT_EQ(port->GetPortHandle(), -1);
}

TEST_F(PortSetupTest, PortOnADeviceThatIsNoTerminalFailsSetupAndCanBeOpenedAfterAFix) {
    RecordingCallback badCb;
    CSerialPort bad;
    badCb.SetPort(&bad);
    modemsim::DeviceLink null;
    const std::string nullCom = UniqueComName();
    ASSERT_TRUE(null.Create(nullCom, "/dev/null"));
    ASSERT_EQ(bad.CreatePort(nullCom.c_str()), SP_OK);
    ASSERT_EQ(bad.SetCallback(&badCb), SP_OK);
    EXPECT_EQ(bad.OpenPort(false), SP_SETUP_FAILED);
    EXPECT_EQ(bad.OpenPort(true), SP_SETUP_FAILED);  // no crash on closed events
    bad.DestroyPort();
    // The same object on a real terminal afterwards works, events and all.
    ASSERT_EQ(port->DestroyPort(), SP_OK);
    ASSERT_EQ(bad.CreatePort(com.c_str()), SP_OK);
    ASSERT_EQ(bad.OpenPort(true), SP_OK);
    ASSERT_TRUE(pty.Write("OK\r"));
    ASSERT_TRUE(badCb.WaitFor(PortEvent::Frame, 1, 5s));
    EXPECT_EQ(bad.ClosePort(true), SP_OK);
    EXPECT_EQ(bad.DestroyPort(), SP_OK);
}

}  // namespace
}  // namespace tarvik::test

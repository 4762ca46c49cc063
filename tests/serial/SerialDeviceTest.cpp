// The runtime's serial device beneath the port: device map, settings and
// modem control. Its reads, writes and waits are the port's (tests of the
// port).
#include <cstdlib>

#include "Platform.h"
#include "RecordingCallback.h"
#include "pty/PtyPair.h"
#include "recorders/RecordingLog.h"
#include "tarvik/serial.h"
#include "tarvik/sync.h"

#include <gtest/gtest.h>

namespace tarvik::test {
namespace {

using namespace std::chrono_literals;

// The stand-in's device map; on Windows the system names the ports.
#ifndef _WIN32
TEST(DeviceMap, ResolvesMappedNamesAndFallsBackToTtyS) {
    PtyPair pty;
    ASSERT_TRUE(AddDeviceMapEntry("COM31", pty.SlavePath(), nullptr));
    const std::string link = DeviceMapFolder() + "/com31";
    EXPECT_EQ(ResolvePortName("COM31"), link);
    EXPECT_EQ(ResolvePortName("\\\\.\\cOm31"), link);
    EXPECT_EQ(ResolvePortName("COM32"), "/dev/ttyS31");
    EXPECT_EQ(ResolvePortName("COM1"), "/dev/ttyS0");
    for (const char* bad : {"", "COM", "COM0", "COMX", "COM-1", "LPT1", "COM1x"})
        EXPECT_EQ(ResolvePortName(bad), "") << bad;
    EXPECT_EQ(ResolvePortName("/dev/null"), "/dev/null");

    // Replacing an entry changes its target; listing is sorted by number.
    ASSERT_TRUE(AddDeviceMapEntry("COM4", "/dev/ttyUSB0", nullptr));
    ASSERT_TRUE(AddDeviceMapEntry("com31", "/dev/ttyACM1", nullptr));
    auto list = ListDeviceMap();
    ASSERT_GE(list.size(), 2u);
    size_t i4 = list.size(), i31 = list.size();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].name == "COM4")
            i4 = i;
        if (list[i].name == "COM31")
            i31 = i;
    }
    ASSERT_LT(i4, i31);
    EXPECT_EQ(list[i31].target, "/dev/ttyACM1");
    DWORD error = 0;
    EXPECT_FALSE(AddDeviceMapEntry("PRN", "/dev/x", &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(RemoveDeviceMapEntry("COM4", nullptr));
    EXPECT_FALSE(RemoveDeviceMapEntry("COM4", &error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ResolvePortName("COM4"), "/dev/ttyS3");
}

TEST(DeviceMap, FolderFollowsTheEnvironment) {
    std::string saved = getenv("TARVIK_DOSDEVICES") ? getenv("TARVIK_DOSDEVICES") : "";
    unsetenv("TARVIK_DOSDEVICES");
    setenv("XDG_DATA_HOME", "/tmp/xdg-h4-test", 1);
    EXPECT_EQ(DeviceMapFolder(), "/tmp/xdg-h4-test/tarvik/dosdevices");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(DeviceMapFolder(), "/home/someone/.local/share/tarvik/dosdevices");
    setenv("TARVIK_DOSDEVICES", saved.c_str(), 1);
    EXPECT_EQ(DeviceMapFolder(), saved);
}
#endif

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Valid());
        ASSERT_TRUE(pty.MapAs(com));
        DWORD error = 0;
        dev = SerialDevice::Open(("\\\\.\\" + com).c_str(), &error);
        ASSERT_TRUE(dev) << error;
        // The terminal starts cooked; its user makes it raw, as the port does.
        DCB dcb{};
        ASSERT_TRUE(dev->GetCommState(&dcb));
        EXPECT_EQ(dcb.fOutX, 1u);  // a cooked terminal reads as XON/XOFF on
        dcb.fOutX = dcb.fInX = 0;
        ASSERT_TRUE(dev->SetCommState(dcb));
    }
    PtyPair pty{true, true};
    std::string com = UniqueComName();
    std::shared_ptr<SerialDevice> dev;
};

// The stand-in's own terminal settings. Wine's keeps flags that do nothing on
// a raw line (echoe, onlcr without opost, noflsh) and VMIN 0.
TEST_F(DeviceTest, LINUX_ONLY(SettingsReplaceEverythingTheTerminalHeld)) {
    TerminalSettings t = pty.Settings();
    EXPECT_EQ(t.flags, "cs8 cread clocal");
    EXPECT_EQ(t.minBytes, 1);
    // Asked for, software flow control is on.
    DCB dcb{};
    ASSERT_TRUE(dev->GetCommState(&dcb));
    dcb.fOutX = dcb.fInX = 1;
    ASSERT_TRUE(dev->SetCommState(dcb));
    EXPECT_EQ(pty.Settings().flags, "ixon ixoff cs8 cread clocal");
}

// Wine sets 38400 on a pseudo-terminal for a rate without a POSIX constant
// (14400...) and reads XonLim and EvtChar back as 10 and 0; it refuses
// ByteSize 9 with ERROR_NOT_SUPPORTED. Windows keeps what it is given.
TEST_F(DeviceTest, LINUX_ONLY(EveryStandardRateIsAppliedAndReadBack)) {
    DCB dcb{};
    ASSERT_TRUE(dev->GetCommState(&dcb));
    for (DWORD rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u,
                       57600u, 115200u, 128000u, 256000u}) {
        dcb.BaudRate = rate;
        dcb.ByteSize = 8;
        ASSERT_TRUE(dev->SetCommState(dcb)) << rate;
        DCB back{};
        ASSERT_TRUE(dev->GetCommState(&back));
        EXPECT_EQ(back.BaudRate, rate);
        EXPECT_EQ(back.ByteSize, 8);
    }
    // A pseudo-terminal keeps 8 bits without parity whatever it is told, so
    // only the members it does keep are checked here.
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonLim = 100;
    dcb.EvtChar = 'x';
    ASSERT_TRUE(dev->SetCommState(dcb));
    DCB back{};
    ASSERT_TRUE(dev->GetCommState(&back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.EvtChar, 'x');
    DWORD error = 0;
    dcb.ByteSize = 9;
    EXPECT_FALSE(dev->SetCommState(dcb, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST_F(DeviceTest, AbortedReadCompletesWithOperationAbortedAndHandlesComeFirst) {
    BYTE b = 0;
    DWORD error = 0;
    ASSERT_EQ(dev->ReadByte(&b, &error), IoStatus::Pending);
    ASSERT_TRUE(dev->PurgeComm(PURGE_RXABORT));
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    IoCompletion c;
    EXPECT_EQ(dev->Wait(1, &ev, 5000, false, &c), WAIT_OBJECT_0);
    ResetEvent(ev);
    ASSERT_EQ(dev->Wait(1, &ev, 5000, false, &c), WAIT_IO_COMPLETION);
    EXPECT_EQ(c.kind, IoCompletion::Read);
    EXPECT_EQ(c.error, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(dev->ReadPending());
    // Nothing else pending: the wait times out, no spin on a stale completion.
    EXPECT_EQ(dev->Wait(1, &ev, 50, false, &c), WAIT_TIMEOUT);
    CloseHandle(ev);
}

// Wine cannot wait for comm events on a pseudo-terminal: it watches the
// modem-status lines, which a pseudo-terminal has none of.
TEST_F(DeviceTest, LINUX_ONLY(CommEventWaitEndsWithTheMaskClearedOrTheDeviceGone)) {
    DWORD error = 0;
    EXPECT_EQ(dev->WaitCommEvent(&error), IoStatus::Failed);  // no mask yet
    ASSERT_TRUE(dev->SetCommMask(EV_DSR | EV_CTS));
    ASSERT_EQ(dev->WaitCommEvent(&error), IoStatus::Pending);
    ASSERT_TRUE(dev->SetCommMask(0));
    IoCompletion c;
    ASSERT_EQ(dev->Wait(0, nullptr, 5000, false, &c), WAIT_IO_COMPLETION);
    EXPECT_EQ(c.kind, IoCompletion::CommEvent);
    EXPECT_EQ(c.error, 0u);
    EXPECT_EQ(c.mask, 0u);

    ASSERT_TRUE(dev->SetCommMask(EV_DSR));
    ASSERT_EQ(dev->WaitCommEvent(&error), IoStatus::Pending);
    pty.CloseMaster();
    ASSERT_EQ(dev->Wait(0, nullptr, 5000, false, &c), WAIT_IO_COMPLETION);
    EXPECT_EQ(c.kind, IoCompletion::CommEvent);
    EXPECT_EQ(c.error, ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(DeviceTest, OneWriteAtATimeAndAClosedDeviceFails) {
    DWORD error = 0;
    ASSERT_GT(pty.FillSlaveOutput(), 0u);
    const BYTE text[] = "ATZ\r";
    ASSERT_EQ(dev->Write(text, 4, &error), IoStatus::Pending);
    EXPECT_EQ(dev->Write(text, 4, &error), IoStatus::Failed);
    // Modem control on a pseudo-terminal counts as done.
    EXPECT_TRUE(dev->EscapeCommFunction(SETDTR));
    EXPECT_TRUE(dev->EscapeCommFunction(CLRDTR));
    EXPECT_FALSE(dev->EscapeCommFunction(99, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    dev->Close();
    EXPECT_EQ(dev->Fd(), -1);
    EXPECT_FALSE(dev->EscapeCommFunction(SETDTR, &error));
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    BYTE b;
    EXPECT_EQ(dev->ReadByte(&b, &error), IoStatus::Failed);
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tarvik::test

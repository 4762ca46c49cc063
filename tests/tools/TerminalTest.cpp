// The tools where a terminal matters, run in a pseudo-terminal: the data
// bridge in raw mode with its escape key, the AT terminal, and the scan of
// the machine's serial devices (on a made-up device tree).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Sandbox.h"
#include "process/ToolProcess.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::ToolPath;
using tarvik::test::ToolProcess;
namespace fs = std::filesystem;

namespace {

TEST(TerminalBridge, RawKeysGoOutOnceAndTheEscapeKeyHangsUpAndRestoresTheTerminal) {
    ToolProcess tool({ToolPath("tarvik"), "dial", "--number", "5551234"}, "",
                     ToolProcess::Input::Terminal);
    ASSERT_TRUE(tool.WaitForError("Ctrl-] hangs up", 20s)) << tool.Err();
    // Sent as typed (no line editing), not echoed by the terminal: the only
    // copy on the screen is the one the remote side sends back.
    tool.Send("abc");
    ASSERT_TRUE(tool.WaitForOutput("abc", 10s)) << tool.Out();
    tool.Send("\x1d");
    EXPECT_EQ(tool.Finish(), 0) << tool.Err();
    EXPECT_EQ(tool.Out().find("abc"), tool.Out().rfind("abc")) << tool.Out();  // only once
    EXPECT_NE(tool.Err().find("hanging up (Ctrl-])"), std::string::npos) << tool.Err();
    EXPECT_NE(tool.Err().find("call ended: hung up"), std::string::npos) << tool.Err();
    termios after{};
    ASSERT_EQ(tcgetattr(tool.Terminal(), &after), 0);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON), tcflag_t{ECHO | ICANON});
}

TEST(TerminalBridge, TermTalksToTheModemAndHangsUpOnExit) {
    tarvik::test::SimModem modem;
    modem.SetOutcome("5551234", "CONNECT 9600");
    ASSERT_TRUE(modem.Start());
    ASSERT_FALSE(modem.LinkAs("COM9").empty());
    ToolProcess tool({ToolPath("tarvik"), "term", "--port", "COM9"}, "",
                     ToolProcess::Input::Terminal);
    ASSERT_TRUE(tool.WaitForError("Ctrl-] leaves", 20s)) << tool.Err();
    tool.Send("ATI0\r");
    EXPECT_TRUE(tool.WaitForOutput("TARVIK-SIM", 10s)) << tool.Out();
    tool.Send("ATDT5551234\r");
    ASSERT_TRUE(tool.WaitForOutput("CONNECT 9600", 10s)) << tool.Out();
    tool.Send("\x1d");
    EXPECT_EQ(tool.Finish(), 0) << tool.Err();
    // Online, the modem hears the escape before anything else; a
    // pseudo-terminal has no DTR line to drop, so it is told to hang up.
    ASSERT_TRUE(modem.WaitForReceived("ATH\r")) << modem.Received();
    const std::string got = modem.Received();
    EXPECT_LT(got.find("ATDT"), got.find("+++")) << got;
    EXPECT_LT(got.find("+++"), got.find("ATH\r")) << got;

    ToolProcess missing({ToolPath("tarvik"), "term", "--port", "COM78"});
    EXPECT_EQ(missing.Finish(), 8);
    EXPECT_NE(missing.Err().find("COM78 (/dev/ttyS77): no such device"), std::string::npos);
    // A device another program has open, lock or no lock, is not shared.
    const int held = open("/dev/null", O_RDWR | O_CLOEXEC);
    ToolProcess busy({ToolPath("tarvik"), "term", "--port", "/dev/null"});
    EXPECT_EQ(busy.Finish(), 8);
    EXPECT_NE(busy.Err().find("/dev/null: is in use by another program (process "),
              std::string::npos)
        << busy.Err();
    close(held);
}

TEST(PortScan, ListsSerialDevicesWithTheirNamesAndUse) {
    const fs::path root = fs::path(tarvik::test::SandboxRoot()) / "machine";
    auto make = [&](const std::string& path, const std::string& text = "") {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path) << text;
    };
    for (const char* tty : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM0"})
        fs::create_directories(root / "sys/class/tty" / tty / "device");
    fs::create_directories(root / "sys/class/tty/tty0");  // no device: a virtual console
    make("sys/class/tty/ttyS0/type", "0\n");              // no UART behind it
    make("sys/class/tty/ttyS1/type", "4\n");
    for (const char* dev : {"dev/ttyS0", "dev/ttyS1", "dev/ttyUSB0", "dev/ttyACM0", "dev/tty0"})
        make(dev);
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    ToolProcess add({ToolPath("tarvik"), "ports", "add", "COM5", "/dev/ttyUSB0"});
    ASSERT_EQ(add.Finish(), 0) << add.Err();
    // Another program holds the adapter.
    const int held = open((root / "dev/ttyUSB0").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    const std::vector<std::string> scanRoot{"TARVIK_SCAN_ROOT=" + root.string()};
    ToolProcess text({ToolPath("tarvik"), "ports", "--scan"}, "", ToolProcess::Input::Pipe, false,
                     scanRoot);
    ToolProcess json({ToolPath("tarvik"), "ports", "--scan", "--json"}, "",
                     ToolProcess::Input::Pipe, false, scanRoot);
    EXPECT_EQ(text.Finish(), 0);
    EXPECT_EQ(json.Finish(), 0);
    close(held);
    EXPECT_EQ(text.Out(),
              "/dev/ttyS1  as COM2, free\n"
              "/dev/ttyUSB0  as COM5, in use\n"
              "    /dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
              "/dev/ttyACM0  not mapped, free\n");
    EXPECT_NE(json.Out().find("{\"device\":\"/dev/ttyUSB0\",\"by-id\":[\"/dev/serial/by-id/"
                              "usb-FTDI_FT232R-if00-port0\"],\"mapped\":[\"COM5\"],\"in-use\":"
                              "true,\"state\":\"in use\"}\n"),
              std::string::npos)
        << json.Out();
}

}  // namespace

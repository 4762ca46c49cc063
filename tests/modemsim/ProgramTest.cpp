// The tarvik-modemsim program: options, the printed path, the COM link, the
// command channel on stdin and a clean exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostPort.h"
#include "process/ToolProcess.h"

using namespace std::chrono_literals;
using tarvik::test::HostPort;
using tarvik::test::ToolProcess;

namespace {

// The program with its command channel on a pipe.
struct Program : ToolProcess {
    explicit Program(std::vector<std::string> args)
        : ToolProcess(WithPath(std::move(args)), "", Input::Pipe, true) {}
    static std::vector<std::string> WithPath(std::vector<std::string> args) {
        args.insert(args.begin(), tarvik::test::ToolPath("tarvik-modemsim"));
        return args;
    }
    // The next line of output, without its newline; empty on time-out.
    std::string ReadLine() {
        if (!WaitForOutput("\n", 5s, read_))
            return "";
        const std::string line = Out().substr(read_, Out().find('\n', read_) - read_);
        read_ += line.size() + 1;
        return line;
    }
    size_t read_ = 0;
};

TEST(ModemsimProgram, RunsCommandsAndRemovesItsLinkOnQuit) {
    namespace fs = std::filesystem;
    const fs::path link = fs::path(getenv("TARVIK_DOSDEVICES")) / "com11";
    Program prog({"--link", "COM11", "--ring-cadence", "200", "--caller-id", "NMBR=5551212",
                  "--cid-format", "compact", "--outcome", "555-1234=BUSY@100ms"});
    const std::string path = prog.ReadLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), path);

    HostPort host(link.string());
    EXPECT_TRUE(host.SendUntil("ATE0DT5551234\r", "\r\nBUSY\r\n"));
    host.Take();
    prog.Send("ring 2\n");
    EXPECT_TRUE(host.ReadUntil("\r\nRING\r\n\r\nNMBR=5551212\r\n\r\nRING\r\n"));
    prog.Send("error on\nstate\n");
    EXPECT_EQ(prog.ReadLine(), "ringing");
    EXPECT_TRUE(host.SendUntil("AT\r", "ERROR\r\n"));
    prog.Send("send \\r\\nHELLO\\x21\n");
    EXPECT_TRUE(host.ReadUntil("\r\nHELLO!"));

    prog.Send("quit\n");
    EXPECT_EQ(prog.Finish(5s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(ModemsimProgram, StopsCleanlyOnSignalOrEndOfInput) {
    namespace fs = std::filesystem;
    const fs::path link = fs::path(getenv("TARVIK_DOSDEVICES")) / "com12";
    for (bool signal : {true, false}) {
        Program prog(signal ? std::vector<std::string>{"--link", "\\\\.\\COM12", "--log"}
                            : std::vector<std::string>{"--link", "COM12"});
        ASSERT_FALSE(prog.ReadLine().empty());
        ASSERT_TRUE(fs::is_symlink(link));
        if (signal)
            prog.Signal(SIGTERM);
        else
            prog.CloseInput();
        EXPECT_EQ(prog.Finish(5s), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

// A name the user has mapped to a device stays theirs; a link an earlier run
// left to a terminal that is gone is taken over.
TEST(ModemsimProgram, LeavesAnotherMappingOfItsNameAlone) {
    namespace fs = std::filesystem;
    const fs::path link = fs::path(getenv("TARVIK_DOSDEVICES")) / "com13";
    fs::create_directories(link.parent_path());
    for (const char* mapped : {"/dev/null", "/dev/pts/gone-long-ago"}) {
        const bool taken = fs::exists(mapped);
        fs::remove(link);
        fs::create_symlink(mapped, link);
        Program prog({"--link", "COM13"});
        if (!taken) {
            EXPECT_EQ(fs::read_symlink(link), prog.ReadLine());
            prog.CloseInput();
        }
        EXPECT_EQ(prog.Finish(5s), taken ? 1 : 0) << prog.Err();
        EXPECT_EQ(prog.Err().find("COM13 is mapped already (" + link.string() + " -> /dev/null)") !=
                      std::string::npos,
                  taken)
            << prog.Err();
        std::error_code gone;
        EXPECT_EQ(fs::read_symlink(link, gone).string(), taken ? mapped : "");
    }
}

}  // namespace

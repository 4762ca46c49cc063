// Both tools' command lines: help and version, usage errors that name the
// option, validation before anything opens, and the register command's
// failures in words.
#include <gtest/gtest.h>

#include <filesystem>

#include "Sandbox.h"
#include "process/ToolProcess.h"

using tarvik::test::ToolPath;
using tarvik::test::ToolProcess;

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result Tool(const std::string& name, std::vector<std::string> args,
            const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), ToolPath(name));
    ToolProcess tool(args, "", ToolProcess::Input::Pipe, false, environment);
    int status = tool.Finish(std::chrono::seconds(30));
    return {status, tool.Out(), tool.Err()};
}

// Help and version go to standard output with status 0; a usage error names
// the problem on standard error, points at --help and exits 2.
TEST(ToolArguments, HelpVersionAndUsageErrors) {
    struct Case {
        const char* tool;
        std::vector<std::string> args;
        int status;
        const char* expected;
    } cases[] = {
        {"tarvik", {"--help"}, 0, "usage: tarvik [--help"},
        {"tarvik", {"--help"}, 0, "8    the port cannot be opened"},
        {"tarvik", {"help", "dial"}, 0, "usage: tarvik dial"},
        {"tarvik", {"dial", "--help"}, 0, "5    no answer"},
        {"tarvik", {"answer", "-h"}, 0, "usage: tarvik answer"},
        // A library named --help is not loaded.
        {"tarvik", {"register", "--help"}, 0, "usage: tarvik register"},
        {"tarvik", {"ports", "--help"}, 0, "--scan"},
        // A bare device name is one of /dev: the link leads there from anywhere.
        {"tarvik", {"ports", "add", "COM4", "null"}, 0, "COM4 -> /dev/null\n"},
        {"tarvik", {"--version"}, 0, "tarvik 1."},
        {"tarvik-modemsim", {"--help"}, 0, "usage: tarvik-modemsim"},
        {"tarvik-modemsim", {"--version"}, 0, "tarvik-modemsim 1."},
        {"tarvik", {}, 2, "tarvik: no command given"},
        {"tarvik", {"dail"}, 2, "tarvik: unknown command 'dail'"},
        {"tarvik", {"dial", "--numbr", "5"}, 2, "tarvik dial: unknown option '--numbr'"},
        {"tarvik", {"dial", "--number"}, 2, "tarvik dial: option '--number' needs a value"},
        {"tarvik", {"dial", "-x"}, 2, "tarvik dial: unknown option '-x'"},
        {"tarvik", {"dial", "--port", "COM1"}, 2, "--number is needed"},
        // What the line would refuse is refused before anything opens.
        {"tarvik",
         {"dial", "-n", "+1555"},
         2,
         "'+1555' is not a number to dial: it holds the character '+'"},
        {"tarvik", {"dial", "-n", "1", "--access-code", "9\r"}, 2, "is not an access code"},
        {"tarvik", {"dial", "-n", "1", "--baud", "1000"}, 2, "--baud takes a standard rate"},
        {"tarvik", {"dial", "-n", "1", "--timeout", "0"}, 2, "--timeout takes a whole number"},
        {"tarvik", {"dial", "-n", "1", "--port", "COM257"}, 2, "'COM257' is not a port name"},
        {"tarvik", {"answer", "--rings", "many"}, 2, "--rings takes a whole number from 1 to 100"},
        {"tarvik", {"answer", "--mode", "loud"}, 2, "--mode is standard, smart or kvr"},
        {"tarvik", {"register"}, 2, "tarvik register: LIBRARY is missing"},
        {"tarvik", {"ports", "add", "COM257", "/dev/null"}, 2, "'COM257' is not a port name"},
        {"tarvik", {"ports", "add", "COM7", "/etc/passwd"}, 2, "is not a serial device"},
        {"tarvik", {"ports", "frob"}, 2, "unknown action 'frob'"},
        {"tarvik-modemsim", {"--bogus"}, 2, "tarvik-modemsim: unknown option '--bogus'"},
        {"tarvik-modemsim", {"--outcome", "5551234=MAYBE"}, 2, "bad --outcome"},
        {"tarvik-modemsim", {"--register", "12=300"}, 2, "bad --register"},
        {"tarvik-modemsim", {"--ring-cadence", "0"}, 2, "--ring-cadence takes a whole number"},
        {"tarvik-modemsim", {"--cid-format", "wide"}, 2, "--cid-format is spaced or compact"},
        {"tarvik-modemsim", {"--link", "COM257"}, 2, "--link takes a port name"},
    };
    for (const Case& c : cases) {
        Result r = Tool(c.tool, c.args);
        EXPECT_EQ(r.status, c.status) << c.expected << "\n" << r.err;
        const std::string& shown = c.status == 0 ? r.out : r.err;
        EXPECT_NE(shown.find(c.expected), std::string::npos) << c.expected << "\n" << shown;
        EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
        if (c.status != 0) {
            EXPECT_NE(r.err.find("--help' for more information"), std::string::npos) << r.err;
        }
    }
}

TEST(ToolArguments, RegisterReportsFailuresClearly) {
    const std::vector<std::string> reg{"TARVIK_REGISTRY=" + tarvik::test::SandboxRoot() +
                                       "/fail.reg"};
    Result r = Tool("tarvik", {"register", "/nonexistent/libnothing.so"}, reg);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load library"), std::string::npos) << r.err;

    // The runtime is a library, but not a component library.
    const auto runtime = std::filesystem::path(TARVIK_BUILD_DIR) / "lib" / "libtarvikrt.so";
    r = Tool("tarvik", {"register", runtime.string()}, reg);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no entry point DllRegisterServer"), std::string::npos) << r.err;

    // A registry that cannot be written: the code, in hex and by name.
    r = Tool("tarvik", {"register", TARVIK_COMPANIONS_PATH},
             {"TARVIK_REGISTRY=/etc/hostname/registry.reg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("0x80040151 (REGDB_E_WRITEREGDB)"), std::string::npos) << r.err;
}

}  // namespace

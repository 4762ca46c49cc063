// "tarvik answer" run as a program against its own simulated modem: one call
// answered with its caller ID shown and data bridged, one call refused.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/SimModem.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the tool with `input` on its standard input, bounded by `timeout`
// (seconds) so a hang fails the test instead of stalling the run.
ToolRun RunTool(const std::string& args, const std::string& input, int timeout = 90) {
    auto folder =
        std::filesystem::temp_directory_path() /
        ("tarvik-answer-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    std::filesystem::create_directories(folder);
    { std::ofstream(folder / "in") << input; }
    std::string command = "timeout " + std::to_string(timeout) + " '" TARVIK_CLI_PATH "' " + args +
                          " <'" + (folder / "in").string() + "' >'" + (folder / "out").string() +
                          "' 2>'" + (folder / "err").string() + "'";
    ToolRun run;
    int status = std::system(command.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(folder / "out");
    run.err = ReadFile(folder / "err");
    std::filesystem::remove_all(folder);
    return run;
}

TEST(AnswerCommand, SimulatedCallShowsRingsCallerIdConnectAndBridgesData) {
    ToolRun run = RunTool("answer --once --mode smart", "hello over the line\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("ring 1\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("ring 3\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("CALR = 5551212;NAME = TARVIK SIM;"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("connected (incoming call)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("call ended (cause 2223)"), std::string::npos) << run.err;
    // The simulated caller sends back what it gets.
    EXPECT_NE(run.out.find("hello over the line\n"), std::string::npos) << run.out;
    // Caller ID comes before the offer.
    EXPECT_LT(run.err.find("caller ID"), run.err.find("call offered")) << run.err;
}

TEST(AnswerCommand, AnswersOnANamedPort) {
    // The port is a device-map entry like any serial port; the test rings it.
    tarvik::test::SimModem::Options options;
    options.ringCadence = std::chrono::milliseconds(400);
    tarvik::test::SimModem modem(options);
    ASSERT_TRUE(modem.Start());
    ASSERT_FALSE(modem.LinkAs("COM9").empty());
    ToolRun run;
    std::thread tool([&] { run = RunTool("answer --port COM9 --once --rings 2", "ping\n"); });
    if (modem.WaitForReceived("ATZ\r", std::chrono::seconds(30)))
        modem.Ring();
    tool.join();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("ring 2\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("caller ID"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("connected (incoming call)"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("ping\n"), std::string::npos) << run.out;
    EXPECT_TRUE(modem.WaitForReceived("ATH1ATA\r", std::chrono::milliseconds(0)));
}

TEST(AnswerCommand, RefusedCallIsReportedAndNothingIsBridged) {
    ToolRun run = RunTool("answer --once --refuse --rings 1", "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("call refused"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Received Incoming Call.Not answering"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("connected"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST(AnswerCommand, BadOptionsShowTheUsage) {
    ToolRun run = RunTool("answer --mode loud", "");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("usage: tarvik answer"), std::string::npos) << run.err;
}

}  // namespace

// The line as the tarvik tool drives it: the demo from start to end (calls
// out, then calls in with caller ID, answered and refused), and one dialled
// call bridged to standard input and output, both on the built-in simulated
// modem.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun RunTool(const std::string& command) {
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(LineTools, DemoShowsCallsOutAndIn) {
    ToolRun run = RunTool(std::string(TARVIK_CLI_PATH) + " demo 2>&1");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* expected :
         {"OpenLine returned S_OK", "CallConnected(bIncoming=0", "Hello, remote side!",
          "DropCall returned S_OK", "CallDisconnected(lCause=2223", "CallDisconnected(lCause=2221",
          "CloseLine() returned S_OK", "Shutdown() returned S_OK"})
        EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
    // In the order a call lives.
    EXPECT_LT(run.output.find("CallConnected"), run.output.find("DropCall()"));
    EXPECT_LT(run.output.find("lCause=2223"), run.output.find("lCause=2221"));

    // Then the incoming calls: one answered, one refused.
    const std::string& out = run.output;
    for (const char* expected :
         {"CallOffering()", "event reporter: 1000", "CALR = 5551212", "NAME = ALICE REMOTE",
          "CallConnected(bIncoming=1", "Hello, this is the caller.",
          "Hello, caller! The host here.", "NAME = BOB UNWANTED", "AnswerCall(0) returned S_OK"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    // The outgoing calls come first; each incoming call is offered before the
    // host answers or refuses it, and only the answered one connects.
    const size_t firstOffer = out.find("CallOffering()");
    const size_t secondOffer = out.find("CallOffering()", firstOffer + 1);
    ASSERT_NE(secondOffer, std::string::npos) << out;
    EXPECT_LT(out.find("lCause=2221"), firstOffer);
    EXPECT_LT(firstOffer, out.find("AnswerCall(1)"));
    EXPECT_LT(out.find("AnswerCall(1)"), out.find("CallConnected(bIncoming=1"));
    EXPECT_LT(out.find("CallConnected(bIncoming=1"), secondOffer);
    EXPECT_LT(secondOffer, out.find("AnswerCall(0)"));
    EXPECT_EQ(out.find("CallConnected(bIncoming=1", secondOffer), std::string::npos) << out;
}

TEST(LineTools, DialBridgesInputToTheCallAndBack) {
    ToolRun run = RunTool("printf 'ping over the line\\n' | " + std::string(TARVIK_CLI_PATH) +
                          " dial --number 5551234 2>/dev/null");
    EXPECT_EQ(run.status, 0);
    // The simulated remote sends back what it gets.
    EXPECT_NE(run.output.find("ping over the line"), std::string::npos) << run.output;

    ToolRun missing = RunTool(std::string(TARVIK_CLI_PATH) + " dial --port COM77 --number 1 2>&1");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot open COM77"), std::string::npos) << missing.output;
}

}  // namespace

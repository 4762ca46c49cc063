// tarvik dial and tarvik answer run as programs against simulated modems:
// the data bridged, the events a script reads, an exit status for each way a
// call fails, and the hang-up on the way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "Sandbox.h"

#include "process/ToolProcess.h"
#include "sim/SimModem.h"

using namespace std::chrono_literals;
using tarvik::test::SimModem;
using tarvik::test::ToolPath;
using tarvik::test::ToolProcess;

namespace {

std::vector<std::string> Tarvik(std::vector<std::string> args) {
    args.insert(args.begin(), ToolPath("tarvik"));
    return args;
}

TEST(DialCommand, BridgesTheCallAndReportsItsEventsAsJson) {
    ToolProcess tool(Tarvik({"dial", "--number", "5551234", "--json", "--verbose"}),
                     "ping \"over\" the line\n");
    EXPECT_EQ(tool.Finish(), 0) << tool.Err();
    // The simulated remote sends back what it gets; the LF after CONNECT is no data.
    EXPECT_EQ(tool.Out(), "ping \"over\" the line\n");
    for (const char* line :
         {"{\"event\":\"dialling\",\"port\":\"COM1\",\"number\":\"5551234\"}\n",
          "{\"event\":\"connected\",\"port\":\"COM1\",\"baud\":9600,\"rate\":33600}\n",
          // --verbose: the AT exchange, the CR escaped; replies as the modem sent them.
          "{\"event\":\"at\",\"direction\":\"sent\",\"text\":\"ATDT5551234\\r\",",
          "{\"event\":\"at\",\"direction\":\"received\",\"text\":\"CONNECT 33600\",",
          "{\"event\":\"at\",\"direction\":\"received\",\"text\":\"OK\",",
          "{\"event\":\"disconnected\",\"cause\":2223,\"reason\":\"hung up\"}\n"})
        EXPECT_NE(tool.Err().find(line), std::string::npos) << line << tool.Err();
    EXPECT_EQ(tool.Err().find("OK to"), std::string::npos) << tool.Err();
}

TEST(DialCommand, EachFailureHasItsOwnExitStatusAndWords) {
    struct Case {
        const char* outcome;  // "" : no modem (silent); "vanish": the device goes after CONNECT
        std::vector<std::string> args;
        int status;
        const char* words;
        const char* notSaid;
    } cases[] = {
        {"BUSY@100ms", {}, 3, "the number is busy", "no answer"},
        {"NO DIALTONE", {}, 4, "no dial tone", "(no carrier)"},
        {"NO CARRIER@100ms", {}, 5, "no answer (NO CARRIER)", "hung up"},
        {"NO ANSWER@100ms", {}, 5, "no answer (NO ANSWER)", "(no carrier)"},
        {"DELAYED@100ms", {}, 5, "will not dial this number again yet (DELAYED)", "no answer"},
        {"BLACKLISTED@100ms", {}, 5, "has blacklisted this number (BLACKLISTED)", "no answer"},
        // A dial still ringing at the limit: one progress line per interval,
        // then the time-out as such, and the hang-up's "+++" aborts the dial.
        {"CONNECT 9600@60s", {"--timeout", "6"}, 5, "no connection within 6 s", "remote side"},
        {"CONNECT 9600@60s", {"--timeout", "6", "--json"}, 5, "\"exit\":5", "cleanly"},
        {"", {}, 6, "no modem answers on COM9 (", "call ended"},
        {"vanish", {}, 7, "COM9 (", "call ended"},
    };
    for (const Case& c : cases) {
        SimModem modem;
        const std::string outcome = c.outcome;
        if (!outcome.empty())
            modem.SetOutcome("5551234", outcome == "vanish" ? "CONNECT 2400" : outcome);
        modem.SetSilent(outcome.empty());
        ASSERT_TRUE(modem.Start());
        ASSERT_FALSE(modem.LinkAs("COM9").empty());
        auto args = Tarvik({"dial", "--port", "COM9", "--number", "5551234"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto started = std::chrono::steady_clock::now();
        ToolProcess tool(args, "", ToolProcess::Input::Pipe, true);
        if (outcome == "vanish" && tool.WaitForError("connected", 20s))
            modem.Vanish();
        EXPECT_EQ(tool.Finish(), c.status) << c.words << "\n" << tool.Err();
        const std::string& err = tool.Err();
        EXPECT_NE(err.find(c.words), std::string::npos) << c.words << "\n" << err;
        EXPECT_EQ(err.find(c.notSaid), std::string::npos) << c.notSaid << "\n" << err;
        if (c.args.empty())
            continue;
        const std::string progress = c.args.size() > 2 ? "{\"event\":\"waiting\",\"elapsed\":5}\n"
                                                       : "still waiting for the connection (5 s)\n";
        EXPECT_NE(err.find(progress), std::string::npos) << err;
        EXPECT_EQ(err.find("waiting\",\"elapsed"), err.rfind("waiting\",\"elapsed")) << err;
        EXPECT_EQ(err.find("still waiting"), err.rfind("still waiting")) << err;
        EXPECT_GE(std::chrono::steady_clock::now() - started, 6s);
        EXPECT_TRUE(modem.WaitForReceived("ATH", 0s)) << modem.Received();
    }
}

TEST(DialCommand, PortProblemsNameTheDevice) {
    ToolProcess missing(Tarvik({"dial", "--port", "COM77", "--number", "1"}));
    EXPECT_EQ(missing.Finish(), 8);
    // Said before anything is announced, with where to look.
    EXPECT_EQ(missing.Err().find("tarvik dial: COM77 (/dev/ttyS76): no such device (see 'tarvik "
                                 "ports --scan'"),
              0u)
        << missing.Err();

    SimModem modem;
    modem.SetOutcome("1", "CONNECT 9600");
    ASSERT_TRUE(modem.Start());
    ToolProcess first(Tarvik({"dial", "--port", modem.SlavePath(), "-n", "1", "--baud", "19200"}),
                      "", ToolProcess::Input::Pipe, true);
    ASSERT_TRUE(first.WaitForError("connected at 9600 (port at 19200)", 20s)) << first.Err();
    // The call runs at the speed asked for.
    termios settings{};
    const int peek = open(modem.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(tcgetattr(peek, &settings), 0);
    close(peek);
    EXPECT_EQ(cfgetospeed(&settings), speed_t{B19200});
    ToolProcess second(Tarvik({"dial", "--port", modem.SlavePath(), "-n", "1"}));
    EXPECT_EQ(second.Finish(), 8);
    EXPECT_NE(second.Err().find(modem.SlavePath() + ": is in use by another program"),
              std::string::npos)
        << second.Err();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Finish(), 128 + SIGTERM) << first.Err();
}

// Each phase of each tool ends on a signal, soon, with 128 + N; where a call
// may be up the modem is hung up first.
TEST(CallTools, SignalsEndEveryPhase) {
    struct Case {
        std::vector<std::string> args;
        const char* outcome;  // of 5551234; "" : the modem is silent
        const char* phase;    // on standard error when the signal comes
        int signal;
        const char* words;  // on standard error at the end
        bool hangsUp;       // "+++" and "ATH" after the signal
    } cases[] = {
        {{"dial", "-n", "5551234"},
         "",
         "initialising",
         SIGINT,
         "stopped by SIGINT while the modem initialised",
         false},
        {{"answer"},
         "",
         "initialising",
         SIGINT,
         "stopped by SIGINT while the modem initialised",
         false},
        {{"dial", "-n", "5551234"},
         "CONNECT 9600@60s",
         "dialling",
         SIGINT,
         "call ended: stopped before it connected",
         true},
        {{"dial", "-n", "5551234"},
         "CONNECT 9600",
         "connected at 9600",
         SIGHUP,
         "call ended: hung up",
         true},
        {{"dial", "-n", "5551234"},
         "CONNECT 9600",
         "connected at 9600",
         SIGTERM,
         "call ended: hung up",
         true},
        {{"answer", "--rings", "1"}, "CONNECT 9600", "waiting for a call", SIGINT, "", false},
        {{"answer", "--rings", "1"},
         "CONNECT 9600",
         "connected at 9600",
         SIGINT,
         "call ended: hung up",
         true},
        {{"term"}, "CONNECT 9600", "leaves", SIGINT, "", true},
    };
    for (const Case& c : cases) {
        SimModem::Options options;
        options.ringCadence = 300ms;
        SimModem modem(options);
        modem.SetSilent(!*c.outcome);
        modem.SetOutcome("5551234", *c.outcome ? c.outcome : "BUSY");
        ASSERT_TRUE(modem.Start());
        ASSERT_FALSE(modem.LinkAs("COM9").empty());
        auto args = Tarvik(c.args);
        args.insert(args.end(), {"--port", "COM9"});
        ToolProcess tool(args, "", ToolProcess::Input::Pipe, true);
        if (c.args[0] == "answer" && std::string(c.phase) == "connected at 9600" &&
            tool.WaitForError("waiting for a call", 20s))
            modem.Ring();
        if (c.args[0] == "term" && tool.WaitForError("leaves", 20s))
            tool.Send("ATDT5551234\r");  // online, yet a signal still hangs up
        ASSERT_TRUE(tool.WaitForError(c.phase, 30s)) << c.phase << "\n" << tool.Err();
        if (c.args[0] == "term") {
            ASSERT_TRUE(tool.WaitForOutput("CONNECT 9600", 10s)) << tool.Out();
        }
        const size_t before = modem.ReceivedSize();
        tool.Signal(c.signal);
        EXPECT_EQ(tool.Finish(30s), 128 + c.signal) << tool.Err();
        EXPECT_NE(tool.Err().find(c.words), std::string::npos) << c.words << "\n" << tool.Err();
        const std::string after = modem.Received().substr(before);
        const size_t escape = after.find("+++");
        EXPECT_EQ(escape != std::string::npos && after.find("ATH\r", escape) != std::string::npos,
                  c.hangsUp)
            << c.phase << ": " << after;
    }
    // A run with the built-in simulator takes its temporary folder along.
    const auto temp = std::filesystem::path(tarvik::test::SandboxRoot()) / "tmp";
    std::filesystem::create_directories(temp);
    ToolProcess tool(Tarvik({"dial", "--number", "5551234"}), "", ToolProcess::Input::Pipe, true,
                     {"TMPDIR=" + temp.string()});
    ASSERT_TRUE(tool.WaitForError("connected at 33600", 20s)) << tool.Err();
    EXPECT_FALSE(std::filesystem::is_empty(temp));
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Finish(), 128 + SIGINT) << tool.Err();
    EXPECT_TRUE(std::filesystem::is_empty(temp));
}

TEST(AnswerCommand, SimulatedCallShowsRingsCallerIdConnectAndBridgesData) {
    ToolProcess tool(Tarvik({"answer", "--once", "--mode", "smart"}), "hello over the line\n");
    EXPECT_EQ(tool.Finish(), 0) << tool.Err();
    const std::string& err = tool.Err();
    for (const char* expected :
         {"ring 1\n", "ring 3\n", "caller ID on COM1: number 5551212, name TARVIK SIM, date ",
          "CALR = 5551212;NAME = TARVIK SIM;]", "connected at 33600 (incoming call, port at 9600)",
          "call ended: hung up"})
        EXPECT_NE(err.find(expected), std::string::npos) << expected << "\n" << err;
    EXPECT_EQ(tool.Out(), "hello over the line\n");
    EXPECT_LT(err.find("caller ID"), err.find("call offered")) << err;
}

TEST(AnswerCommand, AnswersOrRefusesOnANamedPort) {
    for (bool refuse : {false, true}) {
        SimModem::Options options;
        options.ringCadence = 400ms;
        SimModem modem(options);
        ASSERT_TRUE(modem.Start());
        ASSERT_FALSE(modem.LinkAs("COM9").empty());
        auto args = Tarvik({"answer", "--port", "COM9", "--once", "--rings", "2"});
        if (refuse)
            args.push_back("--refuse");
        ToolProcess tool(args, "ping\n");
        if (modem.WaitForReceived("ATZ\r", 30s))
            modem.Ring(refuse ? 3 : 0);
        EXPECT_EQ(tool.Finish(), 0) << tool.Err();
        EXPECT_NE(tool.Err().find("ring 2\n"), std::string::npos) << tool.Err();
        EXPECT_EQ(tool.Err().find("caller ID"), std::string::npos) << tool.Err();
        EXPECT_EQ(tool.Err().find("connected at 9600 (incoming call") == std::string::npos, refuse)
            << tool.Err();
        // The line's own report of a refusal is for scripts, not for people.
        EXPECT_EQ(tool.Err().find("Not answering"), std::string::npos) << tool.Err();
        EXPECT_EQ(tool.Out(), refuse ? "" : "ping\n");
        EXPECT_EQ(modem.WaitForReceived("ATH1ATA\r", 0s).has_value(), !refuse);
    }
}

}  // namespace

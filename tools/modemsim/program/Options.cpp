#include "Options.h"

#include <strings.h>

#include "Args.h"

namespace tarvik::modemsim::program {

namespace {

const char* const kDetails =
    R"(A Hayes-compatible modem simulated on a pseudo-terminal. It prints the
terminal's path (for example /dev/pts/7) on the first line of its output;
open that path with any terminal program (screen /dev/pts/7) or point a COM
port at it with --link, and talk AT commands to it.

RESULT of --outcome and --default-outcome: "CONNECT 9600", "CONNECT 14400/ARQ",
BUSY, "NO ANSWER", "NO CARRIER", "NO DIALTONE", "NO DIAL TONE", DELAYED,
BLACKLISTED or SILENCE, with an optional delay ("CONNECT 9600@500ms",
"BUSY@2s") and progress lines before it ("CARRIER 28800|PROTOCOL: LAPM|CONNECT
28800"). Only digits, * and # of NUMBER count.

Commands, one per line on standard input:
  ring [N]        an incoming call: RING every cadence, N rings at most
  drop            carrier lost: NO CARRIER in a call, ringing stops
  vanish          the device disappears (the port sees EIO / hang-up)
  silent on|off   stop (or resume) answering anything
  error on|off    answer ERROR to every command line (or stop)
  dtr low|high    what the host's DTR line does (a pty has none)
  send TEXT       write TEXT to the port (\r, \n, \\ and \xHH understood)
  state           print the modem's state
  quit            stop (also end of input, SIGINT, SIGTERM, SIGHUP)

Exit status: 0 after a clean stop, 1 when the modem or its link could not be
set up, 2 for a usage error.)";

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options& out) {
    tool::Args args(
        "tarvik-modemsim", "[OPTIONS]",
        {{"link", 0, "COMn",
          "add COMn to the Tarvik device map while running\n($TARVIK_DOSDEVICES, else "
          "$XDG_DATA_HOME/tarvik/dosdevices,\nelse ~/.local/share/tarvik/dosdevices)"},
         {"outcome", 0, "NUMBER=RESULT", "what a dial to NUMBER ends in; repeatable"},
         {"default-outcome", 0, "RESULT", "for numbers not in the table (NO CARRIER)"},
         {"caller-id", 0, "FIELDS",
          "caller ID sent after the first RING, e.g.\n\"DATE=1206,TIME=0902,NMBR=5551212,NAME=JOHN "
          "DOE\""},
         {"cid-format", 0, "spaced|compact", "\"DATE = 1206\" (default) or \"DATE=1206\""},
         {"cid-before-ring", 0, nullptr, "caller ID before the first RING, not after it"},
         {"numeric", 0, nullptr, "numeric result codes (as after ATV0)"},
         {"ring-cadence", 0, "MS", "time between RINGs (6000)"},
         {"rings", 0, "N", "RINGs before a caller gives up (0: never)"},
         {"answer-rate", 0, "RATE", "rate of CONNECT when answering (9600)"},
         {"answer-delay", 0, "MS", "time from ATA to CONNECT (0)"},
         {"register", 0, "N=V", "initial value of S-register N (repeatable)"},
         {"reject-extended", 0, nullptr, "answer ERROR to unknown +, &, \\ and % commands"},
         {"log", 0, nullptr, "trace bytes received and sent, with timestamps,\nto standard error"},
         {"no-commands", 0, nullptr,
          "do not read commands from standard input; run\nuntil SIGINT, SIGTERM or SIGHUP"}},
        kDetails);
    if (auto done = args.Parse(argc, argv))
        return done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");

    out.log = args.Has("log");
    out.commands = !args.Has("no-commands");
    out.modem.rejectExtended = args.Has("reject-extended");
    out.modem.callerIdBeforeRing = args.Has("cid-before-ring");
    if (args.Has("numeric"))
        out.modem.verbose = false;
    out.link = args.Value("link");
    if (args.Has("link") && !tool::ComPortNumber(out.link))
        return args.UsageError("--link takes a port name such as COM5, not '" + out.link + "'");
    for (const std::string& v : args.Values("outcome")) {
        size_t eq = v.find('=');
        std::string number = eq == std::string::npos ? "" : NormalizeNumber(v.substr(0, eq));
        auto outcome =
            eq == std::string::npos ? std::nullopt : DialOutcome::Parse(v.substr(eq + 1));
        if (number.empty() || !outcome)
            return args.UsageError("bad --outcome '" + v + "' (NUMBER=RESULT[@DELAY])");
        out.modem.outcomes[number] = *outcome;
    }
    if (args.Has("default-outcome")) {
        auto outcome = DialOutcome::Parse(args.Value("default-outcome"));
        if (!outcome)
            return args.UsageError("bad --default-outcome '" + args.Value("default-outcome") + "'");
        out.modem.defaultOutcome = *outcome;
    }
    if (args.Has("caller-id")) {
        auto cid = CallerId::Parse(args.Value("caller-id"));
        if (!cid)
            return args.UsageError("bad --caller-id '" + args.Value("caller-id") +
                                   "' (LABEL=VALUE,...)");
        out.modem.callerId = *cid;
    }
    if (args.Has("cid-format")) {
        const std::string v = args.Value("cid-format");
        if (v != "spaced" && v != "compact")
            return args.UsageError("--cid-format is spaced or compact, not '" + v + "'");
        out.modem.callerIdFormat = v == "spaced" ? CallerIdFormat::Spaced : CallerIdFormat::Compact;
    }
    auto cadence = args.Integer("ring-cadence", 1, 3600000, 0);
    auto delay = args.Integer("answer-delay", 0, 3600000, 0);
    auto rings = args.Integer("rings", 0, 1000, 0);
    if (!cadence || !delay || !rings)
        return tool::kExitUsage;
    if (args.Has("ring-cadence"))
        out.modem.ringCadence = std::chrono::milliseconds(*cadence);
    if (args.Has("answer-delay"))
        out.modem.answerDelay = std::chrono::milliseconds(*delay);
    if (args.Has("rings"))
        out.modem.ringLimit = static_cast<int>(*rings);
    if (args.Has("answer-rate"))
        out.modem.answerRate = args.Value("answer-rate");
    for (const std::string& v : args.Values("register")) {
        size_t eq = v.find('=');
        long reg = 0, value = 0;
        if (eq == std::string::npos || !tool::ToInteger(v.substr(0, eq), 0, 99, &reg) ||
            !tool::ToInteger(v.substr(eq + 1), 0, 255, &value))
            return args.UsageError("bad --register '" + v + "' (N=V, N 0-99, V 0-255)");
        out.modem.registers[static_cast<int>(reg)] = static_cast<int>(value);
    }
    return std::nullopt;
}

}  // namespace tarvik::modemsim::program

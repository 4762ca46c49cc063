#include "Options.h"

#include <charconv>

namespace tarvik::modemsim::program {

const char* const kUsage = R"(usage: tarvik-modemsim [OPTIONS]

A Hayes-compatible modem simulated on a pseudo-terminal. It prints the
terminal's path (for example /dev/pts/7) on the first line of its output;
open that path with any terminal program (screen /dev/pts/7) or point a COM
port at it with --link, and talk AT commands to it.

Options:
  --link COMn              add COMn to the Tarvik device map while running
                           ($TARVIK_DOSDEVICES, else $XDG_DATA_HOME/tarvik/
                           dosdevices, else ~/.local/share/tarvik/dosdevices)
  --outcome NUMBER=RESULT  what a dial to NUMBER ends in; repeatable. RESULT:
                           "CONNECT 9600", "CONNECT 14400/ARQ", BUSY,
                           "NO ANSWER", "NO CARRIER", "NO DIALTONE",
                           "NO DIAL TONE", DELAYED, BLACKLISTED or SILENCE,
                           with an optional delay: "CONNECT 9600@500ms",
                           "BUSY@2s", and progress lines before it:
                           "CARRIER 28800|PROTOCOL: LAPM|CONNECT 28800".
                           Only digits, * and # of NUMBER count.
  --default-outcome RESULT for numbers not in the table (NO CARRIER)
  --caller-id FIELDS       caller ID sent after the first RING, e.g.
                           "DATE=1206,TIME=0902,NMBR=5551212,NAME=JOHN DOE"
  --cid-format spaced|compact
                           "DATE = 1206" (default) or "DATE=1206"
  --cid-before-ring        caller ID before the first RING, not after it
  --numeric                numeric result codes (as after ATV0)
  --ring-cadence MS        time between RINGs (6000)
  --rings N                RINGs before a caller gives up (0: never)
  --answer-rate RATE       rate of CONNECT when answering (9600)
  --answer-delay MS        time from ATA to CONNECT (0)
  --register N=V           initial value of S-register N (repeatable)
  --reject-extended        answer ERROR to unknown +, &, \ and % commands
  --log                    trace bytes received and sent, with timestamps,
                           to standard error
  --no-commands            do not read commands from standard input; run
                           until SIGINT or SIGTERM
  --help                   this text

Commands, one per line on standard input:
  ring [N]        an incoming call: RING every cadence, N rings at most
  drop            carrier lost: NO CARRIER in a call, ringing stops
  vanish          the device disappears (the port sees EIO / hang-up)
  silent on|off   stop (or resume) answering anything
  error on|off    answer ERROR to every command line (or stop)
  dtr low|high    what the host's DTR line does (a pty has none)
  send TEXT       write TEXT to the port (\r, \n, \\ and \xHH understood)
  state           print the modem's state
  quit            stop (also end of input, SIGINT, SIGTERM)
)";

namespace {
bool ToInt(const std::string& s, long lo, long hi, long& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && out >= lo && out <= hi;
}
}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--log") {
            out.log = true;
        } else if (a == "--no-commands") {
            out.commands = false;
        } else if (a == "--reject-extended") {
            out.modem.rejectExtended = true;
        } else if (a == "--link") {
            if (!value(out.link))
                return false;
        } else if (a == "--outcome") {
            if (!value(v))
                return false;
            size_t eq = v.find('=');
            std::string number = eq == std::string::npos ? "" : NormalizeNumber(v.substr(0, eq));
            auto outcome =
                eq == std::string::npos ? std::nullopt : DialOutcome::Parse(v.substr(eq + 1));
            if (number.empty() || !outcome) {
                error = "bad --outcome '" + v + "' (NUMBER=RESULT[@DELAY])";
                return false;
            }
            out.modem.outcomes[number] = *outcome;
        } else if (a == "--default-outcome") {
            if (!value(v))
                return false;
            auto outcome = DialOutcome::Parse(v);
            if (!outcome) {
                error = "bad --default-outcome '" + v + "'";
                return false;
            }
            out.modem.defaultOutcome = *outcome;
        } else if (a == "--caller-id") {
            if (!value(v))
                return false;
            auto cid = CallerId::Parse(v);
            if (!cid) {
                error = "bad --caller-id '" + v + "' (LABEL=VALUE,...)";
                return false;
            }
            out.modem.callerId = *cid;
        } else if (a == "--cid-format") {
            if (!value(v))
                return false;
            if (v == "spaced") {
                out.modem.callerIdFormat = CallerIdFormat::Spaced;
            } else if (v == "compact") {
                out.modem.callerIdFormat = CallerIdFormat::Compact;
            } else {
                error = "--cid-format is spaced or compact";
                return false;
            }
        } else if (a == "--cid-before-ring") {
            out.modem.callerIdBeforeRing = true;
        } else if (a == "--numeric") {
            out.modem.verbose = false;
        } else if (a == "--ring-cadence" || a == "--answer-delay") {
            if (!value(v))
                return false;
            if (!ToInt(v, a == "--answer-delay" ? 0 : 1, 3600000, n)) {
                error = a + " takes milliseconds";
                return false;
            }
            (a == "--ring-cadence" ? out.modem.ringCadence : out.modem.answerDelay) =
                std::chrono::milliseconds(n);
        } else if (a == "--rings") {
            if (!value(v))
                return false;
            if (!ToInt(v, 0, 1000, n)) {
                error = "--rings takes a count";
                return false;
            }
            out.modem.ringLimit = static_cast<int>(n);
        } else if (a == "--answer-rate") {
            if (!value(out.modem.answerRate))
                return false;
        } else if (a == "--register") {
            if (!value(v))
                return false;
            size_t eq = v.find('=');
            long reg = 0;
            if (eq == std::string::npos || !ToInt(v.substr(0, eq), 0, 99, reg) ||
                !ToInt(v.substr(eq + 1), 0, 255, n)) {
                error = "bad --register '" + v + "' (N=V, N 0-99, V 0-255)";
                return false;
            }
            out.modem.registers[static_cast<int>(reg)] = static_cast<int>(n);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    return true;
}

}  // namespace tarvik::modemsim::program

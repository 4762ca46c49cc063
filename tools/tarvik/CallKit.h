// What dial, answer and term share around the line: signals read from a
// descriptor (so that Ctrl-C, SIGTERM and SIGHUP end a run through its normal
// exit path, which hangs up), the line's events queued for the main thread,
// the port a run uses (a COM name, a device path, or a simulated modem, the
// last two in a private device map), error messages that name the device and
// what the system said, and the bridge between the terminal and a data call.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <termios.h>

#include "Args.h"
#include "HostKit.h"

namespace tarvik::cli {

// SIGINT, SIGTERM and SIGHUP, blocked for the whole process and readable from
// a descriptor. The first call must come before any thread is started, so
// that every thread inherits the blocked mask. SIGPIPE is ignored as well.
int SignalFd();
// The signal that arrived, 0 when none (does not wait).
int TakeSignal();
// "SIGINT", "SIGTERM", "SIGHUP".
const char* SignalName(int signal);

// Runs `work`, a call into the line that may block for seconds (OpenLine on a
// silent modem, AnswerCall, DropCall), on a thread of its own while this
// thread watches the signals, so that Ctrl-C is never ignored for long.
// `abandon`: a signal ends the run at once (see Abandon). Otherwise the first
// signal is returned once `work` has finished, and a second one abandons.
// 0 when no signal came.
int RunWatched(const std::function<void()>& work, bool abandon);
// Ends the process at once with 128 + `signal`, after saying why (`phase`:
// "while the modem initialised"), putting the terminal back and removing
// this run's private device map. Used where nothing is up that a hang-up
// could end, or where the hang-up itself was interrupted: a call into the
// line may still be running on another thread, and the end of the process
// (which closes the port, dropping DTR) is the only safe way past it.
[[noreturn]] void Abandon(int signal, const std::string& phase);

// What the line's callbacks report, for the main thread to wait on.
class CallEvents {
  public:
    enum Kind { Offered, Connected, Disconnected, Fatal };
    struct Event {
        Kind kind;
        LONG value;  // Connected: the handle; Disconnected: the cause
    };
    struct Waited {
        std::optional<Event> event;  // else a signal or the time-out
        int signal = 0;
    };

    CallEvents();
    ~CallEvents();
    CallEvents(const CallEvents&) = delete;
    CallEvents& operator=(const CallEvents&) = delete;

    void Push(Kind kind, LONG value = 0);
    // The next event, a signal, or neither after `timeout`.
    Waited Next(std::chrono::milliseconds timeout);

  private:
    std::mutex mu_;
    std::deque<Event> queue_;
    int wake_ = -1;
};

// The port of a run.
class PortSetup {
  public:
    PortSetup() = default;
    ~PortSetup();  // removes the private device map
    PortSetup(const PortSetup&) = delete;
    PortSetup& operator=(const PortSetup&) = delete;

    // Checks the --port argument: "COM7", "\\.\COM7", or a device path, which
    // is then mapped to a COM name in a device map of this run's own. False
    // with `error` set when it is neither.
    bool Use(const std::string& given, std::string* error);
    // A device map of this run's own in which `name` leads to `device` (a
    // simulated modem's terminal).
    bool UsePrivate(const std::string& name, const std::string& device, std::string* error);

    const std::string& Name() const { return name_; }    // what the line opens ("COM7")
    const std::string& Shown() const { return shown_; }  // what messages call it
    std::string Device() const;                          // what the name resolves to
    // "COM9 (/dev/ttyS8)", or the path alone when a path was given.
    std::string Described() const;

  private:
    bool MakePrivateMap(std::string* error);
    std::string name_, shown_, folder_;
};

// What dial and answer do first: check --port (this build may need one) and
// --baud, block the hang-up signals before any thread exists, set up the
// console as `program` and COM. The exit status when the run cannot go on.
std::optional<int> StartCallCommand(const tool::Args& args, const char* program, PortSetup* port,
                                    long* baud);

// The port speed the tools use unless told otherwise: what a modem on a
// serial line is set to more often than any other.
inline constexpr long kDefaultBaud = 9600;
// --baud of a command: a standard rate, kDefaultBaud when absent. Nothing
// (after the usage error) when it is not one.
std::optional<long> BaudOption(const tool::Args& args);

// The problem of a port before anything is opened: a device that does not
// exist, is no character device, cannot be read and written by this user,
// or is held open by another program. Empty when none is found.
std::string PortProblemBeforeOpening(const std::string& device);
// The process (other than this one) that has `device` open, 0 when none is
// seen; only processes this user may look at are seen. `root` prefixes
// /proc (a made-up machine).
long HolderOf(const std::string& device, const std::string& root = "");
// Where to look when a port name leads nowhere.
inline constexpr const char* kPortHint =
    " (see 'tarvik ports --scan' for this machine's serial devices and 'tarvik ports add "
    "COMn DEVICE' to give one a COM name)";

struct Failure {
    std::string message;
    int exitCode;
};
// Why a device cannot be opened, in words: "no such device", "is in use by
// another program", "permission denied", else what the system said.
std::string DeviceProblem(const std::string& device);
// The message and exit status for an OpenLine that failed.
Failure OpenFailure(const HostLine& line, const PortSetup& port, const std::string& init,
                    const std::string& detail);

// Settings every command's OpenLine starts from: the port speed and the
// escape guard time the modem needs before "+++" (its S12 register, 1 s
// unless set otherwise).
ComPtr<ICommonData> LineSettings(long baud, long guardMs);

// OpenLine under RunWatched: a signal during the modem's initialisation ends
// the run at once (nothing to hang up yet). The exit status when it failed.
std::optional<int> OpenWatched(HostLine& line, const PortSetup& port, const std::string& init,
                               ICommonData* settings);

// Waiting for a dialled or answered call to connect, with one progress line
// every 5 s and the time-out of --timeout.
struct ConnectWait {
    enum Kind { Connected, Ended, DeviceLost, Signal, TimedOut } kind;
    LONG value = 0;  // Connected: the handle; Ended: the cause
    int signal = 0;
};
ConnectWait AwaitConnection(CallEvents& events, std::chrono::seconds limit);

// Ends a call the way every exit path must: the line drops it ("+++", ATH)
// and its end is awaited, so that the port is closed after it. `connected`:
// whether the call was up (else it was being dialled or answered), for the
// words. A signal during the hang-up abandons it.
void HangUp(IModemLine* line, CallEvents& events, const std::string& why, bool connected);
// Awaits the line's report of a call's end (10 s at most) and says it.
// `shown`: whether to say it (not when the device is gone, which is said
// instead).
void AwaitEnd(CallEvents& events, bool connected, bool shown = true);

// The key that leaves the data bridge and the terminal when standard input
// is a terminal in raw mode: Ctrl-], as telnet and picocom use it.
inline constexpr char kEscapeKey = 0x1d;
inline constexpr const char* kEscapeKeyName = "Ctrl-]";

// Standard input in raw mode, when it is a terminal, for as long as this
// lives: keys go out as typed, without a local echo, and Ctrl-C is a key.
// Made before the tool says it is ready for keys, so none typed after that
// is taken in the terminal's line mode.
class RawTerminal {
  public:
    RawTerminal();
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool Active() const { return active_; }
    // Puts back the settings of the terminal made raw, if one is.
    static void RestoreAny();

  private:
    termios saved_{};
    bool active_ = false;
};

struct BridgeEnd {
    enum Kind { InputEnded, EscapeKey, RemoteHungUp, DeviceLost, Signal } kind;
    int signal = 0;
    // The AT terminal: the modem's last word was CONNECT (not NO CARRIER),
    // so it may still be in a data call.
    bool online = false;
};
// Copies standard input to `port` and `port` to standard output until one of
// the ends above; the escape key counts when `terminal` is active.
// `endOnNoCarrier`: a modem's NO CARRIER in the data ends the bridge (a data
// call), else it is data (the AT terminal). `skipLeadingLf`: the LF the modem
// sent after the CONNECT line's CR is not data.
BridgeEnd Bridge(int port, const RawTerminal& terminal, bool endOnNoCarrier, bool skipLeadingLf);

// The connect rate in a modem's CONNECT text ("CONNECT 33600/ARQ"), 0 when
// there is none.
long RateOf(const std::string& connectText);

// The result codes a modem ends a dial with, for the words of an end that
// the line reports with one cause for several of them.
std::string DialResultText(LONG cause, const std::string& resultCode);

}  // namespace tarvik::cli

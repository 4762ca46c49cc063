// What dial, answer and term share around the line: signals read from a
// descriptor (so that Ctrl-C, SIGTERM and SIGHUP end a run through its normal
// exit path, which hangs up), the line's events queued for the main thread,
// the port a run uses (a COM name, a device path, or a simulated modem, the
// last two in a private device map), error messages that name the device and
// what the system said, and the bridge between the terminal and a data call.
#pragma once

#include <chrono>
#include <deque>
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

// What dial and answer do first: check --port (this build may need one),
// block the hang-up signals before any thread exists, set up the console as
// `program` and COM. The exit status when the run cannot go on.
std::optional<int> StartCallCommand(const tool::Args& args, const char* program, PortSetup* port);

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

// Settings every command's OpenLine starts from: the escape guard time the
// modem needs before "+++" (its S12 register, 1 s unless set otherwise).
ComPtr<ICommonData> LineSettings(long guardMs);

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

  private:
    termios saved_{};
    bool active_ = false;
};

struct BridgeEnd {
    enum Kind { InputEnded, EscapeKey, RemoteHungUp, DeviceLost, Signal } kind;
    int signal = 0;
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

}  // namespace tarvik::cli

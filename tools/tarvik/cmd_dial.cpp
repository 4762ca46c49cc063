// tarvik dial: places one data call through a real modem (or, with no port, a
// simulated one whose remote side sends back what it gets) and bridges the
// connected call to standard input and output until input ends, the escape
// key is pressed or the remote side hangs up. Status lines (or, with --json,
// events) go to standard error, so standard output carries only the call's
// data.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "Args.h"
#include "CallKit.h"
#include "Command.h"
#include "Console.h"
#include "ExitCodes.h"
#include "HostKit.h"
#include "line/DialCommand.h"
#include "tarvik/tarvik.h"

#ifdef TARVIK_HAVE_MODEMSIM
#include "modemsim/Modem.h"
#endif

namespace {

using namespace std::chrono_literals;
using namespace tarvik::cli;

constexpr long kSimulatedRate = 33600;

// What the line would refuse in the number or the access code, checked by
// the line's own rule before anything is opened.
std::optional<std::string> DialProblem(const std::string& number, const std::string& access) {
    using namespace tarvik::line;
    if (auto p = DialStringProblem(number, "--number"))
        return "'" + number + "' is not a number to dial: " + "it " + p->substr(p->find("holds"));
    if (auto p = DialStringProblem(access, "--access-code"))
        return "'" + access + "' is not an access code: " + "it " + p->substr(p->find("holds"));
    if (number.find_first_of("0123456789") == std::string::npos)
        return "'" + number + "' is not a number to dial: it has no digit";
    if (!BuildDialCommand(false, number, access))
        return "the number and the access code have " +
               std::to_string(number.size() + access.size()) + " characters, " +
               std::to_string(kMaxDialDigits) + " at most";
    return std::nullopt;
}

std::string Details() {
    return std::string(
               "Without --port a simulated modem answers every number and sends back what\n"
               "it gets. Standard input goes to the remote side and what it sends comes out\n"
               "on standard output. The call is dropped at the end of input, by ") +
           kEscapeKeyName +
           " when\n"
           "standard input is a terminal (which is then in raw mode: keys, Ctrl-C\n"
           "among them, go to the remote side as typed), and by SIGINT (Ctrl-C while\n"
           "the modem initialises or dials, or when input is no terminal), SIGTERM or\n"
           "SIGHUP. NUMBER holds digits and what a Hayes modem takes in a dial string:\n"
           "* # A-D P T W R , ! @ ; and the separators - ( ) . and blank (58 at most,\n"
           "access code included). Status lines go to standard error; with --json, one\n"
           "JSON object per event instead.\n\n" +
           ExitStatusHelp();
}

int RunDial(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik dial", "[--port PORT] --number NUMBER [OPTIONS]",
        {{"port", 'p', "PORT",
          "the modem's port: COM1 to COM256 (see 'tarvik ports')\nor a device path such as "
          "/dev/ttyUSB0"},
         {"number", 'n', "NUMBER", "the number to dial"},
         {"baud", 'b', "RATE", "the port's speed, a standard rate (9600)"},
         {"init", 0, "TEXT", "the modem's initialisation command (ATZ)"},
         {"pulse", 0, nullptr, "pulse dialling (default tone)"},
         {"access-code", 0, "CODE", "dialled right after the number"},
         {"timeout", 't', "SECONDS", "how long to wait for the connection (120)"},
         {"verbose", 'v', nullptr, "show the AT exchange with the modem, with times"},
         {"json", 0, nullptr, "events as JSON objects, one per line"}},
        Details());
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
    const std::string number = args.Value("number");
    if (!args.Has("number"))
        return args.UsageError("--number is needed");
    if (auto problem = DialProblem(number, args.Value("access-code")))
        return args.UsageError(*problem);
    const auto timeout = args.Integer("timeout", 1, 86400, 120);
    if (!timeout)
        return kExitUsage;
    const std::string init = args.Value("init", "ATZ");
    PortSetup port;
    long baud = 0;
    if (auto status = StartCallCommand(args, "tarvik dial", &port, &baud))
        return *status;
    Console& out = Out();
    std::string error;

    long guardMs = 1100;        // above a modem's usual 1 s guard time (S12=50)
    std::atomic<long> rate{0};  // written by the log tap's threads
#ifdef TARVIK_HAVE_MODEMSIM
    std::unique_ptr<tarvik::modemsim::Modem> modem;
    if (!args.Has("port")) {
        tarvik::modemsim::ModemOptions options;
        options.defaultOutcome =
            tarvik::modemsim::DialOutcome::Connect(std::to_string(kSimulatedRate), 500ms);
        options.registers[12] = 10;  // escape guard time 0.2 s
        modem = std::make_unique<tarvik::modemsim::Modem>(options);
        if (!modem->Start(&error) || !port.UsePrivate("COM1", modem->SlavePath(), &error))
            return out.Fail("cannot start the simulated modem: " + error, kExitFailure);
        guardMs = 300;
        out.Say("no port given, using a simulated modem");
    }
#endif
    if (args.Has("port")) {
        const std::string problem = PortProblemBeforeOpening(port.Device());
        if (!problem.empty())
            return out.Fail(port.Described() + ": " + problem, kExitPortUnavailable);
    }

    if (!EnsureClasses(&error))
        return out.Fail(error, kExitFailure);
    EventTap tap({{}, [&out, &rate](const std::string& function, const std::string& message) {
                      out.LogEntry(function, message);
                      if (long r = RateOf(message))
                          rate = r;
                  }});
    auto events = std::make_shared<CallEvents>();
    LineHandlers handlers;
    handlers.connected = [events](LONG, LONG handle) {
        events->Push(CallEvents::Connected, handle);
    };
    handlers.disconnected = [events](LONG cause) { events->Push(CallEvents::Disconnected, cause); };
    handlers.fatal = [events](LONG, LONG, LONG) { events->Push(CallEvents::Fatal); };

    HostLine host;
    if (!host.Create(port.Name(), std::move(handlers), &error))
        return out.Fail(error, kExitFailure);
    out.Event("opening",
              Json().Add("port", port.Shown()).Add("device", port.Device()).Add("baud", baud),
              "initialising the modem on " + port.Described() + " at " + std::to_string(baud) +
                  " bit/s with " + init + " (Ctrl-C stops)");
    if (auto failed = OpenWatched(host, port, init, LineSettings(baud, guardMs).Get()))
        return *failed;

    auto bag = tarvik::MakeBag();
    SetField(bag.Get(), tarvik::field::PhoneNumber, tarvik::Variant::AnsiString(number));
    SetField(bag.Get(), tarvik::field::DialType, tarvik::Variant::Bool(args.Has("pulse")));
    if (args.Has("access-code"))
        SetField(bag.Get(), tarvik::field::PCAccessCode,
                 tarvik::Variant::AnsiString(args.Value("access-code")));
    out.Event("dialling", Json().Add("port", port.Shown()).Add("number", number),
              "dialling " + number + (args.Has("pulse") ? " (pulse)" : "") +
                  ", waiting for the modem to connect (Ctrl-C hangs up)");
    IModemLine* line = host.Line();
    const size_t replies = out.ReceivedCount();
    if (FAILED(line->MakeCall(bag.Get())))
        return out.Fail("cannot dial: " + TakeErrorText(), kExitFailure);

    const ConnectWait w = AwaitConnection(*events, std::chrono::seconds(*timeout));
    switch (w.kind) {
        case ConnectWait::TimedOut:
            HangUp(line, *events, "time-out", false);
            return out.Fail("no connection within " + std::to_string(*timeout) + " s",
                            kExitNoAnswer);
        case ConnectWait::Signal:
            HangUp(line, *events, SignalName(w.signal), false);
            return ExitForSignal(w.signal);
        case ConnectWait::Ended:
            return out.Fail(
                DialResultText(w.value, out.ReceivedAfter(replies, "MODEM_CONNECTING", 1s)),
                ExitForCause(w.value));
        case ConnectWait::DeviceLost:
            return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
        case ConnectWait::Connected:
            break;
    }

    const RawTerminal terminal;
    const long connectRate = rate ? rate.load() : args.Has("port") ? 0 : kSimulatedRate;
    Json connected = Json().Add("port", port.Shown()).Add("baud", baud);
    if (connectRate)
        connected.Add("rate", connectRate);
    out.Event(
        "connected", connected,
        (connectRate ? "connected at " + std::to_string(connectRate) : std::string("connected")) +
            " (port at " + std::to_string(baud) + ")" +
            (terminal.Active() ? std::string("; ") + kEscapeKeyName + " hangs up"
                               : std::string("; end of input or Ctrl-C hangs up")));
    const BridgeEnd end = Bridge(static_cast<int>(w.value), terminal, true, true);
    switch (end.kind) {
        case BridgeEnd::RemoteHungUp:
        case BridgeEnd::DeviceLost:
            // The port is the host's until it says it has finished with it.
            tarvik::SignalEndOfCall(port.Name().c_str());
            AwaitEnd(*events, true, end.kind == BridgeEnd::RemoteHungUp);
            if (end.kind == BridgeEnd::DeviceLost)
                return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
            return kExitOk;
        case BridgeEnd::Signal:
            HangUp(line, *events, SignalName(end.signal), true);
            return ExitForSignal(end.signal);
        case BridgeEnd::InputEnded:
            HangUp(line, *events, "end of input", true);
            return kExitOk;
        case BridgeEnd::EscapeKey:
            HangUp(line, *events, kEscapeKeyName, true);
            return kExitOk;
    }
    return kExitOk;
}

Command dial{"dial", "place a data call and bridge it to standard input and output", &RunDial};

}  // namespace

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
#include "tarvik/tarvik.h"

#ifdef TARVIK_HAVE_MODEMSIM
#include "modemsim/Modem.h"
#endif

namespace {

using namespace std::chrono_literals;
using namespace tarvik::cli;

constexpr long kSimulatedRate = 33600;
constexpr auto kProgressEvery = 5s;

std::string Details() {
    return std::string(
               "Without --port a simulated modem answers every number and sends back what\n"
               "it gets. Standard input goes to the remote side and what it sends comes out\n"
               "on standard output. The call is dropped at the end of input, by ") +
           kEscapeKeyName +
           " when\n"
           "standard input is a terminal (which is then in raw mode: keys go to the\n"
           "remote side as typed), and by Ctrl-C, SIGTERM or SIGHUP. Status lines go to\n"
           "standard error; with --json, one JSON object per event instead.\n\n" +
           ExitStatusHelp();
}

// Digits, the dial modifiers a Hayes modem takes, and separators people type.
bool IsDialString(const std::string& s) {
    return !s.empty() && s.size() <= 60 &&
           s.find_first_not_of("0123456789*#,WwPpTt!@;+-() ") == std::string::npos &&
           s.find_first_of("0123456789") != std::string::npos;
}

int RunDial(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik dial", "[--port PORT] --number NUMBER [OPTIONS]",
        {{"port", 'p', "PORT",
          "the modem's port: COMn (see 'tarvik ports') or a\ndevice path such as /dev/ttyUSB0"},
         {"number", 'n', "NUMBER", "the number to dial"},
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
    if (!IsDialString(number))
        return args.UsageError("'" + number + "' is not a number to dial");
    const auto timeout = args.Integer("timeout", 1, 86400, 120);
    if (!timeout)
        return kExitUsage;
    const std::string init = args.Value("init", "ATZ");
    PortSetup port;
    if (auto status = StartCallCommand(args, "tarvik dial", &port))
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
        rate = kSimulatedRate;
        out.Say("no port given, using a simulated modem");
    }
#endif

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
    out.Event("opening", Json().Add("port", port.Shown()).Add("device", port.Device()),
              "initialising the modem on " + port.Described() + " with " + init);
    if (FAILED(host.Open(init, LineSettings(guardMs).Get(), &error))) {
        Failure f = OpenFailure(host, port, init, error);
        return out.Fail(f.message, f.exitCode);
    }
    // A signal during the initialisation: nothing to hang up yet.
    if (int s = TakeSignal())
        return ExitForSignal(s);

    auto bag = NewBag();
    SetField(bag.Get(), tarvik::field::PhoneNumber, tarvik::Variant::AnsiString(number));
    SetField(bag.Get(), tarvik::field::DialType, tarvik::Variant::Bool(args.Has("pulse")));
    if (args.Has("access-code"))
        SetField(bag.Get(), tarvik::field::PCAccessCode,
                 tarvik::Variant::AnsiString(args.Value("access-code")));
    out.Event("dialling", Json().Add("port", port.Shown()).Add("number", number),
              "dialling " + number + (args.Has("pulse") ? " (pulse)" : "") +
                  ", waiting for the modem to connect (Ctrl-C hangs up)");
    IModemLine* line = host.Line();
    if (FAILED(line->MakeCall(bag.Get())))
        return out.Fail("cannot dial: " + TakeErrorText(), kExitFailure);
    // The end of the call as the line reports it, waited for up to 10 s
    // (signals meanwhile change nothing: the hang-up is under way).
    auto awaitEnd = [&]() -> std::optional<LONG> {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            auto w = events->Next(500ms);
            if (w.event && w.event->kind == CallEvents::Disconnected)
                return w.event->value;
            if (w.event && w.event->kind == CallEvents::Fatal)
                break;  // the port failed: no end of call will follow
        }
        return std::nullopt;
    };
    auto reportEnd = [&](std::optional<LONG> cause) {
        if (cause)
            out.Event(
                "disconnected",
                Json().Add("cause", static_cast<long>(*cause)).Add("reason", CauseText(*cause)),
                std::string("call ended: ") + CauseText(*cause));
        else
            out.Say("the line did not report the end of the call");
    };
    // Ends the call the way every exit path must: the line drops it (+++,
    // ATH), and the end is awaited so that the port is closed after it.
    auto hangUp = [&](const std::string& why) {
        out.Event("hanging-up", Json().Add("reason", why), "hanging up (" + why + ")");
        if (FAILED(line->DropCall()))
            out.Say("the modem did not hang up cleanly: " + TakeErrorText());
        reportEnd(awaitEnd());
    };

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto limit = std::chrono::seconds(*timeout);
    LONG handle = -1;
    while (handle < 0) {
        const auto elapsed = Clock::now() - started;
        if (elapsed >= limit) {
            hangUp("time-out");
            return out.Fail("no connection within " + std::to_string(*timeout) + " s",
                            kExitNoAnswer);
        }
        auto slice = std::min<Clock::duration>(kProgressEvery, limit - elapsed);
        auto w = events->Next(std::chrono::duration_cast<std::chrono::milliseconds>(slice));
        if (w.signal) {
            hangUp(SignalName(w.signal));
            return ExitForSignal(w.signal);
        }
        if (!w.event) {
            const long seconds =
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
            if (Clock::now() - started < limit)
                out.Event("waiting", Json().Add("elapsed", seconds),
                          "still waiting for the connection (" + std::to_string(seconds) + " s)");
            continue;
        }
        switch (w.event->kind) {
            case CallEvents::Connected:
                handle = w.event->value;
                break;
            case CallEvents::Disconnected:
                return out.Fail(CauseText(w.event->value), ExitForCause(w.event->value));
            case CallEvents::Fatal:
                return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
            case CallEvents::Offered:
                break;
        }
    }

    const RawTerminal terminal;
    const long connectRate = rate;
    Json connected = Json().Add("port", port.Shown());
    if (connectRate)
        connected.Add("rate", connectRate);
    out.Event(
        "connected", connected,
        (connectRate ? "connected at " + std::to_string(connectRate) : std::string("connected")) +
            (terminal.Active() ? std::string("; ") + kEscapeKeyName + " hangs up"
                               : std::string("; end of input hangs up")));
    const BridgeEnd end = Bridge(static_cast<int>(handle), terminal, true, true);
    switch (end.kind) {
        case BridgeEnd::RemoteHungUp:
        case BridgeEnd::DeviceLost:
            // The port is the host's until it says it has finished with it.
            tarvik::SignalEndOfCall(port.Name().c_str());
            reportEnd(awaitEnd());
            if (end.kind == BridgeEnd::DeviceLost)
                return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
            return kExitOk;
        case BridgeEnd::Signal:
            hangUp(SignalName(end.signal));
            return ExitForSignal(end.signal);
        case BridgeEnd::InputEnded:
            hangUp("end of input");
            return kExitOk;
        case BridgeEnd::EscapeKey:
            hangUp(kEscapeKeyName);
            return kExitOk;
    }
    return kExitOk;
}

Command dial{"dial", "place a data call and bridge it to standard input and output", &RunDial};

}  // namespace

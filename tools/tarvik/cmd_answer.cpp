// tarvik answer: wait for calls on a modem, show each ring, the caller ID and
// the connect, answer (or refuse), and bridge the data call to standard input
// and output until either side ends it. Without --port the calls come from a
// simulated modem that rings with caller ID, so the flow can be seen at once.
//
// Status lines (or, with --json, events) go to standard error; standard
// output carries only the data the remote side sends.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
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
using Clock = std::chrono::steady_clock;

constexpr auto kProgressEvery = 5s;
// The event reporter's code for caller ID.
constexpr LONG kCallerIdEvent = 1000;
constexpr const char* kRingEntry = "MODEM_CALL_OFFERING : Received RING";

std::string Details() {
    return std::string(
               "Without --port a simulated modem rings with caller ID (and --caller-id is on).\n"
               "--rings: rings before a call is offered (default 3 with caller ID, else 1;\n"
               "caller ID is reported at the third ring). Data typed on standard input goes\n"
               "to the caller; the call is dropped at the end of input, by ") +
           kEscapeKeyName +
           " when standard\n"
           "input is a terminal (then in raw mode), and by Ctrl-C, SIGTERM or SIGHUP.\n\n" +
           ExitStatusHelp();
}

#ifdef TARVIK_HAVE_MODEMSIM
std::string TodaysCallerId() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "DATE=%02d%02d,TIME=%02d%02d,CALR=5551212,NAME=TARVIK SIM",
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
    return text;
}
#endif

int RunAnswer(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik answer", "[--port PORT] [OPTIONS]",
        {{"port", 'p', "PORT",
          "the modem's port: COMn (see 'tarvik ports') or a\ndevice path such as /dev/ttyUSB0"},
         {"rings", 'r', "N", "rings before a call is offered (1 to 100)"},
         {"caller-id", 0, nullptr, "report caller ID"},
         {"mode", 0, "MODE", "standard, smart or kvr (standard)"},
         {"refuse", 0, nullptr, "refuse calls instead of answering them"},
         {"init", 0, "TEXT", "the modem's initialisation command (ATZ)"},
         {"once", 0, nullptr, "handle one call, then stop (--calls 1)"},
         {"calls", 'c', "N", "handle N calls, then stop (default: until Ctrl-C)"},
         {"timeout", 't', "SECONDS", "how long to wait for the connection once\nanswered (60)"},
         {"verbose", 'v', nullptr, "show the AT exchange with the modem, with times"},
         {"json", 0, nullptr, "events as JSON objects, one per line"}},
        Details());
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
    const std::string mode = args.Value("mode", "standard");
    if (mode != "standard" && mode != "smart" && mode != "kvr")
        return args.UsageError("--mode is standard, smart or kvr, not '" + mode + "'");
    const auto ringsGiven = args.Integer("rings", 1, 100, 0);
    const auto callsGiven = args.Integer("calls", 1, 100000, 0);
    const auto timeout = args.Integer("timeout", 1, 86400, 60);
    if (!ringsGiven || !callsGiven || !timeout)
        return kExitUsage;
    const long calls = args.Has("once") ? 1 : *callsGiven;  // 0: until interrupted
    const std::string init = args.Value("init", "ATZ");
    bool callerId = args.Has("caller-id");
    PortSetup port;
    if (auto status = StartCallCommand(args, "tarvik answer", &port))
        return *status;
    Console& out = Out();
    std::string error;

    long guardMs = 1100;  // above a modem's usual 1 s guard time (S12=50)
    std::atomic<long> rate{0};
#ifdef TARVIK_HAVE_MODEMSIM
    std::unique_ptr<tarvik::modemsim::Modem> sim;
    if (!args.Has("port")) {
        callerId = true;
        tarvik::modemsim::ModemOptions simOptions;
        simOptions.ringCadence = 2000ms;
        simOptions.answerDelay = 500ms;
        simOptions.answerRate = "33600";
        simOptions.registers[12] = 10;  // escape guard time 0.2 s
        if (auto cid = tarvik::modemsim::CallerId::Parse(TodaysCallerId()))
            simOptions.callerId = *cid;
        // "ATD" answers a call on lines set up for it; the simulated caller
        // connects to whatever dials.
        simOptions.defaultOutcome = tarvik::modemsim::DialOutcome::Connect("33600", 500ms);
        sim = std::make_unique<tarvik::modemsim::Modem>(simOptions);
        if (!sim->Start(&error))
            return out.Fail("cannot start the simulated modem: " + error, kExitFailure);
        const std::string name = "COM1";
        if (!port.UsePrivate(name, sim->SlavePath(), &error))
            return out.Fail("cannot map a port to the simulated modem: " + error, kExitFailure);
        guardMs = 300;
        rate = 33600;
        out.Say("simulated modem on " + name + " (" + sim->SlavePath() + ")");
    }
#endif
    const long rings = args.Has("rings") ? *ringsGiven : callerId ? 3 : 1;

    if (!EnsureClasses(&error))
        return out.Fail(error, kExitFailure);
    auto ringCount = std::make_shared<std::atomic<int>>(0);
    EventTap tap({
        [&out](LONG code, const std::string& data, const std::string& source) {
            if (code == kCallerIdEvent)
                out.Event("caller-id", Json().Add("port", source).Add("data", data),
                          "caller ID on " + source + ": " + data);
            else
                out.Event("report", Json().Add("code", static_cast<long>(code)).Add("data", data),
                          data);
        },
        [&out, ringCount, &rate](const std::string& function, const std::string& message) {
            out.LogEntry(function, message);
            if (message == kRingEntry) {
                const int n = ++*ringCount;
                out.Event("ring", Json().Add("count", n), "ring " + std::to_string(n));
            }
            if (long r = RateOf(message))
                rate = r;
        },
    });

    int result = kExitOk;
    {
        // Shared with the callbacks: an event thread of the line may still be
        // finishing a callback when this scope ends.
        auto events = std::make_shared<CallEvents>();
        HostLine line;
        LineHandlers handlers;
        handlers.offering = [events] { events->Push(CallEvents::Offered); };
        handlers.connected = [events](LONG, LONG handle) {
            events->Push(CallEvents::Connected, handle);
        };
        handlers.disconnected = [events](LONG cause) {
            events->Push(CallEvents::Disconnected, cause);
        };
        handlers.fatal = [events](LONG, LONG, LONG) { events->Push(CallEvents::Fatal); };
        if (!line.Create(port.Name(), handlers, &error))
            return out.Fail(error, kExitFailure);
        auto open = [&]() -> std::optional<int> {
            auto settings = LineSettings(guardMs);
            if (!settings)
                return out.Fail("cannot create a property bag", kExitFailure);
            SetField(settings.Get(), tarvik::field::NumRingsAnswer,
                     tarvik::Variant(LONG{static_cast<LONG>(rings)}));
            SetField(settings.Get(), tarvik::field::CallerIDEnabled,
                     tarvik::Variant(LONG{callerId ? 1 : 0}));
            SetField(settings.Get(), tarvik::field::KVRIncoming,
                     tarvik::Variant(LONG{mode == "kvr" ? 1 : 0}));
            SetField(settings.Get(), tarvik::field::AnsweringMode,
                     tarvik::Variant(LONG{mode == "smart" ? 1 : 0}));
            if (FAILED(line.Open(init, settings.Get(), &error))) {
                Failure f = OpenFailure(line, port, init, error);
                return out.Fail(f.message, f.exitCode);
            }
            return std::nullopt;
        };
        out.Event("opening", Json().Add("port", port.Shown()).Add("device", port.Device()),
                  "initialising the modem on " + port.Described() + " with " + init);
        if (auto failed = open())
            return *failed;

        // The end of a call as the line reports it (10 s at most).
        auto awaitEnd = [&]() {
            const auto until = Clock::now() + 10s;
            while (Clock::now() < until) {
                auto w = events->Next(500ms);
                if (w.event && w.event->kind == CallEvents::Disconnected) {
                    const LONG cause = w.event->value;
                    out.Event("disconnected",
                              Json()
                                  .Add("cause", static_cast<long>(cause))
                                  .Add("reason", CauseText(cause)),
                              std::string("call ended: ") + CauseText(cause));
                    return;
                }
                if (w.event && w.event->kind == CallEvents::Fatal)
                    break;  // the port failed: no end of call will follow
            }
            out.Say("the line did not report the end of the call");
        };
        auto hangUp = [&](const std::string& why) {
            out.Event("hanging-up", Json().Add("reason", why), "hanging up (" + why + ")");
            if (FAILED(line.Line()->DropCall()))
                out.Say("the modem did not hang up cleanly: " + TakeErrorText());
            awaitEnd();
        };

        long handled = 0;
        while (calls == 0 || handled < calls) {
            *ringCount = 0;
            out.Event("waiting", Json().Add("port", port.Shown()),
                      "waiting for a call on " + port.Shown() + " (Ctrl-C stops)");
#ifdef TARVIK_HAVE_MODEMSIM
            if (sim)
                sim->Ring();
#endif
            CallEvents::Waited w;
            do
                w = events->Next(std::chrono::hours(24));
            while (!w.signal && !(w.event && (w.event->kind == CallEvents::Offered ||
                                              w.event->kind == CallEvents::Fatal)));
            if (w.signal)
                return ExitForSignal(w.signal);
            if (w.event->kind == CallEvents::Fatal)
                return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
            ++handled;
            out.Event("offered", Json().Add("port", port.Shown()), "call offered");
            if (args.Has("refuse")) {
                if (FAILED(line.Line()->AnswerCall(0)))
                    out.Say("refusing failed: " + TakeErrorText());
                else
                    out.Event("refused", Json(), "call refused");
#ifdef TARVIK_HAVE_MODEMSIM
                // The simulated caller gives up once refused.
                if (sim)
                    sim->DropCarrier();
#endif
                continue;
            }
            if (FAILED(line.Line()->AnswerCall(1)) ||
                line.LastError() == LINE_ERROR_NOT_RESPONDING) {
                hangUp("the modem did not take the answer command");
                result = out.Fail("answering failed", kExitNoModem);
                continue;
            }
            out.Event(
                "answering", Json().Add("mode", mode),
                "answering (" + mode + "), waiting for the modem to connect (Ctrl-C hangs up)");
            const auto started = Clock::now();
            const auto limit = std::chrono::seconds(*timeout);
            LONG handle = -1;
            std::optional<int> failed;
            while (handle < 0 && !failed) {
                const auto elapsed = Clock::now() - started;
                if (elapsed >= limit) {
                    hangUp("time-out");
                    failed = out.Fail("no connection within " + std::to_string(*timeout) + " s",
                                      kExitNoAnswer);
                    break;
                }
                auto slice = std::min<Clock::duration>(kProgressEvery, limit - elapsed);
                auto next =
                    events->Next(std::chrono::duration_cast<std::chrono::milliseconds>(slice));
                if (next.signal) {
                    hangUp(SignalName(next.signal));
                    return ExitForSignal(next.signal);
                }
                if (!next.event) {
                    const long s =
                        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started)
                            .count();
                    if (Clock::now() - started < limit)
                        out.Event("waiting", Json().Add("elapsed", s),
                                  "still waiting for the connection (" + std::to_string(s) + " s)");
                } else if (next.event->kind == CallEvents::Connected) {
                    handle = next.event->value;
                } else if (next.event->kind == CallEvents::Disconnected) {
                    failed = out.Fail(std::string("the call ended before it connected: ") +
                                          CauseText(next.event->value),
                                      kExitNoAnswer);
                } else if (next.event->kind == CallEvents::Fatal) {
                    return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
                }
            }
            if (failed) {
                result = *failed;
                continue;
            }
            const RawTerminal terminal;
            const long connectRate = rate;
            Json connected = Json().Add("port", port.Shown());
            if (connectRate)
                connected.Add("rate", connectRate);
            out.Event("connected", connected,
                      (connectRate ? "connected at " + std::to_string(connectRate)
                                   : std::string("connected")) +
                          " (incoming call)" +
                          (terminal.Active() ? std::string("; ") + kEscapeKeyName + " hangs up"
                                             : std::string()));
            const BridgeEnd end = Bridge(static_cast<int>(handle), terminal, true, true);
            switch (end.kind) {
                case BridgeEnd::RemoteHungUp:
                case BridgeEnd::DeviceLost:
                    // The port is the host's until it says it has finished.
                    out.Event("remote-hung-up", Json(), "the caller hung up");
                    tarvik::SignalEndOfCall(port.Name().c_str());
                    awaitEnd();
                    if (end.kind == BridgeEnd::DeviceLost)
                        return out.Fail(port.Described() + ": the device was lost",
                                        kExitDeviceLost);
                    break;
                case BridgeEnd::Signal:
                    hangUp(SignalName(end.signal));
                    return ExitForSignal(end.signal);
                case BridgeEnd::InputEnded:
                    hangUp("end of input");
                    break;
                case BridgeEnd::EscapeKey:
                    hangUp(kEscapeKeyName);
                    break;
            }
            // Caller ID is reported once per opening: reopen for the next call.
            if (callerId && (calls == 0 || handled < calls)) {
                line.Line()->CloseLine();
                if (auto reopenFailed = open())
                    return *reopenFailed;
            }
        }
    }
    return result;
}

Command answer{"answer", "wait for calls, answer them and bridge the data", &RunAnswer};

}  // namespace

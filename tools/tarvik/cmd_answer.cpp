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
#include "tarvik/host.h"
#include "tarvik/tarvik.h"

#ifdef TARVIK_HAVE_MODEMSIM
#include "modemsim/Modem.h"
#endif

namespace {

using namespace std::chrono_literals;
using namespace tarvik::cli;

constexpr const char* kRingEntry = "MODEM_CALL_OFFERING : Received RING";
constexpr const char* kOfferingEntry = "MODEM_CALL_OFFERING : Offering call";

std::string Details() {
    return std::string(
               "Without --port a simulated modem rings with caller ID (and --caller-id is on).\n"
               "--rings: rings before a call is offered (default 3 with caller ID, else 1).\n"
               "The modem sends caller ID between the first and the second ring and the line\n"
               "reports it with the ring after the second, so caller ID comes before the\n"
               "offer only with 3 rings or more. Data typed on standard input goes to the\n"
               "caller; the call is dropped at the end of input, by ") +
           kEscapeKeyName +
           " when standard\n"
           "input is a terminal (then in raw mode: keys, Ctrl-C among them, go to the\n"
           "caller as typed), and by SIGINT (Ctrl-C while no call is connected, or when\n"
           "input is no terminal), SIGTERM or SIGHUP.\n\n" +
           ExitStatusHelp();
}

// "number 5551212, name ALICE, date 12-06 (month-day), time 09:02", the
// fields the modem sent.
std::string CallerIdText(const tarvik::CallerId& id) {
    std::string text;
    auto add = [&text](const char* label, const std::string& value) {
        if (!value.empty())
            text += (text.empty() ? "" : ", ") + std::string(label) + " " + value;
    };
    auto split = [](const std::string& v, char mark) {
        return v.size() == 4 ? v.substr(0, 2) + mark + v.substr(2) : v;
    };
    add("number", id.number);
    add("name", id.name);
    add("date", id.date.size() == 4 ? split(id.date, '-') + " (month-day)" : id.date);
    add("time", split(id.time, ':'));
    return text.empty() ? "no fields" : text;
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
          "the modem's port: COM1 to COM256 (see 'tarvik ports')\nor a device path such as "
          "/dev/ttyUSB0"},
         {"baud", 'b', "RATE", "the port's speed, a standard rate (9600)"},
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
    long baud = 0;
    if (auto status = StartCallCommand(args, "tarvik answer", &port, &baud))
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
    if (args.Has("port")) {
        const std::string problem = PortProblemBeforeOpening(port.Device());
        if (!problem.empty())
            return out.Fail(port.Described() + ": " + problem, kExitPortUnavailable);
    }
    const long rings = args.Has("rings") ? *ringsGiven : callerId ? 3 : 1;

    if (!EnsureClasses(&error))
        return out.Fail(error, kExitFailure);
    auto ringCount = std::make_shared<std::atomic<int>>(0);
    auto offering = std::make_shared<std::atomic<bool>>(false);
    EventTap tap({
        [&out](LONG code, const std::string& data, const std::string& source) {
            if (code != tarvik::kCallerIdEvent) {
                // The line's other reports ("Answering the Incoming Call ")
                // say what the status lines say already: for scripts only.
                out.Event("report", Json().Add("code", static_cast<long>(code)).Add("data", data),
                          "");
                return;
            }
            const tarvik::CallerId id = tarvik::ParseCallerId(data);
            out.Event("caller-id",
                      Json()
                          .Add("port", source)
                          .Add("date", id.date)
                          .Add("time", id.time)
                          .Add("number", id.number)
                          .Add("name", id.name)
                          .Add("data", data),
                      "caller ID on " + source + ": " + CallerIdText(id) + " [" + data + "]");
        },
        [&out, ringCount, offering, &rate](const std::string& function,
                                           const std::string& message) {
            out.LogEntry(function, message);
            // The line logs the ring that offers a call just after it has
            // offered it: the rings after that one are the next call's.
            if (message == kOfferingEntry)
                *offering = true;
            if (message == kRingEntry) {
                const int n = ++*ringCount;
                out.Event("ring", Json().Add("count", n), "ring " + std::to_string(n));
                if (offering->exchange(false))
                    *ringCount = 0;
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
            *ringCount = 0;
            auto settings = LineSettings(baud, guardMs);
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
            return OpenWatched(line, port, init, settings.Get());
        };
        out.Event("opening",
                  Json().Add("port", port.Shown()).Add("device", port.Device()).Add("baud", baud),
                  "initialising the modem on " + port.Described() + " at " + std::to_string(baud) +
                      " bit/s with " + init + " (Ctrl-C stops)");
        if (auto failed = open())
            return *failed;

        long handled = 0;
        while (calls == 0 || handled < calls) {
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
                    out.Event("refused", Json(), "call refused (not answered)");
#ifdef TARVIK_HAVE_MODEMSIM
                // The simulated caller gives up once refused.
                if (sim)
                    sim->DropCarrier();
#endif
                continue;
            }
            out.Event(
                "answering", Json().Add("mode", mode),
                "answering (" + mode + "), waiting for the modem to connect (Ctrl-C hangs up)");
            HRESULT answered = E_FAIL;
            const int signal = RunWatched([&] { answered = line.Line()->AnswerCall(1); }, false);
            if (signal) {
                HangUp(line.Line(), *events, SignalName(signal), false);
                return ExitForSignal(signal);
            }
            if (FAILED(answered) || line.LastError() == LINE_ERROR_NOT_RESPONDING) {
                HangUp(line.Line(), *events, "the modem did not take the answer command", false);
                result = out.Fail("answering failed", kExitNoModem);
                continue;
            }
            const ConnectWait c = AwaitConnection(*events, std::chrono::seconds(*timeout));
            if (c.kind == ConnectWait::Signal) {
                HangUp(line.Line(), *events, SignalName(c.signal), false);
                return ExitForSignal(c.signal);
            }
            if (c.kind == ConnectWait::DeviceLost)
                return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
            if (c.kind == ConnectWait::TimedOut) {
                HangUp(line.Line(), *events, "time-out", false);
                result = out.Fail("no connection within " + std::to_string(*timeout) + " s",
                                  kExitNoAnswer);
                continue;
            }
            if (c.kind == ConnectWait::Ended) {
                result = out.Fail(
                    std::string("the call ended before it connected: ") + CauseText(c.value),
                    kExitNoAnswer);
                continue;
            }
            const RawTerminal terminal;
            const long connectRate = rate;
            Json connected = Json().Add("port", port.Shown()).Add("baud", baud);
            if (connectRate)
                connected.Add("rate", connectRate);
            out.Event("connected", connected,
                      (connectRate ? "connected at " + std::to_string(connectRate)
                                   : std::string("connected")) +
                          " (incoming call, port at " + std::to_string(baud) + ")" +
                          (terminal.Active() ? std::string("; ") + kEscapeKeyName + " hangs up"
                                             : std::string()));
            const BridgeEnd end = Bridge(static_cast<int>(c.value), terminal, true, true);
            switch (end.kind) {
                case BridgeEnd::RemoteHungUp:
                case BridgeEnd::DeviceLost:
                    // The port is the host's until it says it has finished.
                    if (end.kind == BridgeEnd::RemoteHungUp)
                        out.Event("remote-hung-up", Json(), "the caller hung up");
                    tarvik::SignalEndOfCall(port.Name().c_str());
                    AwaitEnd(*events, true, end.kind == BridgeEnd::RemoteHungUp);
                    if (end.kind == BridgeEnd::DeviceLost)
                        return out.Fail(port.Described() + ": the device was lost",
                                        kExitDeviceLost);
                    break;
                case BridgeEnd::Signal:
                    HangUp(line.Line(), *events, SignalName(end.signal), true);
                    return ExitForSignal(end.signal);
                case BridgeEnd::InputEnded:
                    HangUp(line.Line(), *events, "end of input", true);
                    break;
                case BridgeEnd::EscapeKey:
                    HangUp(line.Line(), *events, kEscapeKeyName, true);
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

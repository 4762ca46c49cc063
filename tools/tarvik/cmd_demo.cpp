// tarvik demo: the whole life of an outgoing call, then of incoming calls
// with caller ID, on a built-in simulated modem, with no hardware and no
// setup. Every host callback is printed as it happens, with the time since
// the start, next to what the modem received and answered, so a person sees
// what the component does and when.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "Args.h"
#include "Command.h"
#include "HostKit.h"
#include "tarvik/tarvik.h"

#ifdef TARVIK_HAVE_MODEMSIM
#include "modemsim/DeviceLink.h"
#include "modemsim/Modem.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#ifdef TARVIK_HAVE_MODEMSIM

// Prints one line with the time since the demo started. Callbacks arrive on
// the line's event threads and the modem's thread, so lines are serialised.
class Timeline {
  public:
    void Print(const char* who, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        std::lock_guard lock(mu_);
        std::printf("[%7.3f s] %-7s %s\n", seconds, who, text);
        std::fflush(stdout);
    }

  private:
    const Clock::time_point start_ = Clock::now();
    std::mutex mu_;
};

// Modem bytes made readable: CR and LF shown as <CR> and <LF>.
std::string Visible(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (static_cast<unsigned char>(c) < 32)
            out += '.';
        else
            out += c;
    }
    return out;
}

class ModemTrace : public tarvik::modemsim::Observer {
  public:
    explicit ModemTrace(Timeline& timeline) : timeline_(timeline) {}
    void OnReceived(std::string_view bytes, tarvik::modemsim::Clock::time_point) override {
        timeline_.Print("modem", "<- %s", Visible(bytes).c_str());
    }
    void OnSent(std::string_view bytes, tarvik::modemsim::Clock::time_point) override {
        timeline_.Print("modem", "-> %s", Visible(bytes).c_str());
    }

  private:
    Timeline& timeline_;
};

const char* CauseName(LONG cause) {
    switch (cause) {
        case DISCONNECT_ANSWER_FAILED:
            return "the answered call never connected";
        case DISCONNECT_BUSY:
            return "busy";
        case DISCONNECT_NORMAL:
            return "hung up normally";
        case DISCONNECT_NO_CONNECTION:
            return "no connection";
        case DISCONNECT_CARRIER_LOST:
            return "carrier lost";
        case DISCONNECT_NO_DIALTONE:
            return "no dial tone";
        default:
            return "unknown cause";
    }
}

// What the host's callbacks report, for the main thread to wait on.
struct CallState {
    std::mutex mu;
    std::condition_variable changed;
    int offers = 0;
    int connects = 0;
    int disconnects = 0;
    LONG incoming = 0;
    LONG handle = -1;
    LONG cause = 0;

    bool WaitFor(int CallState::*counter, int value, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mu);
        return changed.wait_for(lock, timeout, [&] { return this->*counter >= value; });
    }
    LONG Get(LONG CallState::*field) {
        std::lock_guard lock(mu);
        return this->*field;
    }
};

// A private folder for the device map and the registry, so the demo changes
// nothing of the user's and two demos can run at once.
class Sandbox {
  public:
    bool Create() {
        char pattern[] = "/tmp/tarvik-demo-XXXXXX";
        if (!mkdtemp(pattern))
            return false;
        root_ = pattern;
        std::filesystem::create_directories(root_ / "dosdevices");
        setenv("TARVIK_DOSDEVICES", (root_ / "dosdevices").c_str(), 1);
        setenv("TARVIK_REGISTRY", (root_ / "registry.reg").c_str(), 1);
        setenv("TARVIK_LOG", (root_ / "tarvik.log").c_str(), 1);
        setenv("TARVIK_EVENTS", (root_ / "events.jsonl").c_str(), 1);
        return true;
    }
    ~Sandbox() {
        std::error_code ec;
        if (!root_.empty())
            std::filesystem::remove_all(root_, ec);
    }

  private:
    std::filesystem::path root_;
};

// Reads the handed-over port until `text` has arrived (or `timeout` passed);
// returns everything read.
std::string ReadUntil(int port, std::string_view text, std::chrono::milliseconds timeout) {
    std::string got;
    auto until = Clock::now() + timeout;
    while (got.find(text) == std::string::npos && Clock::now() < until) {
        pollfd p{port, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[128];
        ssize_t n = read(port, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string HrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return hr == S_OK ? "S_OK" : hr == E_FAIL ? "E_FAIL" : text;
}

int RunDemo(int argc, char** argv) {
    tarvik::tool::Args args("tarvik demo", "", {},
                            "Whole calls, out and in, on a built-in simulated modem: no hardware "
                            "and no setup.");
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
    Sandbox sandbox;
    if (!sandbox.Create()) {
        std::perror("tarvik demo: cannot make a temporary folder");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string error;
    if (!tarvik::cli::EnsureClasses(&error)) {
        std::fprintf(stderr, "tarvik demo: %s\n", error.c_str());
        return 1;
    }

    Timeline timeline;
    std::printf(
        "Whole calls, outgoing then incoming, on a simulated Hayes modem. 'modem' lines\n"
        "are the bytes the modem received (<-) and sent (->); 'host' lines are the\n"
        "component's callbacks and what this program, the host, does.\n\n");

    namespace sim = tarvik::modemsim;
    sim::ModemOptions options;
    options.outcomes["5551234"] = sim::DialOutcome::Connect("9600", 800ms);
    options.outcomes["5550000"] = sim::DialOutcome::Of(sim::DialOutcome::Kind::Busy, 600ms);
    options.registers[12] = 25;  // escape guard time 0.5 s
    // Incoming calls ring every second and carry caller ID in the spaced
    // form ("CALR = 5551212") between the first and the second ring.
    options.ringCadence = 1000ms;
    options.answerDelay = 500ms;
    if (auto cid = sim::CallerId::Parse("DATE=1206,TIME=1130,CALR=5551212,NAME=ALICE REMOTE"))
        options.callerId = *cid;
    ModemTrace trace(timeline);
    sim::Modem modem(options);
    modem.SetObserver(&trace);
    if (!modem.Start(&error)) {
        std::fprintf(stderr, "tarvik demo: cannot start the simulated modem: %s\n", error.c_str());
        return 1;
    }
    sim::DeviceLink link;
    if (!link.Create("COM1", modem.SlavePath(), &error)) {
        std::fprintf(stderr, "tarvik demo: cannot map COM1: %s\n", error.c_str());
        return 1;
    }
    timeline.Print("host", "simulated modem on %s, mapped as COM1", modem.SlavePath().c_str());

    CallState call;
    tarvik::cli::LineHandlers handlers;
    handlers.connected = [&](LONG incoming, LONG handle) {
        timeline.Print("host", "CallConnected(bIncoming=%d, lPortHandle=%d)", incoming, handle);
        std::lock_guard lock(call.mu);
        call.incoming = incoming;
        call.handle = handle;
        ++call.connects;
        call.changed.notify_all();
    };
    handlers.disconnected = [&](LONG cause) {
        timeline.Print("host", "CallDisconnected(lCause=%d: %s)", cause, CauseName(cause));
        std::lock_guard lock(call.mu);
        call.cause = cause;
        ++call.disconnects;
        call.changed.notify_all();
    };
    handlers.offering = [&] {
        timeline.Print("host", "CallOffering()");
        std::lock_guard lock(call.mu);
        ++call.offers;
        call.changed.notify_all();
    };
    handlers.fatal = [&](LONG cause, LONG error, LONG param) {
        timeline.Print("host", "FatalError(%d, %d, %d)", cause, error, param);
    };
    tarvik::cli::EventHandlers events;
    events.notify = [&](LONG code, const std::string& data, const std::string& source) {
        timeline.Print("host", "event reporter: %d \"%s\" from %s", code, data.c_str(),
                       source.c_str());
    };
    tarvik::cli::EventTap tap(std::move(events));

    tarvik::cli::HostLine host;
    if (!host.Create("COM1", std::move(handlers), &error)) {
        std::fprintf(stderr, "tarvik demo: %s\n", error.c_str());
        return 1;
    }
    timeline.Print("host", "session initialised, modem added, line initialised");
    IModemLine* line = host.Line();

    timeline.Print("host", "OpenLine(COMPort=COM1, ModemSetting=\"ATZ\") ...");
    HRESULT hr = host.Open("ATZ", nullptr, &error);
    timeline.Print("host", "OpenLine returned %s", HrText(hr).c_str());
    if (FAILED(hr)) {
        std::fprintf(stderr, "tarvik demo: %s\n", error.c_str());
        return 1;
    }

    auto dial = [&](const char16_t* number) {
        auto bag = tarvik::MakeBag();
        tarvik::cli::SetField(bag.Get(), u"PhoneNumber", tarvik::Variant::String(number));
        timeline.Print("host", "MakeCall(PhoneNumber=%s) ...", tarvik::Utf16ToUtf8(number).c_str());
        HRESULT result = line->MakeCall(bag.Get());
        timeline.Print("host", "MakeCall returned %s (the dial command is out)",
                       HrText(result).c_str());
        return result;
    };

    // 1. A call that connects, carries a line of data, and is dropped.
    if (FAILED(dial(u"5551234")))
        return 1;
    if (!call.WaitFor(&CallState::connects, 1, 10s)) {
        std::fprintf(stderr, "tarvik demo: the call did not connect\n");
        return 1;
    }
    const std::string hello = "Hello, remote side!\r\n";
    timeline.Print("host", "writes \"%s\" to the port it was handed", Visible(hello).c_str());
    if (write(call.handle, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) {
        std::fprintf(stderr, "tarvik demo: cannot write to the port\n");
        return 1;
    }
    // The simulated remote sends back what it gets.
    std::string reply = ReadUntil(call.handle, hello, 3s);
    timeline.Print("host", "read \"%s\" from the remote side", Visible(reply).c_str());
    // A modem takes "+++" as an escape only after a quiet moment (S12).
    timeline.Print("host", "stays quiet for the modem's escape guard time");
    Sleep(700);
    timeline.Print("host", "DropCall() ...");
    hr = line->DropCall();
    timeline.Print("host", "DropCall returned %s", HrText(hr).c_str());
    if (!call.WaitFor(&CallState::disconnects, 1, 10s)) {
        std::fprintf(stderr, "tarvik demo: the call did not end\n");
        return 1;
    }
    LONG dropCause = call.Get(&CallState::cause);

    // 2. A busy number.
    if (FAILED(dial(u"5550000")))
        return 1;
    if (!call.WaitFor(&CallState::disconnects, 2, 10s)) {
        std::fprintf(stderr, "tarvik demo: the busy call did not end\n");
        return 1;
    }

    LONG busyCause = call.Get(&CallState::cause);
    timeline.Print("host", "CloseLine() returned %s", HrText(line->CloseLine()).c_str());

    // 3. Incoming calls. Caller ID is reported once per opening of the line,
    // so the line is opened afresh for each call, set to offer a call at the
    // third ring, when the caller ID has come in.
    auto openForCalls = [&] {
        auto settings = tarvik::MakeBag();
        if (!settings)
            return false;
        tarvik::cli::SetField(settings.Get(), u"NumRingsAnswer", tarvik::Variant(LONG{3}));
        tarvik::cli::SetField(settings.Get(), u"CallerIDEnabled", tarvik::Variant(LONG{1}));
        timeline.Print("host",
                       "OpenLine(COMPort=COM1, ModemSetting=\"ATZ\", NumRingsAnswer=3, "
                       "CallerIDEnabled=1) ...");
        HRESULT result = host.Open("ATZ", settings.Get(), &error);
        timeline.Print("host", "OpenLine returned %s", HrText(result).c_str());
        if (FAILED(result))
            std::fprintf(stderr, "tarvik demo: %s\n", error.c_str());
        return SUCCEEDED(result);
    };
    auto ringUntilOffered = [&](int offers) {
        timeline.Print("host", "waits; the simulated caller dials in");
        modem.Ring();
        if (call.WaitFor(&CallState::offers, offers, 20s))
            return true;
        std::fprintf(stderr, "tarvik demo: the incoming call was not offered\n");
        return false;
    };

    // 3a. Answered: a line of data each way, then the host hangs up.
    if (!openForCalls() || !ringUntilOffered(1))
        return 1;
    timeline.Print("host", "AnswerCall(1) ...");
    hr = line->AnswerCall(1);
    timeline.Print("host", "AnswerCall returned %s", HrText(hr).c_str());
    if (FAILED(hr) || !call.WaitFor(&CallState::connects, 2, 10s)) {
        std::fprintf(stderr, "tarvik demo: the answered call did not connect\n");
        return 1;
    }
    const LONG incomingFlag = call.Get(&CallState::incoming);
    const int port = call.Get(&CallState::handle);
    const std::string greeting = "Hello, this is the caller.\r\n";
    modem.Inject(greeting);
    timeline.Print("host", "read \"%s\" from the caller",
                   Visible(ReadUntil(port, greeting, 3s)).c_str());
    const std::string answer = "Hello, caller! The host here.\r\n";
    timeline.Print("host", "writes \"%s\" to the port it was handed", Visible(answer).c_str());
    if (write(port, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
        std::fprintf(stderr, "tarvik demo: cannot write to the port\n");
        return 1;
    }
    // The caller's end echoes it, which shows it arrived.
    timeline.Print("host", "read \"%s\" back from the caller",
                   Visible(ReadUntil(port, answer, 3s)).c_str());
    timeline.Print("host", "stays quiet for the modem's escape guard time");
    Sleep(700);
    timeline.Print("host", "DropCall() ...");
    hr = line->DropCall();
    timeline.Print("host", "DropCall returned %s", HrText(hr).c_str());
    if (!call.WaitFor(&CallState::disconnects, 3, 10s)) {
        std::fprintf(stderr, "tarvik demo: the answered call did not end\n");
        return 1;
    }
    LONG answeredCause = call.Get(&CallState::cause);
    timeline.Print("host", "CloseLine() returned %s", HrText(line->CloseLine()).c_str());

    // 3b. Refused: another caller, turned away.
    if (auto cid = sim::CallerId::Parse("DATE=1206,TIME=1131,CALR=5559876,NAME=BOB UNWANTED"))
        modem.SetCallerId(*cid, sim::CallerIdFormat::Spaced);
    if (!openForCalls() || !ringUntilOffered(2))
        return 1;
    timeline.Print("host", "AnswerCall(0) ...");
    hr = line->AnswerCall(0);
    timeline.Print("host", "AnswerCall(0) returned %s: the call is refused", HrText(hr).c_str());
    // A refused caller gives up after a while; the simulated one at once.
    timeline.Print("host", "the caller gives up");
    modem.DropCarrier();

    timeline.Print("host", "CloseLine() returned %s", HrText(line->CloseLine()).c_str());
    timeline.Print("host", "Shutdown() returned %s", HrText(line->Shutdown()).c_str());
    modem.Stop();
    std::printf(
        "\nDone: one call connected, carried data and was dropped (cause %d), one "
        "number was busy (cause %d),\none incoming call was answered%s and dropped (cause %d), "
        "one was refused (%s).\n",
        dropCause, busyCause, incomingFlag == 1 ? "" : " (but not seen as incoming)", answeredCause,
        HrText(hr).c_str());
    return dropCause == DISCONNECT_NORMAL && busyCause == DISCONNECT_BUSY && incomingFlag == 1 &&
                   answeredCause == DISCONNECT_NORMAL && SUCCEEDED(hr)
               ? 0
               : 1;
}

#else

int RunDemo(int, char**) {
    std::fprintf(stderr, "tarvik demo: this build has no modem simulator\n");
    return 1;
}

#endif

tarvik::cli::Command demo{"demo", "whole calls, out and in, on a built-in simulated modem",
                          &RunDemo};

}  // namespace

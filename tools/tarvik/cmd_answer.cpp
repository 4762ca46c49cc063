// tarvik answer: wait for calls on a modem, show each ring, the caller ID and
// the connect, answer (or refuse), and bridge the data call to standard input
// and output until either side ends it. Without --port the calls come from a
// simulated modem that rings with caller ID, so the flow can be seen at once.
//
// Status lines go to standard error; standard output carries only the data
// the remote side sends.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "HostKit.h"
#include "tarvik/results.h"
#include "tarvik/serial.h"
#include "tarvik/sync.h"

#ifdef TARVIK_HAVE_MODEMSIM
#include "modemsim/DeviceLink.h"
#include "modemsim/Modem.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kUsage =
    "tarvik answer [--port COMn] [--rings N] [--caller-id] [--mode standard|smart|kvr]\n"
    "                     [--refuse] [--init TEXT] [--once | --calls N]\n"
    "  Without --port a simulated modem rings with caller ID (and --caller-id is on).\n"
    "  --rings: rings before a call is offered (default 3 with caller ID, else 1; caller ID\n"
    "  is reported at the third ring). Data typed on standard input goes to the caller;\n"
    "  end of input drops the call.";

std::atomic<bool> g_interrupted{false};
std::atomic<int> g_rings{0};  // RINGs counted for the call now ringing

void OnInterrupt(int) {
    g_interrupted = true;
}

std::mutex g_printLock;
void Status(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Status(const char* format, ...) {
    std::lock_guard lock(g_printLock);
    std::fputs("tarvik: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

struct Options {
    std::string port;
    int rings = -1;
    bool callerId = false;
    std::string mode = "standard";
    bool refuse = false;
    std::string init = "ATZ";
    int calls = 0;  // 0: until interrupted
};

std::optional<Options> Parse(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string* {
            return i + 1 < args.size() ? &args[++i] : nullptr;
        };
        if (a == "--port") {
            auto v = value();
            if (!v)
                return std::nullopt;
            o.port = *v;
        } else if (a == "--rings" || a == "--calls") {
            auto v = value();
            if (!v)
                return std::nullopt;
            char* end = nullptr;
            long n = std::strtol(v->c_str(), &end, 10);
            if (*end || n < 0 || n > 1000)
                return std::nullopt;
            (a == "--rings" ? o.rings : o.calls) = static_cast<int>(n);
        } else if (a == "--caller-id") {
            o.callerId = true;
        } else if (a == "--mode") {
            auto v = value();
            if (!v || (*v != "standard" && *v != "smart" && *v != "kvr"))
                return std::nullopt;
            o.mode = *v;
        } else if (a == "--refuse") {
            o.refuse = true;
        } else if (a == "--init") {
            auto v = value();
            if (!v)
                return std::nullopt;
            o.init = *v;
        } else if (a == "--once") {
            o.calls = 1;
        } else {
            return std::nullopt;
        }
    }
    return o;
}

// What the line's callbacks tell the command's main thread.
struct CallEvents {
    enum Kind { Offered, Connected, Disconnected, Fatal };
    struct Event {
        Kind kind;
        LONG value;
    };

    void Push(Kind kind, LONG value = 0) {
        {
            std::lock_guard lock(mu);
            queue.push_back({kind, value});
        }
        cv.notify_all();
    }
    // The next event, or nothing after `timeout` or an interrupt.
    std::optional<Event> Next(Clock::duration timeout) {
        std::unique_lock lock(mu);
        auto until = Clock::now() + timeout;
        while (queue.empty()) {
            // Woken a few times a second to notice Ctrl-C.
            if (g_interrupted || cv.wait_for(lock, 250ms) == std::cv_status::timeout) {
                if (g_interrupted || Clock::now() >= until)
                    return std::nullopt;
            }
        }
        Event e = queue.front();
        queue.pop_front();
        return e;
    }
    // The next event of `kind`; others are dropped.
    std::optional<Event> NextOf(Kind kind, Clock::duration timeout) {
        auto until = Clock::now() + timeout;
        while (auto e = Next(until - Clock::now())) {
            if (e->kind == kind)
                return e;
        }
        return std::nullopt;
    }

    std::mutex mu;
    std::condition_variable cv;
    std::deque<Event> queue;
};

enum class CallEnd { Local, Remote };

// Copies between the host's terminal and the data call until the remote side
// hangs up (its modem reports NO CARRIER, or the port fails) or local input
// ends. After end of input the call stays up until the line has been quiet
// long enough for the modem to take the escape that DropCall sends.
CallEnd Bridge(int port, bool* stdinOpen) {
    constexpr auto kQuietBeforeDrop = 1100ms;  // above a modem's usual 1 s guard time
    std::string tail;
    auto lastSent = Clock::now();
    while (!g_interrupted) {
        pollfd fds[2] = {{port, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = *stdinOpen ? 2 : 1;
        int timeout = 250;
        if (!*stdinOpen) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                kQuietBeforeDrop - (Clock::now() - lastSent));
            if (left <= 0ms)
                return CallEnd::Local;
            timeout = static_cast<int>(std::min<long long>(left.count(), 250));
        }
        int n = poll(fds, count, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return CallEnd::Remote;
        }
        if (fds[0].revents & POLLIN) {
            char buffer[512];
            ssize_t got = read(port, buffer, sizeof buffer);
            if (got <= 0)
                return CallEnd::Remote;
            fwrite(buffer, 1, static_cast<size_t>(got), stdout);
            fflush(stdout);
            tail.append(buffer, static_cast<size_t>(got));
            if (tail.find("NO CARRIER") != std::string::npos)
                return CallEnd::Remote;
            if (tail.size() > 16)
                tail.erase(0, tail.size() - 16);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            return CallEnd::Remote;
        }
        if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[512];
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) {
                *stdinOpen = false;
                continue;
            }
            for (ssize_t off = 0; off < got;) {
                pollfd out{port, POLLOUT, 0};
                if (poll(&out, 1, 1000) <= 0)
                    return CallEnd::Remote;
                ssize_t put = write(port, buffer + off, static_cast<size_t>(got - off));
                if (put < 0 && errno != EAGAIN && errno != EINTR)
                    return CallEnd::Remote;
                if (put > 0)
                    off += put;
            }
            lastSent = Clock::now();
        }
    }
    return CallEnd::Local;
}

#ifdef TARVIK_HAVE_MODEMSIM
// A COM name with no entry in the device map, for the simulated modem.
std::string FreePortName() {
    auto entries = tarvik::ListDeviceMap();
    for (int n = 200; n <= 255; ++n) {
        std::string name = "COM" + std::to_string(n);
        bool taken = false;
        for (const auto& e : entries)
            taken = taken || strcasecmp(e.name.c_str(), name.c_str()) == 0;
        if (!taken)
            return name;
    }
    return {};
}

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

int RunAnswer(const std::vector<std::string>& args) {
    auto parsed = Parse(args);
    if (!parsed) {
        std::fprintf(stderr, "usage: %s\n", kUsage);
        return 2;
    }
    Options opt = *parsed;
    const bool simulated = opt.port.empty();

#ifdef TARVIK_HAVE_MODEMSIM
    std::unique_ptr<tarvik::modemsim::Modem> sim;
    tarvik::modemsim::DeviceLink link;
    if (simulated) {
        opt.callerId = true;
        tarvik::modemsim::ModemOptions simOptions;
        simOptions.ringCadence = 2000ms;
        simOptions.answerDelay = 500ms;
        if (auto cid = tarvik::modemsim::CallerId::Parse(TodaysCallerId()))
            simOptions.callerId = *cid;
        // "ATD" answers a call on lines set up for it; the simulated caller
        // connects to whatever dials.
        simOptions.defaultOutcome = tarvik::modemsim::DialOutcome::Connect("9600", 500ms);
        sim = std::make_unique<tarvik::modemsim::Modem>(simOptions);
        std::string error;
        if (!sim->Start(&error)) {
            std::fprintf(stderr, "tarvik answer: cannot start the simulated modem: %s\n",
                         error.c_str());
            return 1;
        }
        opt.port = FreePortName();
        if (opt.port.empty() || !link.Create(opt.port, sim->SlavePath(), &error)) {
            std::fprintf(stderr, "tarvik answer: cannot map a port to the simulated modem: %s\n",
                         error.c_str());
            return 1;
        }
        Status("simulated modem on %s (%s)", opt.port.c_str(), sim->SlavePath().c_str());
    }
#else
    if (simulated) {
        std::fprintf(stderr, "tarvik answer: built without the simulator; give --port COMn\n");
        return 2;
    }
#endif
    if (opt.rings < 0)
        opt.rings = opt.callerId ? 3 : 1;

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::string error;
    if (!tarvik::cli::EnsureClasses(&error)) {
        std::fprintf(stderr, "tarvik answer: %s\n", error.c_str());
        return 1;
    }
    // Shared with the callbacks: an event thread of the line may still be
    // finishing a callback when this function returns.
    auto events = std::make_shared<CallEvents>();
    tarvik::cli::EventTap tap({
        [](LONG code, const std::string& data, const std::string& source) {
            if (code == 1000)
                Status("caller ID on %s: %s", source.c_str(), data.c_str());
            else
                Status("%s", data.c_str());
        },
        [](const std::string&, const std::string& message) {
            if (message == "MODEM_CALL_OFFERING : Received RING")
                Status("ring %d", ++g_rings);
        },
    });

    // The line lives in its own scope: it closes before the simulated modem
    // and the device-map link go.
    int result = 0;
    {
        tarvik::cli::HostLine line;
        tarvik::cli::LineHandlers handlers;
        handlers.offering = [events] { events->Push(CallEvents::Offered); };
        handlers.connected = [events](LONG incoming, LONG handle) {
            Status("connected (%s call)", incoming ? "incoming" : "outgoing");
            events->Push(CallEvents::Connected, handle);
        };
        handlers.disconnected = [events](LONG cause) {
            events->Push(CallEvents::Disconnected, cause);
        };
        handlers.fatal = [events](LONG cause, LONG err, LONG) {
            Status("the modem reported a fatal error (%ld, %ld)", static_cast<long>(cause),
                   static_cast<long>(err));
            events->Push(CallEvents::Fatal);
        };
        if (!line.Create(opt.port, handlers, &error)) {
            std::fprintf(stderr, "tarvik answer: %s\n", error.c_str());
            return 1;
        }
        auto open = [&]() {
            auto settings = tarvik::cli::NewBag();
            if (!settings)
                return false;
            tarvik::cli::SetField(settings.Get(), u"NumRingsAnswer",
                                  tarvik::Variant(LONG{opt.rings}));
            tarvik::cli::SetField(settings.Get(), u"CallerIDEnabled",
                                  tarvik::Variant(LONG{opt.callerId ? 1 : 0}));
            tarvik::cli::SetField(settings.Get(), u"KVRIncoming",
                                  tarvik::Variant(LONG{opt.mode == "kvr" ? 1 : 0}));
            tarvik::cli::SetField(settings.Get(), u"AnsweringMode",
                                  tarvik::Variant(LONG{opt.mode == "smart" ? 1 : 0}));
            if (FAILED(line.Open(opt.init, settings.Get(), &error))) {
                std::fprintf(stderr, "tarvik answer: %s\n", error.c_str());
                return false;
            }
            return true;
        };
        if (!open())
            return 1;

        bool stdinOpen = true;
        int handled = 0;
        while (!g_interrupted && (opt.calls == 0 || handled < opt.calls)) {
            g_rings = 0;
            Status("waiting for a call on %s", opt.port.c_str());
#ifdef TARVIK_HAVE_MODEMSIM
            if (sim)
                sim->Ring();
#endif
            if (!events->NextOf(CallEvents::Offered, std::chrono::hours(24 * 365)))
                break;
            ++handled;
            Status("call offered");
            if (opt.refuse) {
                if (FAILED(line.Line()->AnswerCall(0)))
                    Status("refusing failed: %s", tarvik::cli::TakeErrorText().c_str());
                else
                    Status("call refused");
#ifdef TARVIK_HAVE_MODEMSIM
                // The simulated caller gives up once refused.
                if (sim)
                    sim->DropCarrier();
#endif
                continue;
            }
            Status("answering (%s)", opt.mode.c_str());
            if (FAILED(line.Line()->AnswerCall(1))) {
                Status("answering failed (LastError %ld)", static_cast<long>(line.LastError()));
                result = 1;
                continue;
            }
            if (line.LastError() == 15)
                Status("the modem is not responding");
            auto next = events->Next(60s);
            if (!next || next->kind != CallEvents::Connected) {
                if (next && next->kind == CallEvents::Disconnected)
                    Status("the call ended before it connected (cause %ld)",
                           static_cast<long>(next->value));
                else
                    Status("no connection");
                line.Line()->DropCall();
                result = 1;
                continue;
            }
            const CallEnd end = Bridge(static_cast<int>(next->value), &stdinOpen);
            if (end == CallEnd::Remote) {
                // The port is the host's until it says it has finished.
                Status("the caller hung up");
                tarvik::SignalNamedEvent("Tarvik");
            } else {
                Status("dropping the call");
                if (FAILED(line.Line()->DropCall()))
                    Status("drop failed (LastError %ld)", static_cast<long>(line.LastError()));
            }
            if (auto down = events->NextOf(CallEvents::Disconnected, 30s))
                Status("call ended (cause %ld)", static_cast<long>(down->value));
            else
                Status("the line did not report the end of the call");
            // Caller ID is reported once per opening: reopen for the next call.
            if (opt.callerId && (opt.calls == 0 || handled < opt.calls)) {
                line.Line()->CloseLine();
                if (!open())
                    return 1;
            }
        }
    }
    return g_interrupted ? 130 : result;
}

tarvik::cli::Command reg{"answer", "wait for calls, answer them and bridge the data", kUsage,
                         &RunAnswer};

}  // namespace

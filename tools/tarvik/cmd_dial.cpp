// tarvik dial: places one data call through a real modem (or, with no port, a
// simulated one whose remote side sends back what it gets) and bridges the
// connected call to standard input and output until input ends or the remote
// side hangs up. Messages go to standard error, so standard output carries
// only the call's data.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

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

constexpr const char* kUsage =
    "tarvik dial [--port COMn] --number NUMBER [--init TEXT] [--pulse] [--access-code CODE]\n"
    "  --port COMn         the modem's port (see 'tarvik ports'); without it a simulated\n"
    "                      modem answers every number and sends back what it gets\n"
    "  --number NUMBER     the number to dial\n"
    "  --init TEXT         the modem's initialisation command (default ATZ)\n"
    "  --pulse             pulse dialling (default tone)\n"
    "  --access-code CODE  dialled right after the number\n"
    "Standard input goes to the remote side and what it sends comes out on standard\n"
    "output; the call is dropped at the end of input.";

struct Options {
    std::string port;
    std::string number;
    std::string init = "ATZ";
    std::string accessCode;
    bool pulse = false;
};

bool Parse(const std::vector<std::string>& args, Options* o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        if (a == "--port") {
            if (!value(&o->port))
                return false;
        } else if (a == "--number") {
            if (!value(&o->number))
                return false;
        } else if (a == "--init") {
            if (!value(&o->init))
                return false;
        } else if (a == "--access-code") {
            if (!value(&o->accessCode))
                return false;
        } else if (a == "--pulse") {
            o->pulse = true;
        } else {
            return false;
        }
    }
    return !o->number.empty();
}

const char* CauseName(LONG cause) {
    switch (cause) {
        case DISCONNECT_BUSY:
            return "the number is busy";
        case DISCONNECT_NORMAL:
            return "hung up";
        case DISCONNECT_NO_CONNECTION:
            return "no connection";
        case DISCONNECT_CARRIER_LOST:
            return "the remote side hung up";
        case DISCONNECT_NO_DIALTONE:
            return "no dial tone";
        default:
            return "the call ended";
    }
}

struct CallState {
    std::mutex mu;
    std::condition_variable changed;
    bool connected = false;
    bool ended = false;
    LONG handle = -1;
    LONG cause = 0;
};

// Copies standard input to the call and the call to standard output. Returns
// true when the remote side ended the call, false at the end of input.
bool Bridge(int port, CallState& call) {
    std::string recent;  // the tail of what came in, to spot NO CARRIER
    bool inputOpen = true;
    Clock::time_point inputEnded{};
    for (;;) {
        {
            std::lock_guard lock(call.mu);
            if (call.ended)
                return true;
        }
        pollfd fds[2] = {{port, POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
        int ready = poll(fds, 2, 200);
        if (ready < 0)
            return false;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[512];
            ssize_t n = read(port, buffer, sizeof buffer);
            if (n <= 0)
                return true;  // the device went away
            (void)!write(1, buffer, static_cast<size_t>(n));
            recent.append(buffer, static_cast<size_t>(n));
            if (recent.find("NO CARRIER") != std::string::npos)
                return true;
            if (recent.size() > 64)
                recent.erase(0, recent.size() - 64);
        }
        if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[512];
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) {
                inputOpen = false;
                inputEnded = Clock::now();
            } else if (write(port, buffer, static_cast<size_t>(n)) != n) {
                return true;
            }
        }
        // After the end of input, a moment for the remote side's last words.
        if (!inputOpen && Clock::now() - inputEnded > 1s)
            return false;
    }
}

int RunDial(const std::vector<std::string>& args) {
    Options o;
    if (!Parse(args, &o)) {
        std::fprintf(stderr, "usage: %s\n", kUsage);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string error;

#ifdef TARVIK_HAVE_MODEMSIM
    // Without a port: a simulated modem, mapped in a private device map.
    std::filesystem::path sandbox;
    std::unique_ptr<tarvik::modemsim::Modem> modem;
    tarvik::modemsim::DeviceLink link;
    if (o.port.empty()) {
        char pattern[] = "/tmp/tarvik-dial-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("tarvik dial: cannot make a temporary folder");
            return 1;
        }
        sandbox = pattern;
        setenv("TARVIK_DOSDEVICES", sandbox.c_str(), 1);
        tarvik::modemsim::ModemOptions options;
        options.defaultOutcome = tarvik::modemsim::DialOutcome::Connect("9600", 500ms);
        options.registers[12] = 10;  // escape guard time 0.2 s
        modem = std::make_unique<tarvik::modemsim::Modem>(options);
        if (!modem->Start(&error) || !link.Create("COM1", modem->SlavePath(), &error)) {
            std::fprintf(stderr, "tarvik dial: cannot start the simulated modem: %s\n",
                         error.c_str());
            return 1;
        }
        o.port = "COM1";
        std::fprintf(stderr, "tarvik dial: no port given, using a simulated modem\n");
    }
    struct Cleanup {
        std::filesystem::path& dir;
        ~Cleanup() {
            std::error_code ec;
            if (!dir.empty())
                std::filesystem::remove_all(dir, ec);
        }
    } cleanup{sandbox};
#else
    if (o.port.empty()) {
        std::fprintf(stderr, "tarvik dial: --port is needed (this build has no simulator)\n");
        return 2;
    }
#endif

    if (!tarvik::cli::EnsureClasses(&error)) {
        std::fprintf(stderr, "tarvik dial: %s\n", error.c_str());
        return 1;
    }
    CallState call;
    tarvik::cli::LineHandlers handlers;
    handlers.connected = [&](LONG, LONG handle) {
        std::lock_guard lock(call.mu);
        call.connected = true;
        call.handle = handle;
        call.changed.notify_all();
    };
    handlers.disconnected = [&](LONG cause) {
        std::lock_guard lock(call.mu);
        call.ended = true;
        call.cause = cause;
        call.changed.notify_all();
    };
    handlers.fatal = [&](LONG, LONG, LONG) {
        std::fprintf(stderr, "tarvik dial: the modem reported a fatal error\n");
    };
    tarvik::cli::HostLine host;
    if (!host.Create(o.port, std::move(handlers), &error)) {
        std::fprintf(stderr, "tarvik dial: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "tarvik dial: initialising the modem on %s with %s\n", o.port.c_str(),
                 o.init.c_str());
    if (FAILED(host.Open(o.init, nullptr, &error))) {
        switch (host.LastError()) {
            case 3:
                std::fprintf(stderr,
                             "tarvik dial: cannot open %s: it does not exist or another program "
                             "is using it ('tarvik ports' lists the port names)\n",
                             o.port.c_str());
                break;
            case 4:
                std::fprintf(stderr, "tarvik dial: %s opened but could not be set up\n",
                             o.port.c_str());
                break;
            case 5:
                std::fprintf(stderr,
                             "tarvik dial: the modem on %s does not answer %s (is it switched "
                             "on and connected?)\n",
                             o.port.c_str(), o.init.c_str());
                break;
            default:
                std::fprintf(stderr, "tarvik dial: %s\n", error.c_str());
        }
        return 1;
    }

    auto bag = tarvik::cli::NewBag();
    tarvik::cli::SetField(bag.Get(), u"PhoneNumber", tarvik::Variant::AnsiString(o.number));
    tarvik::cli::SetField(bag.Get(), u"DialType", tarvik::Variant::Bool(o.pulse));
    if (!o.accessCode.empty())
        tarvik::cli::SetField(bag.Get(), u"PCAccessCode",
                              tarvik::Variant::AnsiString(o.accessCode));
    std::fprintf(stderr, "tarvik dial: dialling %s%s\n", o.number.c_str(),
                 o.pulse ? " (pulse)" : "");
    IModemLine* line = host.Line();
    if (FAILED(line->MakeCall(bag.Get()))) {
        std::fprintf(stderr, "tarvik dial: cannot dial: %s\n",
                     tarvik::cli::TakeErrorText().c_str());
        return 1;
    }

    {
        // The modem itself gives up on an unanswered call (its S7 wait).
        std::unique_lock lock(call.mu);
        if (!call.changed.wait_for(lock, 120s, [&] { return call.connected || call.ended; })) {
            lock.unlock();
            std::fprintf(stderr, "tarvik dial: no answer within 120 s, giving up\n");
            line->DropCall();
            return 1;
        }
        if (!call.connected) {
            std::fprintf(stderr, "tarvik dial: %s (cause %d)\n", CauseName(call.cause), call.cause);
            return 1;
        }
    }
    LONG handle;
    {
        std::lock_guard lock(call.mu);
        handle = call.handle;
    }
    std::fprintf(stderr, "tarvik dial: connected; end of input drops the call\n");
    bool remoteEnded = Bridge(handle, call);
    if (remoteEnded) {
        // Tell the line the port is free again; it ends the call.
        tarvik::SignalNamedEvent("Tarvik");
    } else {
        // The modem needs a quiet moment before "+++" counts as an escape.
        std::fprintf(stderr, "tarvik dial: hanging up\n");
        Sleep(1100);
        if (FAILED(line->DropCall()))
            std::fprintf(stderr, "tarvik dial: the modem did not hang up cleanly: %s\n",
                         tarvik::cli::TakeErrorText().c_str());
    }
    std::unique_lock lock(call.mu);
    call.changed.wait_for(lock, 10s, [&] { return call.ended; });
    if (call.ended)
        std::fprintf(stderr, "tarvik dial: %s (cause %d)\n", CauseName(call.cause), call.cause);
    return call.ended ? 0 : 1;
}

tarvik::cli::Command dial{"dial", "place a data call and bridge it to standard input and output",
                          kUsage, &RunDial};

}  // namespace

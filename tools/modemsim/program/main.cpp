// tarvik-modemsim: one simulated Hayes modem on a pseudo-terminal, driven by
// a person or a script through stdin commands. See Options.cpp for usage
// (or run it with --help).
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Options.h"
#include "modemsim/DeviceLink.h"
#include "modemsim/Modem.h"

namespace tarvik::modemsim::program {
namespace {

// Control characters shown as \r, \n, \xHH so a trace line stays one line.
std::string Visible(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool IsHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The reverse of Visible, for the "send" command.
std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char e = text[++i];
        if (e == 'r') {
            out += '\r';
        } else if (e == 'n') {
            out += '\n';
        } else if (e == 'x' && i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2])) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += e;
        }
    }
    return out;
}

class Tracer : public Observer {
  public:
    Tracer() : start_(Clock::now()) {}
    void OnReceived(std::string_view bytes, Clock::time_point at) override {
        Line(at, "rx", Visible(bytes));
    }
    void OnSent(std::string_view bytes, Clock::time_point at) override {
        Line(at, "tx", Visible(bytes));
    }
    void OnStateChanged(State s) override { Line(Clock::now(), "--", StateName(s)); }

  private:
    void Line(Clock::time_point at, const char* what, const std::string& text) {
        const double secs = std::chrono::duration<double>(at - start_).count();
        std::fprintf(stderr, "%10.3f %s %s\n", secs, what, text.c_str());
    }
    Clock::time_point start_;
};

// Runs one command line; false when it asks to quit.
bool RunCommand(Modem& modem, const std::string& line) {
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    in >> arg;
    auto onOff = [&](const char* name, auto set) {
        if (arg == "on" || arg == "off") {
            set(arg == "on");
        } else {
            std::fprintf(stderr, "%s on|off\n", name);
        }
    };
    if (cmd.empty()) {
    } else if (cmd == "quit" || cmd == "exit") {
        return false;
    } else if (cmd == "ring") {
        int n = 0;
        if (!arg.empty())
            n = std::atoi(arg.c_str());
        modem.Ring(n > 0 ? n : 0);
    } else if (cmd == "drop") {
        modem.DropCarrier();
    } else if (cmd == "vanish") {
        modem.Vanish();
    } else if (cmd == "silent") {
        onOff("silent", [&](bool on) { modem.SetSilent(on); });
    } else if (cmd == "error") {
        onOff("error", [&](bool on) { modem.SetErrorToEverything(on); });
    } else if (cmd == "dtr") {
        if (arg == "low" || arg == "high") {
            modem.SetDtr(arg == "high");
        } else {
            std::fprintf(stderr, "dtr low|high\n");
        }
    } else if (cmd == "send") {
        size_t at = line.find("send");
        std::string text = line.substr(at + 4);
        if (!text.empty() && text[0] == ' ')
            text.erase(0, 1);
        modem.Inject(Unescape(text));
    } else if (cmd == "state") {
        std::printf("%s\n", StateName(modem.GetState()));
        std::fflush(stdout);
    } else {
        std::fprintf(stderr,
                     "unknown command '%s' (ring, drop, vanish, silent, error, dtr, "
                     "send, state, quit)\n",
                     cmd.c_str());
    }
    return true;
}

int Run(const Options& opts) {
    // Signals arrive through a descriptor the main loop polls; blocked before
    // the modem's thread exists, so that thread inherits the mask and never
    // takes them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        std::perror("sigprocmask");
        return 1;
    }
    const int sigfd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigfd < 0) {
        std::perror("signalfd");
        return 1;
    }
    // A reader of our output that goes away must not kill us before we clean up.
    signal(SIGPIPE, SIG_IGN);

    Tracer tracer;
    Modem modem(opts.modem);
    if (opts.log)
        modem.SetObserver(&tracer);
    std::string error;
    if (!modem.Start(&error)) {
        std::fprintf(stderr, "tarvik-modemsim: %s\n", error.c_str());
        close(sigfd);
        return 1;
    }
    DeviceLink link;
    if (!opts.link.empty() && !link.Create(opts.link, modem.SlavePath(), &error)) {
        std::fprintf(stderr, "tarvik-modemsim: %s\n", error.c_str());
        modem.Stop();
        close(sigfd);
        return 1;
    }
    std::printf("%s\n", modem.SlavePath().c_str());
    std::fflush(stdout);
    if (!link.Path().empty())
        std::fprintf(stderr, "tarvik-modemsim: %s -> %s\n", link.Path().c_str(),
                     modem.SlavePath().c_str());

    std::string pending;
    bool reading = opts.commands;
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {reading ? 0 : -1, POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            break;
        if (fds[0].revents & POLLIN)
            break;  // SIGINT, SIGTERM, SIGHUP
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[1024];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0)
                break;  // end of input
            pending.append(buf, static_cast<size_t>(n));
            bool quit = false;
            size_t nl;
            while (!quit && (nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                quit = !RunCommand(modem, line);
            }
            if (quit)
                break;
        }
    }
    modem.Stop();
    link.Remove();
    close(sigfd);
    return 0;
}

}  // namespace
}  // namespace tarvik::modemsim::program

int main(int argc, char** argv) {
    using namespace tarvik::modemsim::program;
    Options opts;
    if (auto done = ParseOptions(argc, argv, opts))
        return *done;
    return Run(opts);
}

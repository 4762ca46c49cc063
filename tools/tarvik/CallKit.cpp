#include "CallKit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Console.h"
#include "ExitCodes.h"
#include "tarvik/serial.h"

namespace tarvik::cli {

// ---- Signals

int SignalFd() {
    static const int fd = [] {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &mask, nullptr);
        signal(SIGPIPE, SIG_IGN);
        return signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    }();
    return fd;
}

int TakeSignal() {
    signalfd_siginfo info{};
    if (read(SignalFd(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
    return 0;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// ---- Line events

CallEvents::CallEvents() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CallEvents::~CallEvents() {
    if (wake_ >= 0)
        close(wake_);
}

void CallEvents::Push(Kind kind, LONG value) {
    {
        std::lock_guard lock(mu_);
        queue_.push_back({kind, value});
    }
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
}

CallEvents::Waited CallEvents::Next(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(mu_);
            if (!queue_.empty()) {
                Waited w{queue_.front()};
                queue_.pop_front();
                return w;
            }
        }
        if (int s = TakeSignal())
            return {std::nullopt, s};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return {};
        pollfd fds[2] = {{wake_, POLLIN, 0}, {SignalFd(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count = 0;
            (void)!read(wake_, &count, sizeof count);
        }
    }
}

// ---- The port

PortSetup::~PortSetup() {
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

bool PortSetup::MakePrivateMap(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvik-run-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        *error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return false;
    }
    folder_ = pattern;
    setenv("TARVIK_DOSDEVICES", folder_.c_str(), 1);
    return true;
}

bool PortSetup::UsePrivate(const std::string& name, const std::string& device, std::string* error) {
    if (!MakePrivateMap(error))
        return false;
    DWORD code = 0;
    if (!AddDeviceMapEntry(name, device, &code)) {
        *error = "cannot map " + name + " to " + device;
        return false;
    }
    name_ = shown_ = name;
    return true;
}

bool PortSetup::Use(const std::string& given, std::string* error) {
    if (!given.empty() && given[0] == '/') {
        // The line opens COM names only; this run's own map gives the path one.
        if (!UsePrivate("COM1", given, error))
            return false;
        shown_ = given;
        return true;
    }
    if (ResolvePortName(given.c_str()).empty()) {
        *error = "'" + given + "' is not a port name (COM1 to COM256) or a device path";
        return false;
    }
    name_ = shown_ = given;
    return true;
}

std::string PortSetup::Device() const {
    // A device-map entry is a link: the device is what it points at.
    const std::string entry = ResolvePortName(name_.c_str());
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry, ec);
    if (ec)
        return entry;
    return target.is_absolute()
               ? target.string()
               : (std::filesystem::path(entry).parent_path() / target).lexically_normal().string();
}

std::string PortSetup::Described() const {
    const std::string device = Device();
    if (shown_ == device || device.empty())
        return shown_;
    return shown_ + " (" + device + ")";
}

std::string DeviceProblem(const std::string& device) {
    auto words = [](int error) -> std::string {
        switch (error) {
            case ENOENT:
            case ENXIO:
            case ENODEV:
            case ENOTDIR:
                return "no such device";
            case EBUSY:
            case EWOULDBLOCK:
                return "is in use by another program";
            case EACCES:
            case EPERM:
                return "permission denied (is this user in the device's group, often "
                       "'dialout'?)";
            default:
                return std::strerror(error);
        }
    };
    struct stat st {};
    if (stat(device.c_str(), &st) != 0)
        return words(errno);
    if (!S_ISCHR(st.st_mode))
        return "is not a serial device";
    // Opened the way the line opens it: a holder of TIOCEXCL answers EBUSY,
    // one of the advisory lock EWOULDBLOCK.
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return words(errno);
    const int locked = flock(fd, LOCK_EX | LOCK_NB);
    const int lockError = errno;
    close(fd);
    if (locked != 0)
        return words(lockError);
    return "cannot be opened as a serial port";
}

Failure OpenFailure(const HostLine& line, const PortSetup& port, const std::string& init,
                    const std::string& detail) {
    switch (line.LastError()) {
        case LINE_ERROR_PORT_CREATE:
            return {port.Described() + ": " + DeviceProblem(port.Device()), kExitPortUnavailable};
        case LINE_ERROR_PORT_OPEN:
            return {port.Described() + ": opened, but could not be set up as a serial port",
                    kExitPortUnavailable};
        case LINE_ERROR_INIT_FAILED:
        case LINE_ERROR_NO_RESPONSE:
            return {"no modem answers on " + port.Described() + ": nothing took '" + init +
                        "' (is it switched on and connected?)",
                    kExitNoModem};
        default:
            return {detail, kExitFailure};
    }
}

std::optional<int> StartCallCommand(const tool::Args& args, const char* program, PortSetup* port) {
    std::string error;
    if (args.Has("port") && !port->Use(args.Value("port"), &error))
        return args.UsageError(error);
#ifndef TARVIK_HAVE_MODEMSIM
    if (!args.Has("port"))
        return args.UsageError("--port is needed (this build has no simulator)");
#endif
    SignalFd();
    Out().Configure(program, args.Has("json"), args.Has("verbose"));
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return std::nullopt;
}

ComPtr<ICommonData> LineSettings(long guardMs) {
    auto bag = NewBag();
    if (bag)
        SetField(bag.Get(), field::EscapeGuardTime, Variant(LONG{static_cast<LONG>(guardMs)}));
    return bag;
}

long RateOf(const std::string& text) {
    size_t at = text.find("CONNECT");
    if (at == std::string::npos)
        return 0;
    at += 7;
    while (at < text.size() && text[at] == ' ')
        ++at;
    long rate = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && rate < 100000000)
        rate = rate * 10 + (text[at++] - '0');
    return rate;
}

// ---- The bridge

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A terminal that reads end of file has been hung up: by a carrier drop, or
// because its device went away, in which case its node is gone as well.
bool DeviceGone(int fd) {
    std::error_code ec;
    const auto node = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
    struct stat st {};
    return !ec && stat(node.c_str(), &st) != 0;
}

}  // namespace

RawTerminal::RawTerminal() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
        return;
    termios raw = saved_;
    cfmakeraw(&raw);
    // Output keeps its newline translation: the remote side's lines still
    // start at the left margin.
    raw.c_oflag |= OPOST | ONLCR;
    // Keys typed ahead are kept: they are meant for the other side.
    active_ = tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    if (active_)
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
}

BridgeEnd Bridge(int port, const RawTerminal& terminal, bool endOnNoCarrier, bool skipLeadingLf) {
    using Clock = std::chrono::steady_clock;
    // After the end of input the remote side's last words are still shown,
    // until it has been quiet this long.
    constexpr auto kLinger = std::chrono::milliseconds(1000);
    std::string tail;  // the end of what came in, to spot NO CARRIER
    bool inputOpen = true;
    bool first = true;
    Clock::time_point lastHeard = Clock::now();
    for (;;) {
        int timeout = -1;
        if (!inputOpen) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                kLinger - (Clock::now() - lastHeard));
            if (left.count() <= 0)
                return {BridgeEnd::InputEnded};
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[3] = {
            {SignalFd(), POLLIN, 0}, {port, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 3, timeout) < 0) {
            if (errno == EINTR)
                continue;
            return {BridgeEnd::DeviceLost};
        }
        if (fds[0].revents & POLLIN) {
            if (int s = TakeSignal())
                return {BridgeEnd::Signal, s};
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[512];
            ssize_t n = read(port, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0 || DeviceGone(port))
                return {BridgeEnd::DeviceLost};
            if (n == 0)
                return {BridgeEnd::RemoteHungUp};  // carrier gone on a line without CLOCAL
            const char* data = buffer;
            size_t size = static_cast<size_t>(n);
            if (first && skipLeadingLf && data[0] == '\n') {
                ++data;
                --size;
            }
            first = false;
            lastHeard = Clock::now();
            if (!WriteAll(STDOUT_FILENO, data, size))
                return {BridgeEnd::InputEnded};
            if (endOnNoCarrier) {
                tail.append(data, size);
                if (tail.find("NO CARRIER") != std::string::npos)
                    return {BridgeEnd::RemoteHungUp};
                if (tail.size() > 16)
                    tail.erase(0, tail.size() - 16);
            }
        }
        if (inputOpen && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[512];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                inputOpen = false;
                lastHeard = Clock::now();
                continue;
            }
            size_t size = static_cast<size_t>(n);
            const void* escape =
                terminal.Active() ? std::memchr(buffer, kEscapeKey, size) : nullptr;
            if (escape)
                size = static_cast<size_t>(static_cast<const char*>(escape) - buffer);
            if (size > 0 && !WriteAll(port, buffer, size))
                return {BridgeEnd::DeviceLost};
            if (escape)
                return {BridgeEnd::EscapeKey};
        }
    }
}

}  // namespace tarvik::cli

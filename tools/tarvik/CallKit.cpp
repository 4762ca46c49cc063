#include "CallKit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

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

// ---- Blocking calls, watched

namespace {

// The private device map of this run, for Abandon (main thread only).
std::string g_privateFolder;

}  // namespace

int RunWatched(const std::function<void()>& work, bool abandon) {
    struct Done {
        std::atomic<bool> finished{false};
        int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    };
    // Shared with the worker: after an abandon the process ends with the
    // worker still running, and nothing it touches is ever freed.
    auto done = std::make_shared<Done>();
    std::thread worker([&work, done] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        work();
        CoUninitialize();
        done->finished = true;
        const uint64_t one = 1;
        (void)!write(done->wake, &one, sizeof one);
    });
    int first = 0;
    while (!done->finished) {
        pollfd fds[2] = {{done->wake, POLLIN, 0}, {SignalFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (const int s = TakeSignal()) {
            if (abandon || first)
                Abandon(s, abandon ? "while the modem initialised" : "before the hang-up ended");
            first = s;
        }
    }
    worker.join();
    close(done->wake);
    return first;
}

void Abandon(int signal, const std::string& phase) {
    RawTerminal::RestoreAny();
    Out().Event("stopped", Json().Add("signal", SignalName(signal)),
                std::string("stopped by ") + SignalName(signal) + " " + phase);
    if (!g_privateFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_privateFolder, ec);
    }
    _exit(ExitForSignal(signal));
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
        g_privateFolder.clear();
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
    g_privateFolder = folder_;
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
    if (!tool::ComPortNumber(given)) {
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

long HolderOf(const std::string& device, const std::string& root) {
    std::error_code ec;
    for (const auto& proc : std::filesystem::directory_iterator(root + "/proc", ec)) {
        const std::string pid = proc.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(getpid()))
            continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(proc.path() / "fd", fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError) == device)
                return std::stol(pid);
        }
    }
    return 0;
}

std::string PortProblemBeforeOpening(const std::string& device) {
    struct stat st {};
    if (stat(device.c_str(), &st) != 0)
        return errno == EACCES ? DeviceProblem(device) : "no such device" + std::string(kPortHint);
    if (!S_ISCHR(st.st_mode))
        return "is not a serial device" + std::string(kPortHint);
    if (access(device.c_str(), R_OK | W_OK) != 0)
        return DeviceProblem(device);
    // A program that opened the device without taking its lock (a terminal
    // program, a modem manager) would see every byte of ours and we its. A
    // pseudo-terminal (majors 136 to 143) is the exception: the program at
    // its other end (a simulator) keeps it open to keep it alive.
    const unsigned kind = major(st.st_rdev);
    if (kind >= 136 && kind <= 143)
        return {};
    if (const long pid = HolderOf(device))
        return "is in use by another program (process " + std::to_string(pid) + ")";
    return {};
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

std::optional<long> BaudOption(const tool::Args& args) {
    const auto baud = args.Integer("baud", 110, 256000, kDefaultBaud);
    if (baud && !IsStandardBaudRate(static_cast<LONG>(*baud))) {
        args.UsageError(
            "--baud takes a standard rate (110, 300, 600, 1200, 2400, 4800, 9600, "
            "14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000), not " +
            std::to_string(*baud));
        return std::nullopt;
    }
    return baud;
}

std::optional<int> StartCallCommand(const tool::Args& args, const char* program, PortSetup* port,
                                    long* baud) {
    std::string error;
    const auto rate = BaudOption(args);
    if (!rate)
        return kExitUsage;
    *baud = *rate;
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

ComPtr<ICommonData> LineSettings(long baud, long guardMs) {
    auto bag = MakeBag();
    if (bag) {
        SetField(bag.Get(), field::BaudRate, Variant(LONG{static_cast<LONG>(baud)}));
        SetField(bag.Get(), field::EscapeGuardTime, Variant(LONG{static_cast<LONG>(guardMs)}));
    }
    return bag;
}

std::optional<int> OpenWatched(HostLine& line, const PortSetup& port, const std::string& init,
                               ICommonData* settings) {
    HRESULT hr = E_FAIL;
    std::string error;
    RunWatched([&] { hr = line.Open(init, settings, &error); }, true);
    if (SUCCEEDED(hr))
        return std::nullopt;
    Failure f = OpenFailure(line, port, init, error);
    return Out().Fail(f.message, f.exitCode);
}

ConnectWait AwaitConnection(CallEvents& events, std::chrono::seconds limit) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kProgressEvery = std::chrono::seconds(5);
    const auto started = Clock::now();
    const auto deadline = started + limit;
    // Progress lines are due at fixed marks; each is said once, whatever
    // wakes the wait in between.
    long said = 0;
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return {ConnectWait::TimedOut};
        const auto mark = started + kProgressEvery * (said + 1);
        const auto until = std::min(mark, deadline);
        const auto w = events.Next(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        if (w.signal)
            return {ConnectWait::Signal, 0, w.signal};
        if (w.event) {
            switch (w.event->kind) {
                case CallEvents::Connected:
                    return {ConnectWait::Connected, w.event->value};
                case CallEvents::Disconnected:
                    return {ConnectWait::Ended, w.event->value};
                case CallEvents::Fatal:
                    return {ConnectWait::DeviceLost};
                case CallEvents::Offered:
                    continue;
            }
        }
        if (Clock::now() >= mark && mark < deadline) {
            ++said;
            const long seconds =
                std::chrono::duration_cast<std::chrono::seconds>(kProgressEvery * said).count();
            Out().Event("waiting", Json().Add("elapsed", seconds),
                        "still waiting for the connection (" + std::to_string(seconds) + " s)");
        }
    }
}

void AwaitEnd(CallEvents& events, bool connected, bool shown) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        auto w = events.Next(std::chrono::milliseconds(500));
        if (w.signal)
            Abandon(w.signal, "before the hang-up ended");
        if (w.event && w.event->kind == CallEvents::Fatal)
            break;  // the port failed: no end of call will follow
        if (!w.event || w.event->kind != CallEvents::Disconnected)
            continue;
        const LONG cause = w.event->value;
        // A call that never connected ends as the hang-up made it end, whatever
        // the modem said when the dial or answer was cut short.
        const std::string reason = connected ? CauseText(cause) : "stopped before it connected";
        if (shown)
            Out().Event("disconnected",
                        Json().Add("cause", static_cast<long>(cause)).Add("reason", reason),
                        "call ended: " + reason);
        return;
    }
    if (shown)
        Out().Say("the line did not report the end of the call");
}

void HangUp(IModemLine* line, CallEvents& events, const std::string& why, bool connected) {
    Out().Event("hanging-up", Json().Add("reason", why), "hanging up (" + why + ")");
    HRESULT hr = S_OK;
    std::string error;
    const int signal = RunWatched(
        [&] {
            hr = line->DropCall();
            if (FAILED(hr))
                error = TakeErrorText();
        },
        false);
    if (signal)
        Abandon(signal, "before the hang-up ended");
    // A modem that did not answer the hang-up as expected may still have
    // ended the call: only an end the line never reports is worth a word.
    if (FAILED(hr) && Out().Verbose())
        Out().Say("the hang-up did not go as the modem should answer it: " + error);
    AwaitEnd(events, connected);
}

std::string DialResultText(LONG cause, const std::string& code) {
    if (cause != DISCONNECT_NO_CONNECTION)
        return CauseText(cause);
    if (code == "NO ANSWER")
        return "no answer (NO ANSWER)";
    if (code == "DELAYED")
        return "the modem will not dial this number again yet (DELAYED)";
    if (code == "BLACKLISTED")
        return "the modem has blacklisted this number (BLACKLISTED)";
    if (code == "NO CARRIER")
        return "no answer (NO CARRIER)";
    return CauseText(cause);
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

namespace {
// The settings to put back when the run is abandoned with a terminal in raw
// mode (main thread only).
std::optional<termios> g_rawSaved;
}  // namespace

void RawTerminal::RestoreAny() {
    if (g_rawSaved)
        tcsetattr(STDIN_FILENO, TCSADRAIN, &*g_rawSaved);
}

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
    if (active_)
        g_rawSaved = saved_;
}

RawTerminal::~RawTerminal() {
    if (active_) {
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
        g_rawSaved.reset();
    }
}

BridgeEnd Bridge(int port, const RawTerminal& terminal, bool endOnNoCarrier, bool skipLeadingLf) {
    using Clock = std::chrono::steady_clock;
    // After the end of input the remote side's last words are still shown,
    // until it has been quiet this long.
    constexpr auto kLinger = std::chrono::milliseconds(1000);
    std::string tail;  // the end of what came in, to spot NO CARRIER and CONNECT
    bool online = false;
    bool inputOpen = true;
    bool first = true;
    Clock::time_point lastHeard = Clock::now();
    for (;;) {
        int timeout = -1;
        if (!inputOpen) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                kLinger - (Clock::now() - lastHeard));
            if (left.count() <= 0)
                return {BridgeEnd::InputEnded, 0, online};
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[3] = {
            {SignalFd(), POLLIN, 0}, {port, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 3, timeout) < 0) {
            if (errno == EINTR)
                continue;
            return {BridgeEnd::DeviceLost, 0, online};
        }
        if (fds[0].revents & POLLIN) {
            if (int s = TakeSignal())
                return {BridgeEnd::Signal, s, online};
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[512];
            ssize_t n = read(port, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0 || DeviceGone(port))
                return {BridgeEnd::DeviceLost, 0, online};
            if (n == 0)
                return {BridgeEnd::RemoteHungUp, 0,
                        online};  // carrier gone on a line without CLOCAL
            const char* data = buffer;
            size_t size = static_cast<size_t>(n);
            if (first && skipLeadingLf && data[0] == '\n') {
                ++data;
                --size;
            }
            first = false;
            lastHeard = Clock::now();
            if (!WriteAll(STDOUT_FILENO, data, size))
                return {BridgeEnd::InputEnded, 0, online};
            tail.append(data, size);
            const size_t connect = tail.rfind("CONNECT"), noCarrier = tail.rfind("NO CARRIER");
            if (endOnNoCarrier && noCarrier != std::string::npos)
                return {BridgeEnd::RemoteHungUp, 0, online};
            if (connect != std::string::npos || noCarrier != std::string::npos)
                online = connect != std::string::npos &&
                         (noCarrier == std::string::npos || connect > noCarrier);
            if (tail.size() > 16)
                tail.erase(0, tail.size() - 16);
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
                return {BridgeEnd::DeviceLost, 0, online};
            if (escape)
                return {BridgeEnd::EscapeKey, 0, online};
        }
    }
}

}  // namespace tarvik::cli

// Lifecycle, the poll loop, device I/O and timers of a simulated modem.
#include "ModemCore.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "ExchangeCore.h"

namespace tarvik::modemsim::detail {

namespace {
// Output the host never reads piles up here; past this the oldest goes, so a
// host that stops reading cannot make the modem grow without bound.
constexpr size_t kMaxPendingOutput = 1 << 20;

std::string Errno(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}
}  // namespace

ModemCore::ModemCore(ModemOptions options) : opts_(std::move(options)) {
    ResetProfile();
}

ModemCore::~ModemCore() {
    // Modem::~Modem stops the thread; this only covers a core that never ran.
    CloseDevice();
    if (wake_ >= 0)
        close(wake_);
}

bool ModemCore::Start(std::string* error) {
    auto fail = [&](std::string why) {
        if (error)
            *error = std::move(why);
        CloseDevice();
        return false;
    };
    {
        std::lock_guard lock(qmu_);
        if (started_)
            return fail("the modem has been started before");
    }
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail(Errno("posix_openpt"));
    if (grantpt(master_) != 0)
        return fail(Errno("grantpt"));
    if (unlockpt(master_) != 0)
        return fail(Errno("unlockpt"));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        return fail(Errno("ptsname_r"));
    slavePath = name;
    // Our own slave descriptor stays open for the modem's life: when the host
    // closes and reopens the port, the master would otherwise see POLLHUP/EIO
    // in between and the loop could not tell that from a vanished device.
    slaveKeep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0)
        return fail(Errno("open slave"));
    // The slave keeps the kernel's default (cooked) settings, as a real serial
    // device starts: making it raw is the host's job, as it is with hardware.
    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail(Errno("fcntl"));
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return fail(Errno("eventfd"));
    {
        std::lock_guard lock(qmu_);
        wake_ = wake;
        started_ = true;
        if (!queue_.empty()) {
            uint64_t one = 1;
            (void)!write(wake_, &one, sizeof one);
        }
    }
    SetState(State::Command);
    lastRx_ = Clock::now();
    thread_ = std::thread(&ModemCore::Loop, this);
    return true;
}

void ModemCore::Stop() {
    std::lock_guard stopLock(stopMu_);
    bool run;
    {
        std::lock_guard lock(qmu_);
        if (stopped_)
            return;
        run = started_;
    }
    if (run) {
        Post([this] {
            HangUp();
            timers_.clear();
            exit_ = true;
        });
        thread_.join();
    }
    {
        std::lock_guard lock(qmu_);
        stopped_ = true;
        queue_.clear();
        if (wake_ >= 0)
            close(wake_);
        wake_ = -1;
    }
    CloseDevice();
    LeaveExchange();
    if (run)
        SetState(State::Stopped);
}

void ModemCore::Post(std::function<void()> task) {
    std::lock_guard lock(qmu_);
    if (stopped_)
        return;
    queue_.push_back(std::move(task));
    if (wake_ >= 0) {
        uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
}

bool ModemCore::JoinExchange(std::shared_ptr<ExchangeCore> exchange, const std::string& number) {
    std::lock_guard lock(exMu_);
    if (exchange_)
        return false;
    if (!exchange->Add(number, weak_from_this()))
        return false;
    exchange_ = std::move(exchange);
    number_ = number;
    return true;
}

std::shared_ptr<ExchangeCore> ModemCore::CurrentExchange(std::string* number) {
    std::lock_guard lock(exMu_);
    if (number)
        *number = number_;
    return exchange_;
}

void ModemCore::LeaveExchange() {
    std::shared_ptr<ExchangeCore> ex;
    std::string number;
    {
        std::lock_guard lock(exMu_);
        ex = std::move(exchange_);
        number = number_;
    }
    if (ex)
        ex->Remove(number, this);
}

void ModemCore::CloseDevice() {
    if (master_ >= 0)
        close(master_);
    if (slaveKeep_ >= 0)
        close(slaveKeep_);
    master_ = slaveKeep_ = -1;
    outBuf_.clear();
    pendingEcho_.clear();
}

void ModemCore::SetState(State s) {
    state.store(s);
    if (observer)
        observer->OnStateChanged(s);
}

// ---- The loop

void ModemCore::Loop() {
    while (!exit_) {
        RunDueTimers();
        if (exit_)
            break;
        pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t n = 1;
        if (master_ >= 0 && !masterDead_) {
            fds[1] = {master_, static_cast<short>(POLLIN | (outBuf_.empty() ? 0 : POLLOUT)), 0};
            n = 2;
        }
        int r = poll(fds, n, NextTimeoutMs());
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;  // nothing sane left to wait on
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(wake_, &count, sizeof count);
            RunTasks();
        }
        // A task may have closed the device (vanish); then fds[1] is stale.
        if (n == 2 && fds[1].fd == master_ && master_ >= 0) {
            short ev = fds[1].revents;
            if (ev & POLLIN)
                ReadMaster();
            if ((ev & POLLOUT) && master_ >= 0)
                FlushOut();
            // Only possible if every slave descriptor, ours included, is gone;
            // stop polling instead of spinning on a condition that stays.
            if ((ev & (POLLHUP | POLLERR | POLLNVAL)) && !(ev & POLLIN))
                masterDead_ = true;
        }
    }
}

void ModemCore::RunTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(qmu_);
        tasks.swap(queue_);
    }
    for (auto& t : tasks) {
        if (exit_)
            break;
        t();
    }
}

void ModemCore::ReadMaster() {
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
        Clock::time_point at = Clock::now();
        std::string_view data(buf, static_cast<size_t>(n));
        if (observer)
            observer->OnReceived(data, at);
        ProcessBytes(data, at);
        FlushEcho();
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        masterDead_ = true;
    }
}

void ModemCore::RawWrite(std::string_view bytes) {
    if (master_ < 0 || bytes.empty())
        return;
    if (observer)
        observer->OnSent(bytes, Clock::now());
    outBuf_.append(bytes);
    if (outBuf_.size() > kMaxPendingOutput)
        outBuf_.erase(0, outBuf_.size() - kMaxPendingOutput);
    FlushOut();
}

void ModemCore::FlushOut() {
    while (!outBuf_.empty() && master_ >= 0) {
        ssize_t n = write(master_, outBuf_.data(), outBuf_.size());
        if (n > 0) {
            outBuf_.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return;  // poll says when there is room
        } else {
            outBuf_.clear();
            return;
        }
    }
}

// Echo is gathered while a read is processed and goes out before anything
// else the modem says, so the host sees "AT\r" ahead of the "OK" it caused.
void ModemCore::FlushEcho() {
    if (pendingEcho_.empty())
        return;
    std::string echo;
    echo.swap(pendingEcho_);
    RawWrite(echo);
}

void ModemCore::Send(std::string_view bytes) {
    if (silent_)
        return;
    FlushEcho();
    RawWrite(bytes);
}

// ---- Timers

uint64_t ModemCore::AddTimerAt(Clock::time_point at, std::function<void()> fn) {
    uint64_t id = ++nextTimer_;
    timers_.emplace(id, Timer{at, std::move(fn)});
    return id;
}

uint64_t ModemCore::AddTimer(std::chrono::nanoseconds delay, std::function<void()> fn) {
    return AddTimerAt(Clock::now() + std::chrono::duration_cast<Clock::duration>(delay),
                      std::move(fn));
}

void ModemCore::CancelTimer(uint64_t& id) {
    if (id)
        timers_.erase(id);
    id = 0;
}

void ModemCore::RunDueTimers() {
    for (;;) {
        if (exit_ || timers_.empty())
            return;
        auto next = std::min_element(timers_.begin(), timers_.end(), [](auto& a, auto& b) {
            return a.second.at < b.second.at || (a.second.at == b.second.at && a.first < b.first);
        });
        if (next->second.at > Clock::now())
            return;
        auto fn = std::move(next->second.fn);
        timers_.erase(next);
        fn();
        FlushEcho();
    }
}

int ModemCore::NextTimeoutMs() const {
    if (timers_.empty())
        return -1;
    auto earliest = timers_.begin()->second.at;
    for (auto& [id, t] : timers_)
        earliest = std::min(earliest, t.at);
    auto left = earliest - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Rounded up: waking a little late is harmless, waking early would spin.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace tarvik::modemsim::detail

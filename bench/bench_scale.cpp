// A bank of modems in one host process: N lines, each on a simulated modem of
// its own, opened together, all dialling at once, connected and dropped. It
// reports what the bank costs (descriptors, threads and memory per line, idle
// wake-ups) and how long the bank takes to open, connect and drop, with the
// time from a modem's CONNECT to the host's CallConnected.
//
//   bench_scale N [open-file-limit]
//
// The simulators run in a child process forked before anything else starts,
// so their pseudo-terminals and threads count against neither the limit nor
// the figures: the host process holds only what the lines themselves take.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "line/LineTestKit.h"
#include "modemsim/Modem.h"
#include "tarvik/tarvik.h"

namespace {

using namespace tarvik::test;
using Ms = std::chrono::duration<double, std::milli>;

// ---- The simulators' process

class ConnectReporter : public tarvik::modemsim::Observer {
  public:
    ConnectReporter(int index, int out) : index_(index), out_(out) {}
    // The time the last byte of "CONNECT ...\r\n" went out, however the
    // modem cut its writes.
    void OnSent(std::string_view bytes, tarvik::modemsim::Clock::time_point at) override {
        std::lock_guard lock(mu_);
        pending_ += bytes;
        if (pending_.find('\n') == std::string::npos)
            return;
        bool connect = pending_.find("CONNECT") != std::string::npos;
        pending_.erase(0, pending_.rfind('\n') + 1);
        if (!connect)
            return;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
        std::string line = "C " + std::to_string(index_) + " " + std::to_string(ns.count()) + "\n";
        // One short write: whole lines, never interleaved between modems.
        (void)!write(out_, line.data(), line.size());
    }

  private:
    int index_, out_;
    std::mutex mu_;
    std::string pending_;
};

[[noreturn]] void RunSimulators(int count, int in, int out) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    tarvik::modemsim::ModemOptions options;
    options.echo = false;
    options.registers[12] = 10;  // escape guard time 200 ms
    options.defaultOutcome = tarvik::modemsim::DialOutcome::Connect("9600");
    std::vector<std::unique_ptr<tarvik::modemsim::Modem>> modems;
    std::vector<std::unique_ptr<ConnectReporter>> reporters;
    for (int i = 0; i < count; ++i) {
        modems.push_back(std::make_unique<tarvik::modemsim::Modem>(options));
        reporters.push_back(std::make_unique<ConnectReporter>(i, out));
        modems.back()->SetObserver(reporters.back().get());
        std::string error;
        std::string line = modems.back()->Start(&error) ? "P " + modems.back()->SlavePath() + "\n"
                                                        : "E " + error + "\n";
        (void)!write(out, line.data(), line.size());
    }
    char byte;
    while (read(in, &byte, 1) > 0) {
    }
    _exit(0);
}

// ---- What the host process holds

long StatusField(const std::string& path, const char* field) {
    std::ifstream in(path);
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == field && in >> value)
            return value;
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

long Threads() {
    return StatusField("/proc/self/status", "Threads:");
}
long RssKb() {
    return StatusField("/proc/self/status", "VmRSS:");
}

// Context switches of every thread but the caller's: how often the bank's own
// threads woke.
long WakeUps() {
    long total = 0;
    std::string self = std::to_string(gettid());
    // At the descriptor limit the folder may not open: no figure then.
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        if (e.path().filename() == self)
            continue;
        auto status = (e.path() / "status").string();
        total += StatusField(status, "voluntary_ctxt_switches:") +
                 StatusField(status, "nonvoluntary_ctxt_switches:");
    }
    return total;
}

struct Usage {
    int fds;
    long threads, rssKb;
    static Usage Now() { return {OpenDescriptors(), Threads(), RssKb()}; }
};

void PrintPerLine(const char* what, const Usage& from, const Usage& to, size_t lines) {
    double n = lines ? static_cast<double>(lines) : 1.0;
    std::printf("%-26s %6.2f descriptors  %6.2f threads  %7.1f kB RSS per line\n", what,
                (to.fds - from.fds) / n, static_cast<double>(to.threads - from.threads) / n,
                static_cast<double>(to.rssKb - from.rssKb) / n);
}

// Runs `job(i)` for every i below `count` on `workers` threads at once.
template <typename Job>
void RunAll(size_t count, size_t workers, Job job) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (size_t w = 0; w < std::min(count, workers); ++w) {
        pool.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < count;)
                job(i);
        });
    }
    for (auto& t : pool)
        t.join();
}

// A line as a host holds it: the companions' log writer, a recording
// callback, and modem data that leads to a recording session.
struct BankLine {
    std::string port;
    tarvik::ComPtr<IModemLine> modem;
    tarvik::ComPtr<RecordingLineCallback> host = RecordingLineCallback::Create();
    tarvik::ComPtr<RecordingSession> session = RecordingSession::Create();
    bool Initialize() {
        modem = NewLine();
        auto data =
            Bag({{u"MediaID", LONG{7}},
                 {u"RequestID", LONG{0}},
                 {u"ModemSession_IUnknown",
                  static_cast<IUnknown*>(static_cast<IModemSessionPrivate*>(session.Get()))},
                 {u"COMPortName", tarvik::FromAnsi(port)}});
        return modem && data && modem->Initialize(data.Get(), host.Get()) == S_OK;
    }
    LONG LastError() const {
        LONG value = -1;
        if (modem)
            modem->get_LastError(&value);
        return value;
    }
    bool open = false;
    bool calling = false;
    LONG lastError = 0;
    std::string failure;
};

double Percentile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1,
                      static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4;
    const long limit = argc > 2 ? std::atol(argv[2]) : 0;
    int toSim[2], fromSim[2];
    if (n == 0 || pipe(toSim) != 0 || pipe(fromSim) != 0)
        return 2;
    pid_t sim = fork();
    if (sim == 0) {
        close(toSim[1]);
        close(fromSim[0]);
        RunSimulators(static_cast<int>(n), toSim[0], fromSim[1]);
    }
    close(toSim[0]);
    close(fromSim[1]);
    if (limit > 0) {
        rlimit rl{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            std::perror("setrlimit");
    }
    if (!MakeSandbox("tarvik-bench") || !RegisterLibrary(TARVIK_COMPANIONS_PATH))
        return 2;

    // The simulators' paths first, then CONNECT times as they come.
    FILE* simOut = fdopen(fromSim[0], "r");
    std::vector<std::string> paths;
    std::vector<std::atomic<int64_t>> connectSent(n);
    char buf[512];
    while (paths.size() < n && std::fgets(buf, sizeof buf, simOut)) {
        std::string text(buf);
        if (text.rfind("P ", 0) != 0) {
            std::fprintf(stderr, "simulator: %s", buf);
            return 2;
        }
        paths.push_back(text.substr(2, text.size() - 3));
    }
    std::thread connectReader([&] {
        int index;
        long long ns;
        while (std::fscanf(simOut, " C %d %lld", &index, &ns) == 2)
            if (index >= 0 && static_cast<size_t>(index) < n)
                connectSent[static_cast<size_t>(index)].store(ns);
    });

    const Usage base = Usage::Now();
    std::vector<std::unique_ptr<BankLine>> bank;
    size_t initialised = 0;
    for (size_t i = 0; i < n; ++i) {
        bank.push_back(std::make_unique<BankLine>());
        BankLine& b = *bank.back();
        b.port = "COM" + std::to_string(i + 1);
        // The device map takes any COM number; the simulator's own linker
        // stops at COM255, so the links are made here.
        std::error_code linked;
        std::filesystem::create_symlink(
            paths[i],
            std::filesystem::path(getenv("TARVIK_DOSDEVICES")) / ("com" + std::to_string(i + 1)),
            linked);
        if (linked || !b.Initialize())
            b.failure = "Initialize failed, LastError " + std::to_string(b.LastError());
        else
            ++initialised;
    }
    const Usage afterInit = Usage::Now();

    const size_t workers = n;
    auto t0 = Clock::now();
    RunAll(n, workers, [&](size_t i) {
        BankLine& b = *bank[i];
        if (!b.failure.empty())
            return;
        b.open =
            b.modem->OpenLine(
                Bag({{u"COMPort", tarvik::FromAnsi(b.port)}, {u"ModemSetting", u"ATZ"}}).Get()) ==
            S_OK;
        if (!b.open) {
            b.lastError = b.LastError();
            b.failure = "OpenLine: " + tarvik::ToAnsi(TakeErrorDescription());
        }
    });
    const double openMs = Ms(Clock::now() - t0).count();
    size_t opened = 0;
    for (auto& b : bank)
        opened += b->open;
    const Usage afterOpen = Usage::Now();

    const long wakeStart = WakeUps();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idleWakeUps = static_cast<double>(WakeUps() - wakeStart) / 5.0;

    // Every open line dials at once, from a host thread of its own.
    std::atomic<bool> sampling{true};
    Usage peak = afterOpen;
    std::thread sampler([&] {
        while (sampling.load()) {
            Usage u = Usage::Now();
            peak = {std::max(peak.fds, u.fds), std::max(peak.threads, u.threads),
                    std::max(peak.rssKb, u.rssKb)};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    t0 = Clock::now();
    RunAll(n, workers, [&](size_t i) {
        BankLine& b = *bank[i];
        if (!b.open)
            return;
        b.calling = b.modem->MakeCall(Bag({{u"PhoneNumber", u"5551234"}}).Get()) == S_OK;
        if (!b.calling) {
            b.lastError = b.LastError();
            b.failure = "MakeCall: " + tarvik::ToAnsi(TakeErrorDescription());
            return;
        }
        auto up = b.host->WaitFor(HostEvent::Connected, 30s);
        if (!up) {
            b.failure = "no CallConnected";
            return;
        }
        // The modem's escape guard time (200 ms) of silence before the drop.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (b.modem->DropCall() != S_OK || !b.host->WaitFor(HostEvent::Disconnected, 30s))
            b.failure = "drop failed";
    });
    const double callMs = Ms(Clock::now() - t0).count();
    sampling.store(false);
    sampler.join();

    std::vector<double> latency;
    size_t called = 0, connected = 0, terminal = 0;
    std::map<std::string, int> failures;
    for (size_t i = 0; i < n; ++i) {
        BankLine& b = *bank[i];
        if (!b.failure.empty())
            ++failures[b.failure +
                       (b.lastError ? " (LastError " + std::to_string(b.lastError) + ")" : "")];
        if (!b.calling)
            continue;
        ++called;
        auto events = b.host->Events();
        terminal += std::count_if(events.begin(), events.end(), [](const HostEvent& e) {
                        return e.kind == HostEvent::Connected ||
                               e.kind == HostEvent::Disconnected || e.kind == HostEvent::Fatal;
                    }) > 0;
        for (const auto& e : events) {
            int64_t sent = connectSent[i].load();
            if (e.kind == HostEvent::Connected && sent) {
                ++connected;
                auto at =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(e.at.time_since_epoch());
                latency.push_back(static_cast<double>(at.count() - sent) / 1e6);
            }
        }
    }

    std::printf("bench_scale: %zu lines, open-file limit %s\n", n,
                limit > 0 ? std::to_string(limit).c_str() : "unchanged");
    std::printf(
        "initialised %zu, opened %zu in %.0f ms, %zu called, %zu connected, %zu with a "
        "terminal callback, connect+drop of all in %.0f ms\n",
        initialised, opened, openMs, called, connected, terminal, callMs);
    PrintPerLine("initialised, not open", base, afterInit, initialised);
    PrintPerLine("open", base, afterOpen, opened);
    PrintPerLine("peak while calling", base, peak, called);
    std::printf("peak while calling: %d descriptors, %ld threads, %.1f MB RSS\n", peak.fds,
                peak.threads, static_cast<double>(peak.rssKb) / 1024.0);
    std::printf("idle wake-ups: %.1f per second (all lines open)\n", idleWakeUps);
    std::printf("CONNECT -> CallConnected: p50 %.3f ms  p99 %.3f ms over %zu calls\n",
                Percentile(latency, 0.5), Percentile(latency, 0.99), latency.size());
    for (const auto& [text, count] : failures)
        std::printf("  %4d x %s\n", count, text.c_str());

    RunAll(n, workers, [&](size_t i) {
        if (bank[i]->open)
            bank[i]->modem->CloseLine();
    });
    bank.clear();
    CModemLine::WaitForEventThreads(20000);
    close(toSim[1]);
    connectReader.join();
    waitpid(sim, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(SandboxRoot(), ec);
    return failures.empty() ? 0 : 1;
}

// A bank of lines in a process that runs out of descriptors: every opening
// that fails says why, every call that was accepted ends in exactly one
// terminal callback. Runs in a process of its own, since it lowers the
// process's open-file limit.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

constexpr size_t kLines = 24;
// Descriptors left once every simulator runs: room for some of the lines,
// not all (an open line needs its device and its monitor's wake-up).
constexpr int kHeadroom = 24;

// Runs `job(i)` for every line at once, as a host with a thread per line.
template <typename Job>
void OnEveryLine(size_t count, Job job) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < count; ++i)
        threads.emplace_back([&job, i] { job(i); });
    for (auto& t : threads)
        t.join();
}

// Prints every broken promise and exits non-zero when there was one.
[[noreturn]] void RunBankAtLimit() {
    std::vector<std::unique_ptr<LineHarness>> bank;
    for (size_t i = 0; i < kLines; ++i) {
        bank.push_back(std::make_unique<LineHarness>());
        if (!bank.back()->Start()) {
            std::fprintf(stderr, "line %zu: no simulator\n", i);
            std::_Exit(2);
        }
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + kHeadroom);
    setrlimit(RLIMIT_NOFILE, &limit);

    int problems = 0;
    std::atomic<int> opened{0}, refused{0};
    std::mutex mu;
    auto report = [&](const LineHarness& h, const std::string& what) {
        std::lock_guard lock(mu);
        std::fprintf(stderr, "%s: %s\n", h.port.c_str(), what.c_str());
        ++problems;
    };
    std::vector<char> open(kLines);
    OnEveryLine(kLines, [&](size_t i) {
        LineHarness& h = *bank[i];
        if (h.Open() == S_OK) {
            open[i] = 1;
            ++opened;
            return;
        }
        ++refused;
        std::string why = ToAnsi(TakeErrorDescription());
        if (h.LastError() == 0 || why.find("too many open files") == std::string::npos)
            report(h, "LastError " + std::to_string(h.LastError()) + ", \"" + why + "\"");
    });
    OnEveryLine(kLines, [&](size_t i) {
        LineHarness& h = *bank[i];
        if (!open[i])
            return;
        const size_t before = h.host->Events().size();
        if (h.Dial() != S_OK) {
            if (h.LastError() == 0)
                report(h, "MakeCall failed with LastError 0");
            return;
        }
        // One terminal callback, and no second one after it.
        const auto until = Clock::now() + 15s;
        while (h.host->Events().size() == before && Clock::now() < until)
            Sleep(20);
        Sleep(500);
        auto events = h.host->Events();
        if (events.size() != before + 1)
            report(h, std::to_string(events.size() - before) + " callbacks after MakeCall");
    });
    if (opened == 0 || refused == 0)
        std::fprintf(stderr, "opened %d, refused %d: the limit was not reached\n", opened.load(),
                     refused.load()),
            ++problems;
    std::fflush(stderr);
    std::_Exit(problems == 0 ? 0 : 1);
}

TEST(BankLimit, EveryFailureAtTheDescriptorLimitSaysWhyAndEveryCallEndsOnce) {
#ifdef __SANITIZE_ADDRESS__
    // UBSan's type check reads memory through a pipe of its own, which the
    // lowered limit refuses: it takes every object for a broken one.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunBankAtLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarvik::test

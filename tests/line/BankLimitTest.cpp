// A bank of lines in a process that runs out of descriptors: every opening
// that fails says why, every call that was accepted ends in exactly one
// terminal callback. Runs in a process of its own, since it lowers the
// process's open-file limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "line/LineTestKit.h"

namespace tarvik::test {
namespace {

constexpr size_t kLines = 6;
// Lines that fit under the limit: each open line needs its device and its
// monitor thread's wake-up.
constexpr size_t kFit = 4;

// The open-file limit below which exactly `free` descriptor numbers are
// unused now.
rlim_t LimitLeaving(int free) {
    std::vector<bool> used;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        size_t fd = std::stoul(e.path().filename().string());
        used.resize(std::max(used.size(), fd + 1));
        used[fd] = true;
    }
    // The folder's own descriptor, listed while it was read, is free again.
    rlim_t limit = 0;
    for (--free; free > 0; ++limit)
        free -= limit >= used.size() || !used[limit];
    return limit;
}

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
    // One spare descriptor, given back once the bank is full: the line that
    // then opens has its device but no wake-up for its monitor thread.
    int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = LimitLeaving(2 * kFit);
    setrlimit(RLIMIT_NOFILE, &limit);

    int problems = 0;
    std::mutex mu;
    auto report = [&](const LineHarness& h, const std::string& what) {
        std::lock_guard lock(mu);
        std::fprintf(stderr, "%s: %s\n", h.port.c_str(), what.c_str());
        ++problems;
    };
    // Opened one by one, so which resource runs out is known: the device of
    // the first line that does not fit, the monitor's wake-up of the next.
    std::vector<char> isOpen(kLines);
    std::vector<LONG> codes;
    for (size_t i = 0; i < kLines; ++i) {
        LineHarness& h = *bank[i];
        if (i == kFit + 1)
            close(spare);
        if (h.Open() == S_OK) {
            isOpen[i] = 1;
            continue;
        }
        codes.push_back(h.LastError());
        std::string why = ToAnsi(TakeErrorDescription());
        if (h.LastError() == 0 || why.find("too many open files") == std::string::npos)
            report(h, "LastError " + std::to_string(h.LastError()) + ", \"" + why + "\"");
    }
    if (std::count(isOpen.begin(), isOpen.end(), 1) != kFit || codes.size() != kLines - kFit ||
        codes[0] != 3 || codes[1] != 5)
        std::fprintf(stderr, "not the failures looked for\n"), ++problems;
    OnEveryLine(kLines, [&](size_t i) {
        LineHarness& h = *bank[i];
        if (!isOpen[i])
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

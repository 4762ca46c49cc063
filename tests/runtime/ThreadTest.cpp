#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;

namespace {

struct Job {
    HANDLE go = nullptr;
    HANDLE done = nullptr;  // set as the thread ends
    std::atomic<DWORD> seenId{0};
    DWORD exitCode = 0;
};

DWORD RunJob(void* p) {
    auto* job = static_cast<Job*>(p);
    job->seenId = GetCurrentThreadId();
    if (job->go)
        WaitForSingleObject(job->go, INFINITE);
    if (job->done)
        SetEvent(job->done);
    return job->exitCode;
}

TEST(Thread, HandleIsSignalledAtExitWithTheExitCode) {
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Job job;
    job.go = go.Get();
    job.exitCode = 4242;
    DWORD id = 0;
    UniqueHandle t(CreateThread(nullptr, 0, &RunJob, &job, 0, &id));
    ASSERT_TRUE(t);
    EXPECT_NE(id, 0u);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t.Get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t.Get(), 0), WAIT_TIMEOUT);

    SetEvent(go.Get());
    ASSERT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);
    // Stays signalled: a thread's end is not consumed by a wait.
    EXPECT_EQ(WaitForSingleObject(t.Get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t.Get(), &code));
    EXPECT_EQ(code, 4242u);
    EXPECT_EQ(job.seenId.load(), id);
}

TEST(Thread, ClosingTheHandleEarlyDoesNotDisturbTheThread) {
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Job job;
    job.go = go.Get();
    job.done = done.Get();
    HANDLE t = CreateThread(nullptr, 0, &RunJob, &job, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(go.Get());
    EXPECT_EQ(WaitForSingleObject(done.Get(), 10000), WAIT_OBJECT_0);
}

TEST(Thread, IdsAreUniqueAmongLivingThreadsAndLastErrorIsEachThreadsOwn) {
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<Job> jobs(8);
    std::vector<UniqueHandle> threads;
    std::set<DWORD> ids{GetCurrentThreadId()};
    for (auto& job : jobs) {
        job.go = go.Get();
        DWORD id = 0;
        threads.emplace_back(CreateThread(nullptr, 0, &RunJob, &job, 0, &id));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), jobs.size() + 1);
    SetEvent(go.Get());
    for (auto& t : threads)
        EXPECT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);

    SetLastError(1234);
    DWORD hostId = 0, seen = 0;
    std::thread([&] {
        hostId = GetCurrentThreadId();
        seen = GetLastError();
        SetLastError(77);
    }).join();
    EXPECT_NE(hostId, 0u);
    EXPECT_EQ(ids.count(hostId), 0u);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Thread, BadArgumentsAreRefused) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Job job;
    EXPECT_EQ(CreateThread(nullptr, 0, &RunJob, &job, 0x4 /* suspended */, nullptr), nullptr);
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
}

TEST(Thread, LargeStackRequestIsHonoured) {
    // Larger than the usual 8 MiB default: only fits when the request is used.
    auto deep = [](void*) -> DWORD {
        volatile char big[12 << 20];
        big[0] = 1;
        big[sizeof big - 1] = 2;
        return big[0] + big[sizeof big - 1];
    };
    UniqueHandle t(CreateThread(nullptr, 32 << 20, deep, nullptr, 0, nullptr));
    ASSERT_TRUE(t);
    ASSERT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t.Get(), &code);
    EXPECT_EQ(code, 3u);
}

// "major.minor" of what GetVersion reports.
std::string Reported() {
    DWORD v = GetVersion();
    return std::to_string(v & 0xFF) + "." + std::to_string((v >> 8) & 0xFF);
}

TEST(Version, TenUnlessTheEnvironmentOrTheProgramSaysOtherwise) {
    unsetenv("TARVIK_OS_VERSION");
    EXPECT_EQ(Reported(), "10.0");
    const struct {
        const char* env;
        const char* reported;
    } cases[] = {{"4.10", "4.10"}, {"4", "4.0"},      {"", "10.0"},
                 {"x", "10.0"},    {"4.x", "10.0"},   {"4.10.1", "10.0"},
                 {"0.5", "10.0"},  {"300.1", "10.0"}, {"-4.0", "10.0"}};
    for (const auto& c : cases) {
        setenv("TARVIK_OS_VERSION", c.env, 1);
        EXPECT_EQ(Reported(), c.reported) << c.env;
    }

    // SetReportedVersion wins over the environment, and 0 gives it back.
    setenv("TARVIK_OS_VERSION", "4.10", 1);
    tarvik::SetReportedVersion(4, 0);
    EXPECT_EQ(Reported(), "4.0");
    tarvik::SetReportedVersion(0, 0);
    EXPECT_EQ(Reported(), "4.10");
    unsetenv("TARVIK_OS_VERSION");
    EXPECT_EQ(Reported(), "10.0");
}

}  // namespace

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;

namespace {

// Waits for `go`, records the id it runs under and ends with `exitCode`.
struct Job {
    HANDLE go = nullptr;
    DWORD exitCode = 0;
    std::atomic<DWORD> seenId{0};
};

DWORD RunJob(void* p) {
    auto* job = static_cast<Job*>(p);
    WaitForSingleObject(job->go, INFINITE);
    job->seenId = GetCurrentThreadId();
    return job->exitCode;
}

TEST(Thread, HandleIsSignalledAtExitWithTheExitCodeAndOutlivesNoThread) {
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Job job{go.Get(), 4242}, early{go.Get()};
    DWORD id = 0, code = 0;
    UniqueHandle t(CreateThread(nullptr, 0, &RunJob, &job, 0, &id));
    ASSERT_TRUE(t);
    ASSERT_TRUE(GetExitCodeThread(t.Get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t.Get(), 0), WAIT_TIMEOUT);
    // Closing a handle early does not disturb its thread.
    EXPECT_TRUE(CloseHandle(CreateThread(nullptr, 0, &RunJob, &early, 0, nullptr)));

    SetEvent(go.Get());
    ASSERT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t.Get(), 0), WAIT_OBJECT_0);  // an end is not consumed
    ASSERT_TRUE(GetExitCodeThread(t.Get(), &code));
    EXPECT_EQ(code, 4242u);
    EXPECT_EQ(job.seenId.load(), id);
    for (int i = 0; i < 10000 && early.seenId == 0; ++i)
        Sleep(1);
    EXPECT_NE(early.seenId.load(), 0u);
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
    ids.insert(hostId);
    EXPECT_EQ(ids.size(), jobs.size() + 2);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Thread, BadArgumentsAreRefusedAndALargeStackRequestIsHonoured) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Job job;
    EXPECT_EQ(CreateThread(nullptr, 0, &RunJob, &job, 0x4 /* suspended */, nullptr), nullptr);

    // Larger than the usual 8 MiB default: only fits when the request is used.
    auto deep = [](void*) -> DWORD {
        volatile char big[12 << 20];
        big[0] = 1;
        big[sizeof big - 1] = 2;
        return big[0] + big[sizeof big - 1];
    };
    UniqueHandle t(CreateThread(nullptr, 32 << 20, deep, nullptr, 0, nullptr));
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
    for (auto [env, reported] : {std::pair{"4", "4.0"},
                                 {"", "10.0"},
                                 {"x", "10.0"},
                                 {"4.x", "10.0"},
                                 {"4.10.1", "10.0"},
                                 {"0.5", "10.0"},
                                 {"300.1", "10.0"},
                                 {"-4.0", "10.0"},
                                 {"4.10", "4.10"}}) {
        setenv("TARVIK_OS_VERSION", env, 1);
        EXPECT_EQ(Reported(), reported) << env;
    }
    // SetReportedVersion wins over the environment, and 0 gives it back.
    tarvik::SetReportedVersion(4, 0);
    EXPECT_EQ(Reported(), "4.0");
    tarvik::SetReportedVersion(0, 0);
    EXPECT_EQ(Reported(), "4.10");
}

}  // namespace

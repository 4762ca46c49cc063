// Threads, mutexes and critical sections: a thread's handle signalled at its
// end, ownership counted per thread, released only by the owner, abandoned by
// an owner that ends; the version a program sees.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;

namespace {

// Result of a 0 ms wait (a try) on another thread; releases what it got.
DWORD TryFromOtherThread(HANDLE m) {
    DWORD r = WAIT_FAILED;
    std::thread([&] {
        r = WaitForSingleObject(m, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0)
            ReleaseMutex(m);
    }).join();
    return r;
}

TEST(Mutex, OwnerReentersAndOnlyItReleasesAsOftenAsItTook) {
    UniqueHandle m(CreateMutexA(nullptr, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    BOOL released = TRUE;
    DWORD error = 0;
    std::thread([&] {
        released = ReleaseMutex(m.Get());
        error = GetLastError();
    }).join();
    EXPECT_FALSE(released);
    EXPECT_EQ(error, ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);

    // A waiter gets it when the owner lets go for the last time.
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        result = WaitForSingleObject(m.Get(), 10000);
        ReleaseMutex(m.Get());
    });
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(m.Get()));  // fully released: no more releases
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(Mutex, EndedOwnerAbandonsItToTheNextWaiter) {
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    auto lockAndEnd = [](void* m) -> DWORD { return WaitForSingleObject(m, 10000); };
    UniqueHandle t(CreateThread(nullptr, 0, lockAndEnd, m.Get(), 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(t.Get(), &code);
    ASSERT_EQ(code, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 1000), WAIT_ABANDONED_0);
    // The new owner holds it normally from now on.
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));

    // Threads the host made abandon too, also to a wait for several handles.
    std::thread([&] { ASSERT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0); }).join();
    UniqueHandle other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE set[] = {other.Get(), m.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 1000), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_OBJECT_0);
}

TEST(Mutex, NamedMutexIsShared) {
    UniqueHandle a(CreateMutexA(nullptr, TRUE, "tarvik-test-mutex"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    UniqueHandle b(CreateMutexA(nullptr, TRUE, "tarvik-test-mutex"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(TryFromOtherThread(b.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(b.Get()));  // same owner, same object
    EXPECT_EQ(TryFromOtherThread(a.Get()), WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(a.Get()));  // opening did not take ownership
}

TEST(CriticalSection, SameThreadReentersAndOthersWaitForTheLastLeave) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    auto tryFromOtherThread = [&] {
        BOOL got = FALSE;
        std::thread([&] {
            if ((got = TryEnterCriticalSection(&cs)))
                LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    EnterCriticalSection(&cs);
    {
        tarvik::CriticalSectionLock nested(&cs);
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
        EXPECT_FALSE(tryFromOtherThread());
    }
    EXPECT_FALSE(tryFromOtherThread());
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(tryFromOtherThread());

    DeleteCriticalSection(&cs);
}

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

TEST(Thread, HandlesAreSignalledAtExitWithTheExitCodeAndIdsAreUnique) {
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<Job> jobs(8);
    std::vector<UniqueHandle> threads;
    std::vector<DWORD> ids;
    for (auto& job : jobs) {
        job.go = go.Get();
        job.exitCode = static_cast<DWORD>(4200 + threads.size());
        threads.emplace_back(CreateThread(nullptr, 0, &RunJob, &job, 0, &ids.emplace_back()));
    }
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(threads[0].Get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(threads[0].Get(), 0), WAIT_TIMEOUT);
    // Closing a handle early does not disturb its thread.
    Job early{go.Get()};
    EXPECT_TRUE(CloseHandle(CreateThread(nullptr, 0, &RunJob, &early, 0, nullptr)));

    SetEvent(go.Get());
    for (size_t i = 0; i < jobs.size(); ++i) {
        ASSERT_EQ(WaitForSingleObject(threads[i].Get(), 10000), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(threads[i].Get(), 0), WAIT_OBJECT_0);  // not consumed
        ASSERT_TRUE(GetExitCodeThread(threads[i].Get(), &code));
        EXPECT_EQ(code, 4200 + i);
        EXPECT_EQ(jobs[i].seenId.load(), ids[i]);
    }
    for (int i = 0; i < 10000 && early.seenId == 0; ++i)
        Sleep(1);
    EXPECT_NE(early.seenId.load(), 0u);

    // Threads the host made get ids as well, and each thread its own last
    // error. Starting and joining a thread may set the caller's (Windows), so
    // the other one runs between the caller's set and read.
    std::atomic<int> step{0};
    DWORD seen = 0;
    std::thread other([&] {
        while (step != 1)
            std::this_thread::yield();
        ids.push_back(GetCurrentThreadId());
        seen = GetLastError();
        SetLastError(77);
        step = 2;
    });
    SetLastError(1234);
    step = 1;
    while (step != 2)
        std::this_thread::yield();
    EXPECT_EQ(GetLastError(), 1234u);
    other.join();
    ids.push_back(GetCurrentThreadId());
    EXPECT_EQ(std::set<DWORD>(ids.begin(), ids.end()).size(), jobs.size() + 2);
    EXPECT_EQ(seen, 0u);
}

TEST(Thread, BadArgumentsAreRefusedAndALargeStackRequestIsHonoured) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateThread(nullptr, 0, &RunJob, nullptr, 0x4 /* suspended */, nullptr), nullptr);

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
#ifdef _WIN32
    // The system's own answer (TARVIK_OS_VERSION is the stand-in's).
    const std::string system = Reported();
#else
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
    const std::string system = "4.10";
#endif
    // SetReportedVersion wins over the environment, and 0 gives it back.
    tarvik::SetReportedVersion(4, 0);
    EXPECT_EQ(Reported(), "4.0");
    tarvik::SetReportedVersion(0, 0);
    EXPECT_EQ(Reported(), system);
}

}  // namespace

// Mutexes and critical sections: ownership counted per thread, released only
// by the owner, abandoned by an owner that ends, and exclusive under load.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

TEST(CriticalSection, SameThreadReentersOthersWaitForTheLastLeaveAndLocksExclude) {
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

    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    long byMutex = 0, bySection = 0;  // deliberately plain: the locks must protect them
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            if (i % 10 == 0 && WaitForSingleObject(m.Get(), INFINITE) == WAIT_OBJECT_0) {
                ++byMutex;
                ReleaseMutex(m.Get());
            }
            tarvik::CriticalSectionLock lock(&cs);
            ++bySection;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    DeleteCriticalSection(&cs);
    EXPECT_EQ(byMutex, 4000);
    EXPECT_EQ(bySection, 40000);
}

}  // namespace

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

DWORD LockAndEnd(HANDLE m) {
    return WaitForSingleObject(m, 10000) == WAIT_OBJECT_0 ? 0 : 1;
}

TEST(Mutex, OwnerReentersAndMustReleaseAsOftenAsItTook) {
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_TRUE(m);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_OBJECT_0);
    // Fully released: one more release is not allowed.
    EXPECT_FALSE(ReleaseMutex(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(Mutex, InitialOwnerHoldsItFromCreation) {
    UniqueHandle m(CreateMutexA(nullptr, TRUE, nullptr));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_OBJECT_0);
}

TEST(Mutex, ReleaseByANonOwnerFails) {
    UniqueHandle m(CreateMutexA(nullptr, TRUE, nullptr));
    BOOL released = TRUE;
    DWORD error = 0;
    std::thread([&] {
        released = ReleaseMutex(m.Get());
        error = GetLastError();
    }).join();
    EXPECT_FALSE(released);
    EXPECT_EQ(error, ERROR_NOT_OWNER);
    // The owner still holds it.
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
}

TEST(Mutex, WaitEndsWhenTheOwnerReleases) {
    UniqueHandle m(CreateMutexA(nullptr, TRUE, nullptr));
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        result = WaitForSingleObject(m.Get(), 10000);
        ReleaseMutex(m.Get());
    });
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
}

TEST(Mutex, EndedOwnerAbandonsItToTheNextWaiter) {
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    UniqueHandle t(CreateThread(nullptr, 0, &LockAndEnd, m.Get(), 0, nullptr));
    ASSERT_TRUE(t);
    ASSERT_EQ(WaitForSingleObject(t.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(t.Get(), &code);
    ASSERT_EQ(code, 0u);

    EXPECT_EQ(WaitForSingleObject(m.Get(), 1000), WAIT_ABANDONED_0);
    // The new owner holds it normally from now on.
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(TryFromOtherThread(m.Get()), WAIT_OBJECT_0);
}

TEST(Mutex, HostThreadsAbandonToo) {
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    std::thread([&] { ASSERT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0); }).join();
    UniqueHandle other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE set[] = {other.Get(), m.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 1000), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
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

TEST(Mutex, ContendedMutexExcludes) {
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    int counter = 0;  // deliberately plain: the mutex must protect it
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(WaitForSingleObject(m.Get(), INFINITE), WAIT_OBJECT_0);
            int seen = counter;
            counter = seen + 1;
            ASSERT_TRUE(ReleaseMutex(m.Get()));
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

}  // namespace

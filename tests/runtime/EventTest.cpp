#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;

namespace {

TEST(Event, ManualResetStaysSignalledAndAutoResetIsConsumedByOneWait) {
    UniqueHandle manual(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(manual);
    EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(manual.Get()));
    EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual.Get()));
    EXPECT_EQ(WaitForSingleObject(manual.Get(), 0), WAIT_TIMEOUT);
    UniqueHandle initiallySet(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(initiallySet.Get(), 0), WAIT_OBJECT_0);
    // An empty name is no name: another unnamed event is another object.
    UniqueHandle unnamed(CreateEventA(nullptr, TRUE, FALSE, ""));
    EXPECT_EQ(WaitForSingleObject(unnamed.Get(), 0), WAIT_TIMEOUT);

    UniqueHandle automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_TIMEOUT);
    // Setting twice without a wait in between still releases only one wait.
    SetEvent(automatic.Get());
    SetEvent(automatic.Get());
    EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.Get(), 0), WAIT_TIMEOUT);
}

TEST(Event, OneSetWakesEveryWaiterOfAManualResetEventButOnlyOneOfAnAutoReset) {
    for (bool manual : {true, false}) {
        UniqueHandle e(CreateEventA(nullptr, manual, FALSE, nullptr));
        std::atomic<int> woken{0}, timedOut{0};
        std::thread waiters[3];
        for (auto& t : waiters) {
            t = std::thread([&] {
                DWORD r = WaitForSingleObject(e.Get(), manual ? 10000 : 1500);
                if (r == WAIT_OBJECT_0)
                    ++woken;
                else if (r == WAIT_TIMEOUT)
                    ++timedOut;
            });
        }
        SetEvent(e.Get());
        for (auto& t : waiters)
            t.join();
        EXPECT_EQ(woken.load(), manual ? 3 : 1) << manual;
        EXPECT_EQ(timedOut.load(), manual ? 0 : 2) << manual;
    }
}

TEST(Event, NamedEventIsSharedByName) {
    const std::string name = "tarvik-test-shared";
    SetLastError(ERROR_GEN_FAILURE);
    UniqueHandle first(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

    // The second creation opens the same object and ignores its arguments.
    UniqueHandle second(CreateEventA(nullptr, FALSE, TRUE, name.c_str()));
    ASSERT_TRUE(second);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(WaitForSingleObject(second.Get(), 0), WAIT_TIMEOUT);

    SetEvent(first.Get());
    EXPECT_EQ(WaitForSingleObject(second.Get(), 0), WAIT_OBJECT_0);
    // Still manual reset, as first created.
    EXPECT_EQ(WaitForSingleObject(second.Get(), 0), WAIT_OBJECT_0);

    // Closing one handle leaves the object to the other.
    first.Reset();
    EXPECT_EQ(WaitForSingleObject(second.Get(), 0), WAIT_OBJECT_0);
    UniqueHandle third(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(third.Get(), 0), WAIT_OBJECT_0);

    // Once every handle is gone the name is free again.
    second.Reset();
    third.Reset();
    UniqueHandle fresh(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(fresh.Get(), 0), WAIT_TIMEOUT);
}

TEST(Event, SignalNamedEventReachesOnlyAHolder) {
    UniqueHandle held(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-signal"));
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = WaitForSingleObject(held.Get(), 10000); });
    EXPECT_TRUE(tarvik::SignalNamedEvent("tarvik-test-signal"));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);

    // Nobody holds the event, so the signal dies with it: a later holder
    // starts from its own initial state.
    EXPECT_TRUE(tarvik::SignalNamedEvent("tarvik-test-unheld"));
    UniqueHandle later(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-unheld"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(later.Get(), 0), WAIT_TIMEOUT);

    // A name taken by a mutex is neither an event to create nor to signal.
    UniqueHandle m(CreateMutexA(nullptr, FALSE, "tarvik-test-taken"));
    ASSERT_TRUE(m);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-taken"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(tarvik::SignalNamedEvent("tarvik-test-taken"));
    EXPECT_FALSE(tarvik::SignalNamedEvent(nullptr));
    EXPECT_FALSE(tarvik::SignalNamedEvent(""));
}

TEST(Handles, ClosedAndWrongKindsOfHandlesAreRefused) {
    HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x12345))));

    // A handle of the wrong kind is refused as well.
    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_FALSE(SetEvent(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    UniqueHandle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(ReleaseMutex(e.Get()));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(e.Get(), &code));
}

TEST(Handles, StaleValuesStayInvalidWhenSlotsAreReused) {
    std::vector<HANDLE> stale;
    for (int i = 0; i < 50; ++i)
        stale.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : stale)
        CloseHandle(h);
    std::vector<UniqueHandle> fresh;
    for (int i = 0; i < 200; ++i)
        fresh.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : stale) {
        EXPECT_FALSE(SetEvent(h));
        for (auto& f : fresh)
            ASSERT_NE(f.Get(), h);
    }
}

TEST(Handles, ValuesFitAPositiveThirtyTwoBitNumber) {
    // Event handles reach hosts as LONG values and come back from them.
    std::vector<UniqueHandle> many;
    for (int i = 0; i < 100; ++i) {
        many.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        auto v = reinterpret_cast<intptr_t>(many.back().Get());
        ASSERT_GT(v, 0);
        ASSERT_LE(v, INT32_MAX);
        HANDLE back = reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<LONG>(v)));
        ASSERT_TRUE(SetEvent(back));
    }
}

}  // namespace

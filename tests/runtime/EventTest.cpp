#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;

namespace {

bool Signalled(const UniqueHandle& h) {
    return WaitForSingleObject(h.Get(), 0) == WAIT_OBJECT_0;
}

TEST(Event, ManualResetStaysSignalledAndAutoResetIsConsumedByOneWait) {
    UniqueHandle manual(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(Signalled(manual));
    ASSERT_TRUE(SetEvent(manual.Get()));
    EXPECT_TRUE(Signalled(manual));
    EXPECT_TRUE(Signalled(manual));
    ASSERT_TRUE(ResetEvent(manual.Get()));
    EXPECT_FALSE(Signalled(manual));
    // An empty name is no name: another unnamed event is another object.
    EXPECT_FALSE(Signalled(UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, ""))));

    UniqueHandle automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_TRUE(Signalled(automatic));
    EXPECT_FALSE(Signalled(automatic));
    // Setting twice without a wait in between still releases only one wait.
    SetEvent(automatic.Get());
    SetEvent(automatic.Get());
    EXPECT_TRUE(Signalled(automatic));
    EXPECT_FALSE(Signalled(automatic));
}

TEST(Event, OneSetWakesEveryWaiterOfAManualResetEventButOnlyOneOfAnAutoReset) {
    for (bool manual : {true, false}) {
        UniqueHandle e(CreateEventA(nullptr, manual, FALSE, nullptr));
        std::atomic<int> woken{0}, timedOut{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                DWORD r = WaitForSingleObject(e.Get(), manual ? 10000 : 1500);
                woken += r == WAIT_OBJECT_0;
                timedOut += r == WAIT_TIMEOUT;
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
    const char* name = "tarvik-test-shared";
    SetLastError(ERROR_GEN_FAILURE);
    UniqueHandle first(CreateEventA(nullptr, TRUE, FALSE, name));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    // The second creation opens the same object and ignores its arguments.
    UniqueHandle second(CreateEventA(nullptr, FALSE, TRUE, name));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_FALSE(Signalled(second));
    SetEvent(first.Get());
    EXPECT_TRUE(Signalled(second));
    EXPECT_TRUE(Signalled(second));  // still manual reset, as first created

    // Closing one handle leaves the object to the other; once every handle is
    // gone the name is free again.
    first.Reset();
    UniqueHandle third(CreateEventA(nullptr, TRUE, FALSE, name));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(Signalled(third));
    second.Reset();
    third.Reset();
    UniqueHandle fresh(CreateEventA(nullptr, TRUE, FALSE, name));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(Signalled(fresh));
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
    EXPECT_FALSE(Signalled(later));

    // A name taken by a mutex is neither an event to create nor to signal.
    UniqueHandle m(CreateMutexA(nullptr, FALSE, "tarvik-test-taken"));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-taken"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    for (const char* name : {"tarvik-test-taken", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(tarvik::SignalNamedEvent(name)) << (name ? name : "null");
}

TEST(Handles, ClosedAndWrongKindsOfHandlesAreRefused) {
    HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
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

    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_FALSE(SetEvent(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    UniqueHandle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(ReleaseMutex(e.Get()));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(e.Get(), &code));
}

TEST(Handles, StaleValuesStayInvalidAndEveryValueFitsAPositiveLong) {
    std::vector<HANDLE> stale;
    for (int i = 0; i < 50; ++i)
        stale.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : stale)
        CloseHandle(h);
    // Event handles reach hosts as LONG values and come back from them.
    std::vector<UniqueHandle> fresh;
    for (int i = 0; i < 200; ++i) {
        fresh.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        auto v = reinterpret_cast<intptr_t>(fresh.back().Get());
        ASSERT_GT(v, 0);
        ASSERT_LE(v, INT32_MAX);
        ASSERT_TRUE(
            SetEvent(reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<LONG>(v)))));
    }
    for (HANDLE h : stale) {
        EXPECT_FALSE(SetEvent(h));
        for (auto& f : fresh)
            ASSERT_NE(f.Get(), h);
    }
}

}  // namespace

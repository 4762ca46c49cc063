#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "tarvik/sync.h"

using tarvik::UniqueHandle;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// How far the tick count may lag: whole milliseconds here, the system
// timer's period (up to 16 ms) on Windows.
#ifdef _WIN32
constexpr uint64_t kTickStep = 16;
#else
constexpr uint64_t kTickStep = 1;
#endif

UniqueHandle Event(bool manual, bool set) {
    return UniqueHandle(CreateEventA(nullptr, manual, set, nullptr));
}

bool Signalled(const UniqueHandle& h) {
    return WaitForSingleObject(h.Get(), 0) == WAIT_OBJECT_0;
}

TEST(Wait, LowestSignalledHandleIsReportedAndOnlyAutoResetEventsAreConsumed) {
    auto a = Event(true, false), b = Event(false, true), c = Event(false, true);
    HANDLE set[] = {a.Get(), b.Get(), c.Get()};
    auto wait = [&] { return WaitForMultipleObjects(3, set, FALSE, 0); };
    EXPECT_EQ(wait(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(wait(), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(wait(), WAIT_TIMEOUT);
    // Setting twice without a wait in between still releases only one wait.
    SetEvent(b.Get());
    SetEvent(b.Get());
    EXPECT_EQ(wait(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(wait(), WAIT_TIMEOUT);
    SetEvent(a.Get());
    SetEvent(c.Get());
    EXPECT_EQ(wait(), WAIT_OBJECT_0);
    EXPECT_EQ(wait(), WAIT_OBJECT_0);
    // An auto-reset event later in the list is not consumed by a wait that
    // reported an earlier one.
    ResetEvent(a.Get());
    EXPECT_EQ(wait(), WAIT_OBJECT_0 + 2);
}

TEST(Wait, TimeOutsLastAtLeastTheirTime) {
    auto e = Event(true, false);
    auto first = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e.Get(), 200), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(first), 200);
    uint64_t before = GetTickCount64();
    auto start = Clock::now();
    Sleep(120);
    EXPECT_GE(MsSince(start), 120);
    EXPECT_GE(GetTickCount64() - before, 120u - kTickStep);
    EXPECT_LT(MsSince(first), 200 + 120 + 5000);
}

TEST(Wait, HandlesClosedWhileInUseNeverHurt) {
    // A thread that sets and waits races with the creator closing the handle
    // it uses; every call must end cleanly (the sanitizer builds watch memory).
    std::atomic<HANDLE> current{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> stop{false};
    std::thread user([&] {
        while (!stop) {
            HANDLE h = current.load();
            SetEvent(h);
            WaitForSingleObject(h, 1);
        }
    });
    for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(CloseHandle(current.exchange(CreateEventA(nullptr, i % 2, FALSE, nullptr))));
    stop = true;
    user.join();
    CloseHandle(current.load());
}

#ifndef _WIN32
// Closing a handle under a wait is undefined on Windows; the stand-in
// promises to end the wait. Descriptors in waits are the stand-in's own.

// A thread inside WaitForSingleObject(h) when the constructor returns: the
// kernel reports it asleep.
struct Waiter {
    std::atomic<DWORD> result{0xDEAD}, error{0};
    std::atomic<long long> took{0};
    std::thread thread;
    explicit Waiter(HANDLE h) {
        std::atomic<pid_t> tid{0};
        thread = std::thread([&, h] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            auto start = Clock::now();
            result = WaitForSingleObject(h, 20000);
            error = GetLastError();
            took = MsSince(start);
        });
        while (tid == 0)
            std::this_thread::yield();
        auto path = "/proc/self/task/" + std::to_string(tid) + "/stat";
        for (auto start = Clock::now(); MsSince(start) < 10000; Sleep(1)) {
            std::ifstream stat(path);
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            auto close = text.rfind(')');
            if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S')
                return;
        }
        ADD_FAILURE() << "waiter never went to sleep";
    }
};

TEST(Wait, ClosingAWaitedHandleEndsTheWaitButClosingAnotherOneDoesNot) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiter first(h);
    EXPECT_TRUE(CloseHandle(h));
    first.thread.join();
    EXPECT_EQ(first.result.load(), WAIT_FAILED);
    EXPECT_EQ(first.error.load(), ERROR_INVALID_HANDLE);
    EXPECT_LT(first.took.load(), 15000);  // woken by the close, not its time-out

    UniqueHandle kept(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-twohandles"));
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-twohandles");
    Waiter second(kept.Get());
    CloseHandle(closed);
    SetEvent(kept.Get());
    second.thread.join();
    EXPECT_EQ(second.result.load(), WAIT_OBJECT_0);
}
TEST(Wait, HandlesAndDescriptorsTogether) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    auto e = Event(true, false);
    HANDLE set[] = {e.Get()};
    tarvik::WaitFd in{p[0], POLLIN, -1};
    auto start = Clock::now();
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &in, 1, 100, false), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_EQ(in.revents, 0);

    ASSERT_EQ(write(p[1], "x", 1), 1);
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &in, 1, 10000, false), tarvik::WAIT_IO_FD);
    EXPECT_TRUE(in.revents & POLLIN);
    // With both ready the handle is reported first; a 0 ms wait still sees a
    // ready descriptor.
    SetEvent(e.Get());
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &in, 1, 0, false), WAIT_OBJECT_0);
    ResetEvent(e.Get());
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &in, 1, 0, false), tarvik::WAIT_IO_FD);

    // A write side that goes away ends a wait on the read side.
    close(p[1]);
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(0, nullptr, &in, 1, 10000, false), tarvik::WAIT_IO_FD);
    EXPECT_TRUE(in.revents & POLLHUP);
    close(p[0]);
}

// Linux only: a bank of lines must not run out of descriptors, so only a
// wait that covers a device costs one, made once for its thread.
TEST(Wait, EventsCostNoDescriptorAndADeviceWaitKeepsOneWakeUpForItsThread) {
    const int before = tarvik::test::OpenDescriptors();
    std::vector<UniqueHandle> events;
    for (int i = 0; i < 64; ++i)
        events.push_back(Event(i % 2 == 1, false));
    HANDLE manual = events[1].Get();
    std::thread([manual] { EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT); }).join();
    EXPECT_EQ(tarvik::test::OpenDescriptors(), before);

    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<DWORD> first{0}, second{0};
    std::atomic<int> during{0};
    std::atomic<long long> took{0};
    std::thread device([&] {
        tarvik::WaitFd in{p[0], POLLIN, 0};
        auto start = Clock::now();
        first = tarvik::WaitForHandlesAndFds(1, &manual, &in, 1, 20000, false);
        took = MsSince(start);
        second = tarvik::WaitForHandlesAndFds(1, &manual, &in, 1, 0, false);
        during = tarvik::test::OpenDescriptors();
    });
    // The event is set from here while the other thread polls the pipe.
    for (auto start = Clock::now();
         tarvik::test::OpenDescriptors() < before + 3 && MsSince(start) < 10000;)
        Sleep(1);
    SetEvent(manual);
    device.join();
    EXPECT_EQ(first, WAIT_OBJECT_0);
    EXPECT_LT(took, 10000);  // woken by the event, not by the time-out
    EXPECT_EQ(second, WAIT_OBJECT_0);
    EXPECT_EQ(during, before + 3);  // the pipe and one wake-up
    EXPECT_EQ(tarvik::test::OpenDescriptors(), before + 2);
    close(p[0]);
    close(p[1]);
}
#endif

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
    // An empty name is no name: each such event is an object of its own.
    UniqueHandle unnamed(CreateEventA(nullptr, TRUE, TRUE, ""));
    EXPECT_FALSE(Signalled(UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, ""))));
}

TEST(Event, SignalNamedEventReachesOnlyAHolder) {
    UniqueHandle held(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-signal"));
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = WaitForSingleObject(held.Get(), 10000); });
    EXPECT_TRUE(tarvik::SignalNamedEvent("tarvik-test-signal"));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);

    // Nobody holds the event, so the signal reaches no one and says so; a
    // later holder starts from its own initial state.
    EXPECT_FALSE(tarvik::SignalNamedEvent("tarvik-test-unheld"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
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

TEST(Handles, ClosedAndWrongKindsOfHandlesAndBadWaitArgumentsAreRefused) {
    HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));  // the process's pseudo-handle

    UniqueHandle m(CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_FALSE(SetEvent(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    UniqueHandle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(ReleaseMutex(e.Get()));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(e.Get(), &code));

    // Bad arguments to a wait for several handles; a signalled handle does
    // not hide an invalid one.
    SetEvent(e.Get());
    HANDLE set[] = {e.Get(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7777))};
#ifndef _WIN32  // Windows waits for all handles at once; the stand-in refuses to
    EXPECT_EQ(WaitForMultipleObjects(1, set, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
#endif
    EXPECT_EQ(WaitForMultipleObjects(0, set, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, set, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
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
#ifndef _WIN32  // Windows gives a closed handle's value to the next object
    for (HANDLE h : stale)
        EXPECT_FALSE(SetEvent(h));  // no fresh handle took a stale value
#endif
}

}  // namespace

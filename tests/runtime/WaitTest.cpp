#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits (bounded) until the kernel reports thread `tid` asleep, so that a
// test acts while the thread is really inside its wait.
bool WaitUntilAsleep(pid_t tid) {
    auto path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    auto start = Clock::now();
    while (MsSince(start) < 10000) {
        std::ifstream stat(path);
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') {
            return true;
        }
        Sleep(1);
    }
    return false;
}

UniqueHandle Event(bool manual, bool set) {
    return UniqueHandle(CreateEventA(nullptr, manual, set, nullptr));
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

TEST(Wait, LowestSignalledHandleIsReported) {
    auto a = Event(true, false), b = Event(false, true), c = Event(false, true);
    HANDLE set[] = {a.Get(), b.Get(), c.Get()};
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(a.Get());
    SetEvent(c.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0);
    // An auto-reset event later in the list is not consumed by a wait that
    // reported an earlier one.
    ResetEvent(a.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
}

TEST(Wait, TimeOutsLastAtLeastTheirTime) {
    auto e = Event(true, false);
    HANDLE set[] = {e.Get()};
    auto expectLasts = [](long long ms, auto&& wait) {
        auto start = Clock::now();
        wait();
        auto took = MsSince(start);
        EXPECT_GE(took, ms);
        EXPECT_LT(took, ms + 5000);
    };
    expectLasts(200, [&] { EXPECT_EQ(WaitForSingleObject(e.Get(), 200), WAIT_TIMEOUT); });
    expectLasts(150, [&] {
        EXPECT_EQ(MsgWaitForMultipleObjects(1, set, FALSE, 150, QS_SENDMESSAGE), WAIT_TIMEOUT);
    });
    expectLasts(120, [] { Sleep(120); });
    uint64_t before = GetTickCount64();
    Sleep(50);
    EXPECT_GE(GetTickCount64() - before, 49u);  // tick counts are whole ms
}

TEST(Wait, BadArgumentsFail) {
    auto e = Event(true, true);
    HANDLE set[] = {e.Get(), e.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, set, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, set, FALSE, 0), WAIT_FAILED);
    HANDLE withBad[] = {e.Get(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7777))};
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A thread inside WaitForSingleObject(h) when the call returns.
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
        EXPECT_TRUE(WaitUntilAsleep(tid));
    }
};

TEST(Wait, ClosingAWaitedHandleEndsTheWaitButClosingAnotherOneDoesNot) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiter first(h);
    EXPECT_TRUE(CloseHandle(h));
    first.thread.join();
    EXPECT_EQ(first.result.load(), WAIT_FAILED);
    EXPECT_EQ(first.error.load(), ERROR_INVALID_HANDLE);
    // Woken by the close, not by its own time-out.
    EXPECT_LT(first.took.load(), 15000);

    UniqueHandle kept(CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-twohandles"));
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, "tarvik-test-twohandles");
    Waiter second(kept.Get());
    CloseHandle(closed);
    SetEvent(kept.Get());
    second.thread.join();
    EXPECT_EQ(second.result.load(), WAIT_OBJECT_0);
}

TEST(Wait, HandlesClosedWhileInUseNeverHurt) {
    // Waiters and setters race with the creator closing the handle they use;
    // every call must end cleanly (the sanitizer builds watch the memory).
    std::atomic<HANDLE> current{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    auto worker = [&] {
        while (!stop) {
            HANDLE h = current.load();
            SetEvent(h);
            DWORD r = WaitForSingleObject(h, 1);
            if (r != WAIT_OBJECT_0 && r != WAIT_TIMEOUT && r != WAIT_FAILED)
                ++odd;
        }
    };
    std::thread workers[3] = {std::thread(worker), std::thread(worker), std::thread(worker)};
    for (int i = 0; i < 300; ++i) {
        HANDLE fresh = CreateEventA(nullptr, i % 2, FALSE, nullptr);
        ASSERT_NE(fresh, nullptr);
        EXPECT_TRUE(CloseHandle(current.exchange(fresh)));
    }
    stop = true;
    for (auto& w : workers)
        w.join();
    CloseHandle(current.load());
    EXPECT_EQ(odd.load(), 0);
}

TEST(Wait, HandlesAndDescriptorsTogether) {
    Pipe p;
    auto e = Event(true, false);
    HANDLE set[] = {e.Get()};
    tarvik::WaitFd fd{p.fds[0], POLLIN, -1};

    auto start = Clock::now();
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &fd, 1, 100, false), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_EQ(fd.revents, 0);

    std::thread writer([&] { ASSERT_EQ(write(p.fds[1], "x", 1), 1); });
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &fd, 1, 10000, false), tarvik::WAIT_IO_FD);
    writer.join();
    EXPECT_TRUE(fd.revents & POLLIN);

    // With both ready the handle is reported first.
    SetEvent(e.Get());
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &fd, 1, 0, false), WAIT_OBJECT_0);
    ResetEvent(e.Get());
    // A 0 ms wait still sees a ready descriptor.
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(1, set, &fd, 1, 0, false), tarvik::WAIT_IO_FD);

    // Only descriptors, and a write side that is ready at once.
    tarvik::WaitFd out{p.fds[1], POLLOUT, 0};
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(0, nullptr, &out, 1, 0, false), tarvik::WAIT_IO_FD);
    EXPECT_TRUE(out.revents & POLLOUT);

    // A write side that goes away ends a wait on the read side.
    close(p.fds[1]);
    p.fds[1] = -1;
    fd.events = POLLIN;
    EXPECT_EQ(tarvik::WaitForHandlesAndFds(0, nullptr, &fd, 1, 10000, false), tarvik::WAIT_IO_FD);
    EXPECT_TRUE(fd.revents & POLLHUP);
}

TEST(Wait, LocalTimeMatchesTheClock) {
    SYSTEMTIME st{};
    time_t before = time(nullptr);
    GetLocalTime(&st);
    time_t after = time(nullptr);
    tm lt{};
    lt.tm_year = st.wYear - 1900;
    lt.tm_mon = st.wMonth - 1;
    lt.tm_mday = st.wDay;
    lt.tm_hour = st.wHour;
    lt.tm_min = st.wMinute;
    lt.tm_sec = st.wSecond;
    lt.tm_isdst = -1;
    time_t back = mktime(&lt);
    EXPECT_GE(back, before - 1);
    EXPECT_LE(back, after + 1);
    EXPECT_LT(st.wMilliseconds, 1000);
    EXPECT_EQ(st.wDayOfWeek, lt.tm_wday);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tarvik/sync.h"

using tarvik::UniqueHandle;
using Clock = std::chrono::steady_clock;

namespace {

long long MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// A thread that publishes its id, then runs `body`, or else pumps messages
// until it is joined.
struct Target {
    UniqueHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<DWORD> id{0};
    std::thread thread;

    explicit Target(std::function<void()> body = {}) {
        thread = std::thread([this, body] {
            id = GetCurrentThreadId();
            if (body)
                return body();
            HANDLE s = stop.Get();
            tarvik::PumpingWait(1, &s, INFINITE);
        });
        while (id == 0)
            std::this_thread::yield();
    }
    void Join() {
        SetEvent(stop.Get());
        if (thread.joinable())
            thread.join();
    }
    ~Target() { Join(); }
};

TEST(Message, RunsOnTheTargetThreadAndBlocksTheSender) {
    Target p;
    DWORD ranOn = 0;
    int value = 0;  // plain: the send's completion must publish it
    EXPECT_TRUE(tarvik::SendThreadMessage(p.id, [&] {
        ranOn = GetCurrentThreadId();
        value = 42;
    }));
    EXPECT_EQ(ranOn, p.id.load());
    EXPECT_EQ(value, 42);
    // A message that throws fails its sender, and the target lives on.
    EXPECT_FALSE(tarvik::SendThreadMessage(p.id, [] { throw 1; }));
    EXPECT_FALSE(tarvik::SendThreadMessage(GetCurrentThreadId(), [] { throw 1; }));

    // Inside the message the target sends back to the sender, which keeps
    // serving its own queue while it waits, and to itself, which runs at once.
    DWORD self = GetCurrentThreadId();
    bool back = false, toItself = false, inner = false;
    EXPECT_TRUE(tarvik::SendThreadMessage(
        p.id,
        [&] {
            inner = tarvik::SendThreadMessage(
                self, [&] { back = true; }, 5000);
            inner &= tarvik::SendThreadMessage(
                GetCurrentThreadId(), [&] { toItself = true; }, 0);
        },
        10000));
    EXPECT_TRUE(inner);
    EXPECT_TRUE(back);
    EXPECT_TRUE(toItself);
}

TEST(Message, UnknownOrEndedThreadIsRefusedAtOnce) {
    DWORD ended = 0;
    std::thread([&] { ended = GetCurrentThreadId(); }).join();
    bool ran = false;
    auto start = Clock::now();
    for (DWORD id : {ended, 0xFFFFFFF0u})
        EXPECT_FALSE(tarvik::SendThreadMessage(id, [&] { ran = true; }));
    EXPECT_LT(MsBetween(start, Clock::now()), 5000);
    EXPECT_FALSE(ran);
}

TEST(Message, TimedOutMessageNeverRunsAndATargetThatEndsFailsTheSender) {
    std::atomic<size_t> dispatched{99};
    std::atomic<DWORD> sawMessage{0};
    UniqueHandle sent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle drained(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Target target([&] {
        WaitForSingleObject(sent.Get(), 10000);  // not pumping
        dispatched = tarvik::DispatchSentMessages();
        SetEvent(drained.Get());
        // Notices the next message, then ends without running it.
        sawMessage = MsgWaitForMultipleObjects(0, nullptr, FALSE, 10000, QS_SENDMESSAGE);
    });
    std::atomic<bool> ran{false};
    auto start = Clock::now();
    EXPECT_FALSE(tarvik::SendThreadMessage(
        target.id, [&] { ran = true; }, 100));
    EXPECT_GE(MsBetween(start, Clock::now()), 100);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    SetEvent(sent.Get());
    ASSERT_EQ(WaitForSingleObject(drained.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(dispatched.load(), 0u);

    start = Clock::now();
    EXPECT_FALSE(tarvik::SendThreadMessage(
        target.id, [&] { ran = true; }, 20000));
    // Failed by the thread's end, not by the sender's own time-out.
    EXPECT_NE(GetLastError(), ERROR_TIMEOUT);
    EXPECT_LT(MsBetween(start, Clock::now()), 15000);
    target.Join();
    EXPECT_EQ(sawMessage.load(), WAIT_OBJECT_0);
    EXPECT_FALSE(ran.load());
}

TEST(Message, MsgWaitReportsQueuedMessagesOnlyWhenAskedTo) {
    DWORD self = GetCurrentThreadId();
    std::atomic<bool> ran{false}, sent{false};
    std::thread sender([&] { sent = tarvik::SendThreadMessage(self, [&] { ran = true; }); });
    UniqueHandle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE set[] = {e.Get()};
    ASSERT_EQ(MsgWaitForMultipleObjects(1, set, FALSE, 10000, QS_SENDMESSAGE), WAIT_OBJECT_0 + 1);
    // Without the wake mask the queue is ignored (and kept); a signalled
    // handle wins over queued messages.
    EXPECT_EQ(MsgWaitForMultipleObjects(1, set, FALSE, 0, 0), WAIT_TIMEOUT);
    SetEvent(e.Get());
    EXPECT_EQ(MsgWaitForMultipleObjects(1, set, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(tarvik::DispatchSentMessages(), 1u);
    EXPECT_TRUE(ran.load());
    sender.join();
    EXPECT_TRUE(sent.load());
}

TEST(PumpingWait, MessageBatchRestartsTheFullTimeOut) {
    auto e = UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE h = e.Get();
    DWORD self = GetCurrentThreadId();
    Clock::time_point ranAt{};
    int batches = 0;
    std::thread sender([&] {
        Sleep(150);  // the message must arrive in the middle of the wait
        tarvik::SendThreadMessage(self, [&] { ranAt = Clock::now(); });
    });
    DWORD r = tarvik::PumpingWait(1, &h, 300, [&] { ++batches; });
    auto end = Clock::now();
    sender.join();
    EXPECT_EQ(r, WAIT_TIMEOUT);
    EXPECT_EQ(batches, 1);
    // The wait ran its full 300 ms again after the message.
    EXPECT_GE(MsBetween(ranAt, end), 300);
    EXPECT_LT(MsBetween(ranAt, end), 300 + 5000);
}

}  // namespace

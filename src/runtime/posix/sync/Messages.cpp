#include <cerrno>
#include <chrono>
#include <cstdint>

#include "ThreadState.h"

using namespace tarvik::rt;

namespace tarvik {

bool SendThreadMessage(DWORD threadId, std::function<void()> fn, DWORD timeoutMs) {
    auto self = CurrentThreadShared();
    if (threadId == self->Id()) {
        // Sending to oneself runs the message at once, as SendMessage does.
        try {
            if (fn)
                fn();
        } catch (...) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }
    auto target = FindThread(threadId);
    if (!target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto msg = std::make_shared<SentMessage>();
    msg->fn = std::move(fn);
    msg->sender = self;
    if (!target->Post(msg)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const uint32_t seen = self->WakeCount();
        int state = msg->state.load(std::memory_order_acquire);
        if (state == SentMessage::Done)
            return true;
        if (state == SentMessage::Failed) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        // While blocked, keep serving messages sent to this thread: two threads
        // sending to each other would otherwise deadlock.
        if (self->Dispatch() > 0)
            continue;

        timespec wait{};
        timespec* waitFor = nullptr;
        if (!forever && state == SentMessage::Queued) {
            auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                if (target->Withdraw(msg)) {
                    SetLastError(ERROR_TIMEOUT);
                    return false;
                }
                continue;  // it started meanwhile; see it through
            }
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            waitFor = &wait;
        }
        // A message that is already running is waited for without limit: its
        // function may use the sender's frame, which must outlive it.
        self->SleepUnlessWoken(seen, waitFor);
    }
}

size_t DispatchSentMessages() {
    return CurrentThread().Dispatch();
}

}  // namespace tarvik

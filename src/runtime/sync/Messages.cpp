#include <poll.h>

#include <algorithm>
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
        if (fn)
            fn();
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

        int waitMs = -1;
        if (!forever && state == SentMessage::Queued) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                if (target->Withdraw(msg)) {
                    SetLastError(ERROR_TIMEOUT);
                    return false;
                }
                continue;  // it started meanwhile; see it through
            }
            waitMs = static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        // A message that is already running is waited for without limit: its
        // function may use the sender's frame, which must outlive it.
        pollfd set[2] = {{self->WakeFd(), POLLIN, 0}, {self->MessageFd(), POLLIN, 0}};
        int rc = poll(set, 2, waitMs);
        if (rc < 0 && errno != EINTR) {
            // Nothing sensible is left to wait with; take the message back if
            // it has not started, else see it through without polling.
            if (target->Withdraw(msg)) {
                SetLastError(ERROR_GEN_FAILURE);
                return false;
            }
            Sleep(1);  // never spin on a poll that keeps failing
            continue;
        }
        if (rc > 0 && set[0].revents)
            self->DrainWake();
    }
}

size_t DispatchSentMessages() {
    return CurrentThread().Dispatch();
}

}  // namespace tarvik

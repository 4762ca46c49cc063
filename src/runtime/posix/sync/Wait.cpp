// The one wait behind every Wait* call: handles, the calling thread's sent
// messages and extra descriptors. A wait without descriptors sleeps on the
// thread's futex; one with descriptors polls them with the thread's wake-up
// descriptor.
#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <new>
#include <vector>

#include "Kernel.h"
#include "ThreadState.h"

namespace tarvik::rt {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kInlinePollFds = 16;

DWORD Fail(DWORD error) {
    SetLastError(error);
    return WAIT_FAILED;
}

// Keeps the waiting thread registered with every object of the wait.
class WaiterGuard {
  public:
    WaiterGuard(std::shared_ptr<KernelObject>* objects, ThreadState* self)
        : objects_(objects), self_(self) {}
    ~WaiterGuard() {
        for (DWORD i = 0; i < added_; ++i)
            objects_[i]->RemoveWaiter(self_);
    }
    WaiterGuard(const WaiterGuard&) = delete;
    WaiterGuard& operator=(const WaiterGuard&) = delete;
    bool Add(DWORD count) {
        try {
            for (; added_ < count; ++added_)
                objects_[added_]->AddWaiter(self_);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

  private:
    std::shared_ptr<KernelObject>* objects_;
    ThreadState* self_;
    DWORD added_ = 0;
};

DWORD ErrorFromErrno(int err) {
    return err == EMFILE || err == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace

DWORD WaitCore(DWORD count, const HANDLE* handles, WaitFd* fds, size_t nfds, DWORD timeoutMs,
               bool pumpMessages) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles) || (nfds > 0 && !fds)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    ThreadState& self = CurrentThread();
    std::array<std::shared_ptr<KernelObject>, MAXIMUM_WAIT_OBJECTS> objects;
    WaitRegistration registration;
    if (!registration.Register(count, handles, objects.data(), self)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!objects[i]->Waitable())
            return Fail(ERROR_INVALID_HANDLE);
    }
    WaiterGuard waiters(objects.data(), &self);
    if (!waiters.Add(count))
        return Fail(ERROR_NOT_ENOUGH_MEMORY);

    // Only a wait on descriptors polls: the caller's descriptors, then the
    // thread's wake-up descriptor. Every other wait sleeps on a futex.
    std::array<pollfd, kInlinePollFds + 1> inlineSet;
    std::vector<pollfd> bigSet;
    pollfd* set = inlineSet.data();
    if (nfds > 0) {
        int wakeFd = self.PollFd();
        if (wakeFd < 0)
            return Fail(ErrorFromErrno(errno));
        if (nfds + 1 > inlineSet.size()) {
            bigSet.resize(nfds + 1);
            set = bigSet.data();
        }
        for (size_t i = 0; i < nfds; ++i) {
            fds[i].revents = 0;
            set[i] = {fds[i].fd, fds[i].events, 0};
        }
        set[nfds] = {wakeFd, POLLIN, 0};
    }

    const bool forever = timeoutMs == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool polled = false;
    bool fdsReady = false;
    for (;;) {
        const uint32_t seen = self.WakeCount();
        // Lowest index first among the handles, then messages, then
        // descriptors: the order Windows reports and callers rely on.
        for (DWORD i = 0; i < count; ++i) {
            switch (objects[i]->TryAcquire(self)) {
                case Acquire::Signalled:
                    return WAIT_OBJECT_0 + i;
                case Acquire::Abandoned:
                    return WAIT_ABANDONED_0 + i;
                case Acquire::None:
                    break;
            }
        }
        if (pumpMessages && self.HasMessages())
            return WAIT_OBJECT_0 + count;
        if (registration.HandleClosed())
            return Fail(ERROR_INVALID_HANDLE);
        if (fdsReady) {
            for (size_t i = 0; i < nfds; ++i)
                fds[i].revents = set[i].revents;
            return WAIT_IO_FD;
        }

        timespec wait{};
        timespec* waitFor = nullptr;
        if (!forever) {
            auto left = deadline - Clock::now();
            // Never report a time-out early; one zero-length poll still lets
            // a wait of 0 ms see descriptors that are ready.
            if (left <= Clock::duration::zero()) {
                if (polled)
                    return WAIT_TIMEOUT;
                left = Clock::duration::zero();
            }
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            waitFor = &wait;
        }
        if (nfds == 0) {
            self.SleepUnlessWoken(seen, waitFor);
            polled = true;
            continue;
        }
        if (!self.BeginPoll(seen))
            continue;
        int rc = ppoll(set, nfds + 1, waitFor, nullptr);
        const int err = errno;
        self.EndPoll(rc > 0 && set[nfds].revents);
        polled = true;
        if (rc < 0) {
            if (err == EINTR)
                continue;
            // A failing poll would fail again at once: report it rather than
            // spin.
            return Fail(err == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        }
        for (size_t i = 0; i < nfds; ++i) {
            if (set[i].revents)
                fdsReady = true;
        }
    }
}

}  // namespace tarvik::rt

using tarvik::rt::WaitCore;

DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds) {
    return WaitCore(1, &h, nullptr, 0, dwMilliseconds, false);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    // Waiting for all handles at once is not offered: nothing in the
    // component needs it, and a half-done version would be worse than none.
    if (bWaitAll || nCount == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitCore(nCount, lpHandles, nullptr, 0, dwMilliseconds, false);
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                DWORD dwMilliseconds, DWORD dwWakeMask) {
    if (fWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitCore(nCount, pHandles, nullptr, 0, dwMilliseconds,
                    (dwWakeMask & QS_SENDMESSAGE) != 0);
}

namespace tarvik {

DWORD WaitForHandlesAndFds(DWORD count, const HANDLE* handles, WaitFd* fds, size_t nfds,
                           DWORD timeoutMs, bool pumpMessages) {
    return WaitCore(count, handles, fds, nfds, timeoutMs, pumpMessages);
}

DWORD PumpingWait(DWORD count, const HANDLE* handles, DWORD timeoutMs,
                  const std::function<void()>& onBatch) {
    for (;;) {
        DWORD r = WaitCore(count, handles, nullptr, 0, timeoutMs, true);
        if (r != WAIT_OBJECT_0 + count)
            return r;
        rt::CurrentThread().Dispatch();
        if (onBatch)
            onBatch();
        // Wait again with the full time-out, measured from this batch.
    }
}

}  // namespace tarvik

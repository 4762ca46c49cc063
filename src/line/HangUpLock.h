// The lock that makes a hang-up and the closing of a line exclusive. Both run
// waits that dispatch the messages other threads send to the waiting thread,
// so this lock is itself waited for while dispatching: a host thread blocked
// here keeps serving the calls marshalled to it. A call that is dispatched
// inside a wait of the thread that holds the lock cannot wait for it (it
// would wait for itself); Enter tells it so and it must not touch what the
// holder is using.
#pragma once

#include <atomic>

#include "tarvik/sync.h"

namespace tarvik::line {

// How long anything waits for a hang-up or close that another thread runs:
// longer than the longest hang-up with every wait run out, and its reopen.
inline constexpr DWORD kHangUpLockWaitMs = 60000;

class HangUpLock {
  public:
    enum class Entry { Entered, HeldByThisThread, TimedOut };

    HangUpLock() : mutex_(CreateMutexA(nullptr, FALSE, nullptr)) {}
    ~HangUpLock() {
        if (mutex_)
            CloseHandle(mutex_);
    }
    HangUpLock(const HangUpLock&) = delete;
    HangUpLock& operator=(const HangUpLock&) = delete;

    Entry Enter(DWORD timeoutMs) {
        const DWORD self = GetCurrentThreadId();
        if (owner_.load() == self)
            return Entry::HeldByThisThread;
        // An abandoned mutex (its holder ended without leaving) is ours all
        // the same: what it guarded is checked afresh by every holder.
        const DWORD r = tarvik::PumpingWait(1, &mutex_, timeoutMs);
        if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED_0)
            return Entry::TimedOut;
        owner_.store(self);
        return Entry::Entered;
    }
    void Leave() {
        owner_.store(0);
        ReleaseMutex(mutex_);
    }
    bool Held() const { return owner_.load() != 0; }
    bool HeldByThisThread() const { return owner_.load() == GetCurrentThreadId(); }

  private:
    HANDLE mutex_;
    std::atomic<DWORD> owner_{0};
};

// Holds a HangUpLock that Enter returned Entered for, until the scope ends.
class HangUpLockHold {
  public:
    explicit HangUpLockHold(HangUpLock& lock) : lock_(lock) {}
    ~HangUpLockHold() { lock_.Leave(); }
    HangUpLockHold(const HangUpLockHold&) = delete;
    HangUpLockHold& operator=(const HangUpLockHold&) = delete;

  private:
    HangUpLock& lock_;
};

}  // namespace tarvik::line

// Per-thread runtime state: the thread's id, its queue of messages sent by
// other threads, what wakes its waits, and the mutexes it owns (abandoned
// when it ends).
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Kernel.h"

namespace tarvik::rt {

class MutexObject;

// One message sent to a thread. The sender keeps its own reference and waits
// until `state` leaves Queued/Running.
struct SentMessage {
    enum State { Queued, Running, Done, Failed, Cancelled };
    std::function<void()> fn;
    std::shared_ptr<ThreadState> sender;
    std::atomic<int> state{Queued};
};

class ThreadState {
  public:
    explicit ThreadState(DWORD id);
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    DWORD Id() const { return id_; }

    bool HasMessages();
    // Queues a message; false when the thread has ended (or cannot take
    // messages), and then the message will never run.
    bool Post(const std::shared_ptr<SentMessage>& msg);
    // Takes a still-queued message back; false when it already started, ran or
    // failed.
    bool Withdraw(const std::shared_ptr<SentMessage>& msg);
    // Runs every queued message on the calling (owning) thread.
    size_t Dispatch();

    // Wakes whatever wait the thread is in, so it looks at its conditions
    // again. Spurious wake-ups are harmless: every wait re-checks.
    void Wake();
    // A wait reads the count before it looks at its conditions and sleeps
    // only while the count is unchanged, so no wake between the two is lost.
    uint32_t WakeCount() const { return wakes_.load(std::memory_order_seq_cst); }
    // Sleeps until Wake (or `timeout`, relative; null for none) unless the
    // count has moved past `seen` already. Returns early on signals too.
    void SleepUnlessWoken(uint32_t seen, const timespec* timeout);

    // For waits that also cover descriptors: an eventfd written by Wake while
    // the thread polls. Made on first use and kept while the thread lives;
    // -1 (errno set) when it cannot be had.
    int PollFd();
    // Brackets a poll on PollFd. BeginPoll is false when a wake came after
    // `seen`: the caller looks at its conditions again instead of polling.
    bool BeginPoll(uint32_t seen);
    void EndPoll(bool drain);

    // Mutexes this thread owns; only the owning thread touches the list.
    void AddOwned(const std::shared_ptr<MutexObject>& m);
    void RemoveOwned(const MutexObject* m);

    // The thread is ending: fail queued messages, refuse new ones, hand owned
    // mutexes on as abandoned.
    void End();

  private:
    const DWORD id_;
    std::mutex lock_;
    std::deque<std::shared_ptr<SentMessage>> queue_;  // guarded by lock_
    bool ended_ = false;                              // guarded by lock_
    std::atomic<uint32_t> wakes_{0};
    std::atomic<bool> polling_{false};
    std::atomic<int> wakeFd_{-1};  // written only by the owning thread
    std::vector<std::weak_ptr<MutexObject>> owned_;
};

// The calling thread's state, created (and registered under its id) on first
// use.
ThreadState& CurrentThread();
std::shared_ptr<ThreadState> CurrentThreadShared();
// The registered state of a living thread, or null.
std::shared_ptr<ThreadState> FindThread(DWORD id);
// Fixes the id of the calling thread before anything else touches the
// runtime (threads started by CreateThread get their id from the creator).
void AdoptThreadId(DWORD id);
DWORD AllocateThreadId();
// Ends and unregisters the calling thread's state now, rather than at thread
// exit; a later runtime call on the thread starts a fresh state.
void EndCurrentThread();

}  // namespace tarvik::rt

// The waitable objects of the runtime: events, mutexes and threads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Kernel.h"

namespace tarvik::rt {

class EventObject : public KernelObject {
  public:
    EventObject(bool manualReset, bool initialState);
    bool Waitable() const override { return true; }
    Acquire TryAcquire(ThreadState& self) override;
    void Set();
    void Reset();

  private:
    std::mutex lock_;
    const bool manualReset_;
    bool signalled_ = false;
};

class MutexObject : public KernelObject, public std::enable_shared_from_this<MutexObject> {
  public:
    MutexObject();
    bool Waitable() const override { return true; }
    Acquire TryAcquire(ThreadState& self) override;
    // False when `self` does not own the mutex.
    bool Release(ThreadState& self);
    // The owner thread `ownerId` ended: the next waiter gets it as abandoned.
    void Abandon(DWORD ownerId);

  private:
    std::mutex lock_;
    DWORD owner_ = 0;  // thread id; 0 while free
    DWORD recursion_ = 0;
    bool abandoned_ = false;
};

class ThreadObject : public KernelObject {
  public:
    explicit ThreadObject(DWORD id);
    bool Waitable() const override { return true; }
    Acquire TryAcquire(ThreadState& self) override;
    DWORD Id() const { return id_; }
    // STILL_ACTIVE while running.
    DWORD ExitCode() const { return exitCode_.load(std::memory_order_acquire); }
    void Finish(DWORD exitCode);

  private:
    const DWORD id_;
    std::mutex lock_;
    std::atomic<DWORD> exitCode_{STILL_ACTIVE};
    bool ended_ = false;
};

// The process's object names: one object per name, of whatever kind created
// it first. Returns the living object of that name, or the one `make` creates
// (under the namespace lock, so racing creators share one object); `created`
// tells which. Null when `make` fails.
std::shared_ptr<KernelObject> OpenOrCreateNamed(
    const std::string& name, const std::function<std::shared_ptr<KernelObject>()>& make,
    bool* created);

}  // namespace tarvik::rt

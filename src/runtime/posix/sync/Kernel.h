// Kernel objects behind HANDLE values, inside the runtime. Other runtime
// pieces (the serial backend) may put objects of their own into the handle
// table, so that CloseHandle and the waits treat them like events.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "tarvik/sync.h"

namespace tarvik::rt {

class ThreadState;

// What a wait got from one object.
enum class Acquire { None, Signalled, Abandoned };

// Anything a HANDLE can name. A waitable object keeps the threads waiting on
// it: whatever may let TryAcquire succeed wakes them all, and each looks
// again (only one of them wins an auto-reset event or a mutex). No object
// owns a descriptor, so a bank of lines costs descriptors only for its
// devices and the threads that wait on them.
class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // False for objects that cannot be waited on (a wait on them fails).
    virtual bool Waitable() const { return false; }
    // Takes the object for the calling thread when it is signalled (an
    // auto-reset event or a mutex is consumed, atomically with the check).
    virtual Acquire TryAcquire(ThreadState& self) {
        (void)self;
        return Acquire::None;
    }
    // A wait registers its thread for as long as it waits. AddWaiter throws
    // std::bad_alloc when the list cannot grow.
    void AddWaiter(ThreadState* waiter);
    void RemoveWaiter(ThreadState* waiter);

  protected:
    // Called after a change that may let a waiter acquire the object.
    void WakeWaiters();

  private:
    std::mutex waitersLock_;
    std::vector<ThreadState*> waiters_;
};

// Puts an object into the process-wide handle table. Null (and
// ERROR_NOT_ENOUGH_MEMORY) when the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The same for a create-or-open call: on success the last error tells the
// caller whether the object was new (ERROR_SUCCESS) or already existed
// (ERROR_ALREADY_EXISTS).
inline HANDLE InsertCreated(std::shared_ptr<KernelObject> object, bool created) {
    HANDLE h = InsertHandle(std::move(object));
    if (h)
        SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}
// The object behind a handle, or null (the handle was never valid or has been
// closed). The caller's reference keeps it alive even if another thread
// closes the handle meanwhile.
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
// The object behind a handle as a T; null, with ERROR_INVALID_HANDLE set, when
// the handle is not valid or names another kind of object.
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
    auto object = std::dynamic_pointer_cast<T>(LookupHandle(h));
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// The wait behind every public wait function.
DWORD WaitCore(DWORD count, const HANDLE* handles, WaitFd* fds, size_t nfds, DWORD timeoutMs,
               bool pumpMessages);

// Records, for the duration of a wait, which handles the calling thread waits
// on, so that closing one of them wakes the wait (which then fails).
class WaitRegistration {
  public:
    // Resolves every handle and registers the wait in one step under the table
    // lock. False (nothing registered) when a handle is invalid.
    bool Register(DWORD count, const HANDLE* handles, std::shared_ptr<KernelObject>* objects,
                  ThreadState& self);
    ~WaitRegistration();
    bool HandleClosed() const { return closed_.load(std::memory_order_acquire); }

    // Internal to the table.
    const HANDLE* handles_ = nullptr;
    DWORD count_ = 0;
    ThreadState* self_ = nullptr;
    std::atomic<bool> closed_{false};
    bool registered_ = false;
};

}  // namespace tarvik::rt

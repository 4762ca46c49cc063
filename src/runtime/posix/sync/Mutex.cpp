#include "Objects.h"
#include "ThreadState.h"

#include <new>

namespace tarvik::rt {

MutexObject::MutexObject() = default;

Acquire MutexObject::TryAcquire(ThreadState& self) {
    std::lock_guard<std::mutex> g(lock_);
    if (owner_ == self.Id()) {
        ++recursion_;
        return Acquire::Signalled;
    }
    if (owner_ != 0)
        return Acquire::None;
    owner_ = self.Id();
    recursion_ = 1;
    self.AddOwned(shared_from_this());
    bool abandoned = abandoned_;
    abandoned_ = false;
    return abandoned ? Acquire::Abandoned : Acquire::Signalled;
}

bool MutexObject::Release(ThreadState& self) {
    std::lock_guard<std::mutex> g(lock_);
    if (owner_ != self.Id() || owner_ == 0)
        return false;
    if (--recursion_ == 0) {
        owner_ = 0;
        WakeWaiters();
        self.RemoveOwned(this);
    }
    return true;
}

void MutexObject::Abandon(DWORD ownerId) {
    std::lock_guard<std::mutex> g(lock_);
    if (owner_ != ownerId)
        return;
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
    WakeWaiters();
}

}  // namespace tarvik::rt

using namespace tarvik::rt;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    auto make = []() -> std::shared_ptr<MutexObject> {
        try {
            return std::make_shared<MutexObject>();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    };
    std::shared_ptr<MutexObject> mutex;
    bool created = true;
    if (lpName && *lpName) {
        auto object = OpenOrCreateNamed(lpName, make, &created);
        if (!object) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        mutex = std::dynamic_pointer_cast<MutexObject>(object);
        if (!mutex) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    } else {
        mutex = make();
        if (!mutex) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    // Only the creator takes initial ownership; opening an existing mutex
    // does not (whoever owns it keeps it).
    if (bInitialOwner && created)
        mutex->TryAcquire(CurrentThread());
    return InsertCreated(mutex, created);
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto mutex = LookupHandleAs<MutexObject>(hMutex);
    if (!mutex)
        return FALSE;
    if (!mutex->Release(CurrentThread())) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

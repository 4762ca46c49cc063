#include "Objects.h"
#include "ThreadState.h"

#include <new>

namespace tarvik::rt {

EventObject::EventObject(bool manualReset, bool initialState) : manualReset_(manualReset) {
    if (initialState)
        Set();
}

Acquire EventObject::TryAcquire(ThreadState&) {
    std::lock_guard<std::mutex> g(lock_);
    if (!signalled_)
        return Acquire::None;
    if (!manualReset_) {
        // Consuming under the lock is what lets only one of several woken
        // waiters win an auto-reset event; the others poll again.
        signalled_ = false;
    }
    return Acquire::Signalled;
}

void EventObject::Set() {
    std::lock_guard<std::mutex> g(lock_);
    signalled_ = true;
    WakeWaiters();
}

void EventObject::Reset() {
    std::lock_guard<std::mutex> g(lock_);
    signalled_ = false;
}

}  // namespace tarvik::rt

using namespace tarvik::rt;

namespace {

std::shared_ptr<EventObject> MakeEvent(bool manualReset, bool initialState) {
    try {
        return std::make_shared<EventObject>(manualReset, initialState);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Opens or creates the event `name`; null with the error set when the name
// belongs to another kind of object or nothing could be created.
std::shared_ptr<EventObject> OpenOrCreateEvent(const char* name, bool manualReset,
                                               bool initialState, bool* created) {
    auto object = OpenOrCreateNamed(
        name,
        [&]() -> std::shared_ptr<KernelObject> { return MakeEvent(manualReset, initialState); },
        created);
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto event = std::dynamic_pointer_cast<EventObject>(object);
    if (!event)
        SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    std::shared_ptr<EventObject> event;
    bool created = true;
    if (lpName && *lpName) {
        event = OpenOrCreateEvent(lpName, bManualReset != FALSE, bInitialState != FALSE, &created);
        if (!event)
            return nullptr;
    } else {
        event = MakeEvent(bManualReset != FALSE, bInitialState != FALSE);
        if (!event) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    return InsertCreated(event, created);
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event)
        return FALSE;
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}

namespace tarvik {

BOOL SignalNamedEvent(const char* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // No handle is created: when nobody holds the event, the signal reached
    // no one and says so, as on Windows. The waiters that matter (a port's
    // event thread) hold the event while they wait, and clear it when they
    // start.
    bool created = false;
    auto event = OpenOrCreateEvent(name, true, true, &created);
    if (!event)
        return FALSE;
    if (created) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

}  // namespace tarvik

#include <mutex>

#include "tarvik/sync.h"

// The lock behind a critical section is re-entrant, as on Windows: the line
// enters its hang-up section again from a nested close on the same thread.
namespace {
std::recursive_mutex* Impl(CRITICAL_SECTION* cs) {
    return static_cast<std::recursive_mutex*>(cs->impl);
}
}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    cs->impl = new std::recursive_mutex;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    delete Impl(cs);
    cs->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    Impl(cs)->lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    Impl(cs)->unlock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    return Impl(cs)->try_lock() ? TRUE : FALSE;
}

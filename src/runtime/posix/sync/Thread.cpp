#include <pthread.h>

#include <cerrno>
#include <memory>
#include <new>

#include "Objects.h"
#include "ThreadState.h"

namespace tarvik::rt {

ThreadObject::ThreadObject(DWORD id) : id_(id) {}

Acquire ThreadObject::TryAcquire(ThreadState&) {
    std::lock_guard<std::mutex> g(lock_);
    return ended_ ? Acquire::Signalled : Acquire::None;
}

void ThreadObject::Finish(DWORD exitCode) {
    std::lock_guard<std::mutex> g(lock_);
    exitCode_.store(exitCode, std::memory_order_release);
    ended_ = true;
    WakeWaiters();
}

}  // namespace tarvik::rt

using namespace tarvik::rt;

namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    void* parameter;
    std::shared_ptr<ThreadObject> object;
};

void* RunThread(void* p) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    AdoptThreadId(start->object->Id());
    DWORD code = start->routine(start->parameter);
    // Queued messages fail and owned mutexes are abandoned before the handle
    // is signalled, so whoever waited for the end sees a settled state.
    EndCurrentThread();
    start->object->Finish(code);
    return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, void* lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId) {
    // Suspended creation has no use here and no pthread counterpart.
    if (!lpStartAddress || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<ThreadObject> object;
    ThreadStart* start = nullptr;
    try {
        object = std::make_shared<ThreadObject>(AllocateThreadId());
        start = new ThreadStart{lpStartAddress, lpParameter, object};
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = InsertHandle(object);
    if (!h) {
        delete start;
        return nullptr;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // A requested stack size only ever enlarges the default: Windows callers
    // size stacks for Windows, and sanitizer builds need more than that.
    size_t defaultSize = 0;
    pthread_attr_getstacksize(&attr, &defaultSize);
    if (dwStackSize > defaultSize)
        pthread_attr_setstacksize(&attr, dwStackSize);

    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &RunThread, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        CloseHandle(h);
        // EAGAIN: the process or the system has no thread to spare.
        SetLastError(rc == EAGAIN ? ERROR_TOO_MANY_TCBS : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = object->Id();
    return h;
}

BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode) {
    auto thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

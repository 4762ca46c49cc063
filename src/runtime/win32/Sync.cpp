// Kernel objects, threads and waits on Windows: kernel32's own, with the
// message-pumping wait built on MsgWaitForMultipleObjects and
// PeekMessageA/TranslateMessage/DispatchMessageA.
#include "tarvik/sync.h"

#include "System.h"

namespace sys = tarvik::win32;

DWORD GetLastError() {
    return sys::LastError();
}
void SetLastError(DWORD code) {
    sys::SetLastError(code);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return sys::CreateEvent(bManualReset, bInitialState, lpName);
}
BOOL SetEvent(HANDLE hEvent) {
    return sys::SetEvent(hEvent);
}
BOOL ResetEvent(HANDLE hEvent) {
    return sys::ResetEvent(hEvent);
}
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    return sys::CreateMutex(bInitialOwner, lpName);
}
BOOL ReleaseMutex(HANDLE hMutex) {
    return sys::ReleaseMutex(hMutex);
}
BOOL CloseHandle(HANDLE h) {
    return sys::CloseHandle(h);
}

DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds) {
    return sys::WaitForMultipleObjects(1, &h, false, dwMilliseconds);
}
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    return sys::WaitForMultipleObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                DWORD dwMilliseconds, DWORD dwWakeMask) {
    return sys::MsgWaitForMultipleObjects(nCount, pHandles, fWaitAll, dwMilliseconds, dwWakeMask);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, void* lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId) {
    if (dwCreationFlags != 0) {
        sys::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return sys::StartThread(dwStackSize, lpStartAddress, lpParameter, lpThreadId);
}
BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode) {
    return sys::GetExitCodeThread(hThread, lpExitCode);
}
DWORD GetCurrentThreadId() {
    return sys::CurrentThreadId();
}
void Sleep(DWORD dwMilliseconds) {
    sys::Sleep(dwMilliseconds);
}
DWORD GetTickCount() {
    return sys::TickCount();
}
uint64_t GetTickCount64() {
    return sys::TickCount64();
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    cs->impl = sys::NewCriticalSection();
}
void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    sys::DeleteCriticalSection(cs->impl);
    cs->impl = nullptr;
}
void EnterCriticalSection(CRITICAL_SECTION* cs) {
    sys::EnterCriticalSection(cs->impl);
}
void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    sys::LeaveCriticalSection(cs->impl);
}
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    return sys::TryEnterCriticalSection(cs->impl);
}

static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
void GetLocalTime(SYSTEMTIME* lpSystemTime) {
    sys::GetLocalTime(lpSystemTime);
}
DWORD GetVersion() {
    return sys::Version();
}

namespace tarvik {

size_t DispatchSentMessages() {
    return sys::DispatchQueuedMessages();
}

DWORD PumpingWait(DWORD count, const HANDLE* handles, DWORD timeoutMs,
                  const std::function<void()>& onBatch) {
    for (;;) {
        DWORD r = sys::MsgWaitForMultipleObjects(count, handles, false, timeoutMs, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + count)
            return r;
        // Every queued message runs, then the wait starts again with its
        // full time-out.
        sys::DispatchQueuedMessages();
        if (onBatch)
            onBatch();
    }
}

BOOL SignalNamedEvent(const char* name) {
    void* event = sys::OpenEventForSignal(name);
    if (!event)
        return FALSE;
    BOOL ok = sys::SetEvent(event);
    sys::CloseHandle(event);
    return ok;
}

}  // namespace tarvik

// Kernel objects, threads and waits on Windows: kernel32's own, with the
// message-pumping wait built on MsgWaitForMultipleObjects and
// PeekMessageA/TranslateMessage/DispatchMessageA.
#include "tarvik/sync.h"

#include <atomic>

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
    if (dwWakeMask & QS_SENDMESSAGE)
        sys::ReceiveThreadMessages();
    return sys::MsgWaitForMultipleObjects(nCount, pHandles, fWaitAll, dwMilliseconds, dwWakeMask);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, void* lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId) {
    // The system would start a thread that jumps to null.
    if (dwCreationFlags != 0 || !lpStartAddress) {
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
namespace {
// Packed as GetVersion packs it; 0 while the system's answer stands.
std::atomic<DWORD> g_reportedVersion{0};
}  // namespace

DWORD GetVersion() {
    if (DWORD v = g_reportedVersion.load(std::memory_order_acquire))
        return v;
    return sys::Version();
}

namespace tarvik {

void SetReportedVersion(int major, int minor) {
    const bool valid = major > 0 && major <= 255 && minor >= 0 && minor <= 255;
    g_reportedVersion.store(valid ? static_cast<DWORD>(major | minor << 8) : 0,
                            std::memory_order_release);
}

DWORD PumpingWait(DWORD count, const HANDLE* handles, DWORD timeoutMs,
                  const std::function<void()>& onBatch) {
    sys::ReceiveThreadMessages();
    for (;;) {
        DWORD r = sys::MsgWaitForMultipleObjects(count, handles, false, timeoutMs, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + count)
            return r;
        // Every queued message runs, then the wait starts again with its
        // full time-out.
        DispatchSentMessages();
        if (onBatch)
            onBatch();
    }
}

BOOL SignalNamedEvent(const char* name) {
    if (!name || !*name) {
        sys::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Fails with ERROR_FILE_NOT_FOUND when nobody holds the event.
    void* event = sys::OpenEventForSignal(name);
    if (!event)
        return FALSE;
    BOOL ok = sys::SetEvent(event);
    sys::CloseHandle(event);
    return ok;
}

}  // namespace tarvik

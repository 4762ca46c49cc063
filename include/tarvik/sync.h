// Synchronisation, threads, sent messages and waits: the Win32 services the
// component uses, with their Windows names. Every waitable object is pollable
// underneath (eventfd), so a single wait covers events, threads, mutexes, the
// calling thread's sent-message queue and, for the serial backend, device
// descriptors.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "tarvik/types.h"

using HANDLE = void*;
// Waitable handles are small table entries, never raw pointers: a handle that
// was closed is simply invalid afterwards (waits on it fail with
// ERROR_INVALID_HANDLE), even when another thread still uses the value.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_ALLINPUT = 0x04FF;
// ReleaseMutex by a thread that does not own the mutex.
constexpr DWORD ERROR_NOT_OWNER = 288;

// Last-error value of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD code);

// Events. A named event is one object per name within the process: a second
// CreateEventA with the same name opens it (GetLastError gives
// ERROR_ALREADY_EXISTS) and ignores the reset/initial arguments.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attrs, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Mutex with an owner: a wait that succeeds makes the waiting thread the
// owner; the owner may wait again (counted); ReleaseMutex by another thread
// fails. A mutex whose owner thread ended is handed to the next waiter with
// WAIT_ABANDONED_0.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attrs, BOOL bInitialOwner, LPCSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);

// Closing a handle that another thread is waiting on wakes that wait, which
// then fails (WAIT_FAILED, ERROR_INVALID_HANDLE) instead of sleeping on.
BOOL CloseHandle(HANDLE h);

// Waits for any one of the handles (bWaitAll must be FALSE).
DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);
// As WaitForMultipleObjects, and also wakes with WAIT_OBJECT_0 + nCount when a
// message sent by another thread is waiting for the calling thread (with
// QS_SENDMESSAGE in dwWakeMask). Messages are run by DispatchSentMessages.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                DWORD dwMilliseconds, DWORD dwWakeMask);

// Threads. Thread ids are 32-bit and unique within the process while the
// thread lives (they are not reused at all). A thread handle is signalled when
// the thread has ended. dwCreationFlags must be 0; dwStackSize only ever
// enlarges the default stack.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* lpParameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attrs, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, void* lpParameter, DWORD dwCreationFlags,
                    DWORD* lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode);
DWORD GetCurrentThreadId();
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();
uint64_t GetTickCount64();

// Re-entrant critical section.
struct CRITICAL_SECTION {
    void* impl;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);

// Local time of day.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* lpSystemTime);

// Operating-system version as GetVersion packs it: major version in the low
// byte, minor version in the next. The runtime reports the Windows level it
// stands in for (10.0); TARVIK_OS_VERSION ("4.10") or SetReportedVersion
// override it, so code that depends on old versions stays testable.
DWORD GetVersion();

namespace tarvik {
// What a system error code says ran out or went wrong, in a few words a host
// can show or act on: "no such device", "in use", "permission denied", "too
// many open files", "not enough memory", ...
std::string SystemErrorReason(DWORD code);
}  // namespace tarvik

namespace tarvik {

// Sets the version GetVersion reports; it wins over TARVIK_OS_VERSION. Major 0
// (or a value outside 1..255) returns to the environment or the default. On
// Windows, where GetVersion is the system's and TARVIK_OS_VERSION is not
// read, it overrides the system's answer the same way, for the module the
// runtime is linked into (Tarvik.dll has its own).
void SetReportedVersion(int major, int minor);

// Runs `fn` on thread `threadId` the next time that thread pumps its sent
// messages (PumpingWait, DispatchSentMessages, MsgWaitForMultipleObjects with
// QS_SENDMESSAGE and then DispatchSentMessages), and blocks until it has run.
// Returns false when the thread does not exist, ends before running it, or
// `timeoutMs` passes first (then `fn` never runs), or `fn` throws. A message
// that has started when the time-out passes is waited for to its end (it may
// use the sender's frame) and counts as delivered. While blocked, the sender
// runs messages sent to it, so two threads sending to each other do not
// deadlock. Sending to the calling thread runs `fn` at once.
//
// On Windows the message is a window message sent to a message-only window
// the thread makes the first time it pumps (a thread that has not pumped yet
// gets its messages from then on); any wait that runs sent messages (a
// modal loop, SendMessage) runs it. Thread ids are the system's there, which
// it reuses once a thread has ended.
bool SendThreadMessage(DWORD threadId, std::function<void()> fn, DWORD timeoutMs = INFINITE);
// Runs every message queued for the calling thread; returns how many ran.
size_t DispatchSentMessages();

// The message-pumping wait: waits for any of the handles, the time-out, or a
// message sent to the calling thread. On messages it runs every queued one,
// calls `onBatch` (if given) and waits again with the full time-out. Returns
// WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i, WAIT_TIMEOUT or WAIT_FAILED.
DWORD PumpingWait(DWORD count, const HANDLE* handles, DWORD timeoutMs,
                  const std::function<void()>& onBatch = {});

// Sets the named event `name`. When nobody holds an event of that name the
// signal reaches no one: FALSE with ERROR_FILE_NOT_FOUND, on both targets
// (nothing keeps an unheld event alive). FALSE with ERROR_INVALID_PARAMETER
// for a null or empty name. A host
// calls SignalNamedEvent("Tarvik") when it has finished with the port it was
// handed for a data call: the line then ends the call. With several calls
// handed over, one such signal ends one of them (which one is not said): a
// host with more than one call uses SignalEndOfCall below.
//
// The port handle of a data call (lPortHandle of CallConnected) is the
// serial device's file descriptor. It is the host's to read and write from
// CallConnected until the host signals the end of the call, and the
// component's before and after: the host never closes it, and stops using it
// once it has signalled. While the host has it, it is a blocking descriptor
// at the port's current line settings (raw 8N1, no flow control, nothing
// translated or echoed, the port's baud rate); the component makes it
// non-blocking again when it takes the port back.
BOOL SignalNamedEvent(const char* name);

// Each port also has an end-of-call event of its own, so that a host with
// several calls handed over ends exactly the one it means: "Tarvik." followed
// by the port name in capitals without the device prefix ("com3" and
// "\\.\COM3" both give "Tarvik.COM3"). Empty for an empty name.
std::string EndOfCallEventName(const char* portName);
// Ends the data call handed over on `portName` (sets its end-of-call event).
// FALSE with ERROR_INVALID_PARAMETER for an empty name. As for any named
// event, a signal while no call is handed over on that port reaches no one
// (FALSE, ERROR_FILE_NOT_FOUND).
BOOL SignalEndOfCall(const char* portName);

#ifndef _WIN32
// A descriptor a wait also watches (the serial backend's device).
struct WaitFd {
    int fd;
    short events;   // POLLIN, POLLOUT
    short revents;  // filled in when the wait returns WAIT_IO_FD
};
constexpr DWORD WAIT_IO_FD = 0x00000100;
// Waits for any handle, any descriptor, the time-out, or (with pumpMessages) a
// sent message. Results: WAIT_OBJECT_0 + i for handle i (WAIT_ABANDONED_0 + i
// for an abandoned mutex), WAIT_OBJECT_0 + count for a sent message,
// WAIT_IO_FD when at least one descriptor is ready (revents set),
// WAIT_TIMEOUT, WAIT_FAILED. Handles are checked before descriptors.
DWORD WaitForHandlesAndFds(DWORD count, const HANDLE* handles, WaitFd* fds, size_t nfds,
                           DWORD timeoutMs, bool pumpMessages);
#endif

// RAII lock for a critical section.
class CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~CriticalSectionLock() { LeaveCriticalSection(cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CRITICAL_SECTION* cs_;
};

// An event handle field that other threads set and clear while its owner may
// close or replace it. Windows gives the value of a closed handle to the next
// object created, so a thread that read the value just before the close
// would set or clear that unrelated object: here setting, clearing and
// closing exclude one another, and a closed field touches nothing. Waits use
// Get().
class SharedEvent {
  public:
    SharedEvent() = default;
    SharedEvent(const SharedEvent&) = delete;
    SharedEvent& operator=(const SharedEvent&) = delete;
    ~SharedEvent() { Replace(nullptr); }
    HANDLE Get() const { return h_.load(); }
    // Holds `h` from now on and closes the event held before.
    void Replace(HANDLE h) {
        std::lock_guard lock(mu_);
        if (HANDLE old = h_.exchange(h))
            CloseHandle(old);
    }
    BOOL Set() {
        std::lock_guard lock(mu_);
        HANDLE h = h_.load();
        return h ? SetEvent(h) : FALSE;
    }
    BOOL Clear() {
        std::lock_guard lock(mu_);
        HANDLE h = h_.load();
        return h ? ResetEvent(h) : FALSE;
    }

  private:
    std::atomic<HANDLE> h_{nullptr};
    std::mutex mu_;
};

// Owns one handle (closed on destruction).
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        Reset(o.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }
    HANDLE Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void Reset(HANDLE h = nullptr) {
        if (h_ && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_ = nullptr;
};

}  // namespace tarvik

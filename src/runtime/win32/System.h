// The system services of Windows, reached through plain types.
//
// The runtime's headers declare COM's and Win32's names with types of their
// own (char16_t text, fixed-width integers), which cannot share a translation
// unit with <windows.h>. So System.cpp, the one file that includes the system
// headers, offers here what the rest of the Windows runtime needs, in types
// both sides understand. Structures keep the system's layout where the
// system reads or writes them directly (VARIANT, SYSTEMTIME, GUID).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik::win32 {

uint32_t LastError();
void SetLastError(uint32_t code);

// Kernel objects.
void* CreateEvent(bool manualReset, bool initialState, const char* name);
bool SetEvent(void* event);
bool ResetEvent(void* event);
// An existing named event opened for setting; null when there is none.
void* OpenEventForSignal(const char* name);
void* CreateMutex(bool initialOwner, const char* name);
bool ReleaseMutex(void* mutex);
bool CloseHandle(void* handle);
uint32_t WaitForMultipleObjects(uint32_t count, void* const* handles, bool waitAll,
                                uint32_t milliseconds);
uint32_t MsgWaitForMultipleObjects(uint32_t count, void* const* handles, bool waitAll,
                                   uint32_t milliseconds, uint32_t wakeMask);
// Removes and dispatches every queued message (PeekMessageA, TranslateMessage,
// DispatchMessageA); returns how many posted messages ran. Sent messages run
// on the way, uncounted.
size_t DispatchQueuedMessages();
// Runs the messages other threads sent the calling thread, and no posted one.
void RunSentMessages();

// Work sent to a thread travels as a message sent to a message-only window
// the thread made (a window's messages run on the thread that made it). The
// message carries a word; the window procedure hands it to
// DeliverThreadMessage, which the runtime's messages define.
// The calling thread's window, made on first use; null when none can be made
// (LastError says why).
void* MakeThreadWindow();
// The thread of a window of this process; 0 when the window is gone.
uint32_t WindowThread(void* window);
// Queues the word for the window's thread without waiting for it to run
// (SendNotifyMessage, delivered as a sent message).
bool SendToWindow(void* window, uintptr_t word);
void DeliverThreadMessage(uintptr_t word);
// Makes the calling thread's window known to senders (the runtime's
// messages); every wait that pumps sent messages calls it first.
void ReceiveThreadMessages();
// A handle that is signalled when the thread ends; null when this process
// has no thread of that id.
void* OpenThreadToWait(uint32_t threadId);

// Threads, started through the C runtime so it is set up for them.
void* StartThread(size_t stackSize, uint32_t (*proc)(void*), void* arg, uint32_t* threadId);
bool GetExitCodeThread(void* thread, uint32_t* code);
uint32_t CurrentThreadId();
void Sleep(uint32_t milliseconds);
uint32_t TickCount();
uint64_t TickCount64();
// SYSTEMTIME layout: eight 16-bit fields.
void GetLocalTime(void* systemTime);
uint32_t Version();
// True when the process runs under Wine (its ntdll exports wine_get_version).
bool RunningUnderWine();

// Critical sections live on the heap: the runtime's CRITICAL_SECTION holds a
// pointer to the system's.
void* NewCriticalSection();
void DeleteCriticalSection(void* cs);
void EnterCriticalSection(void* cs);
void LeaveCriticalSection(void* cs);
bool TryEnterCriticalSection(void* cs);

// OLE Automation and COM. Text is UTF-16 (the system's wchar_t).
char16_t* SysAllocString(const char16_t* text);
char16_t* SysAllocStringLen(const char16_t* text, uint32_t length);
char16_t* SysAllocStringByteLen(const char* bytes, uint32_t length);
int SysReAllocString(char16_t** bstr, const char16_t* text);
void SysFreeString(char16_t* bstr);
uint32_t SysStringLen(char16_t* bstr);
uint32_t SysStringByteLen(char16_t* bstr);
void VariantInit(void* variant);
int32_t VariantClear(void* variant);
int32_t VariantCopy(void* dest, const void* src);
int32_t VariantChangeType(void* dest, const void* src, uint16_t flags, uint16_t type);
int32_t CreateErrorInfo(void** createErrorInfo);
int32_t SetErrorInfo(uint32_t reserved, void* errorInfo);
int32_t GetErrorInfo(uint32_t reserved, void** errorInfo);
int32_t CoInitializeEx(uint32_t flags);
void CoUninitialize();
int32_t CoCreateInstance(const void* clsid, void* outer, uint32_t context, const void* iid,
                         void** out);
int32_t CoGetClassObject(const void* clsid, uint32_t context, const void* iid, void** out);
int32_t CoRegisterClassObject(const void* clsid, void* unknown, uint32_t context, uint32_t flags,
                              uint32_t* cookie);
int32_t CoRevokeClassObject(uint32_t cookie);
void CoFreeUnusedLibrariesEx(uint32_t delay);
void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* block);
int32_t ProgIDFromCLSID(const void* clsid, char16_t** progId);
int32_t CLSIDFromProgID(const char16_t* progId, void* clsid);

// Text in the process's ANSI code page; characters it lacks become '?'.
std::string WideToAnsi(const char16_t* text, size_t length);
std::u16string AnsiToWide(const char* text, size_t length);

// The registry. Paths below a hive are UTF-8 with '\\' between keys.
enum class Hive { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
struct RegistryValue {
    std::string name;
    bool isDword = false;
    std::string text;
    uint32_t dword = 0;
};
// Null when the key cannot be opened (or created).
void* RegOpenKey(Hive hive, const std::string& path, bool write);
void* RegCreateKey(Hive hive, const std::string& path);
void RegCloseKey(void* key);
bool RegEnumSubkey(void* key, uint32_t index, std::string* name);
// Strings (REG_SZ, REG_EXPAND_SZ) and DWORDs; a value of another type sets
// *skip. False when there is no value of that index.
bool RegEnumValue(void* key, uint32_t index, RegistryValue* value, bool* skip);
bool RegSetValue(void* key, const RegistryValue& value);
bool RegDeleteValue(void* key, const std::string& name);
bool RegDeleteTree(Hive hive, const std::string& path);

// Type libraries.
struct TypeLibAttributes {
    unsigned char libid[16];
    uint32_t lcid = 0;
    int syskind = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
};
int32_t ReadTypeLibAttributes(const std::string& path, TypeLibAttributes* out);
int32_t RegisterTypeLibFile(const std::string& path, const std::string& helpDir);
// Through "UnRegisterTypeLib" looked up in oleaut32.dll at run time; S_FALSE
// when the system has no such function.
int32_t UnregisterTypeLib(const TypeLibAttributes& lib);

// Modules and their resources.
void* ModuleOfAddress(const void* address);
std::string ModuleFileName(void* module);
// The bytes of a resource of a named type ("REGISTRY", "TYPELIB"); false when
// there is none.
bool FindResourceBytes(void* module, const char* type, int id, const void** data, size_t* size);
std::string LoadResourceString(void* module, int id);

// Files that are only ever appended to (UTF-8 paths). The file is opened with
// append access and no write access, so the system puts every write at the
// end in one step, whoever else appends to it; null when it cannot be
// opened. Closed with CloseHandle.
void* OpenFileForAppend(const std::string& path);
// Writes every byte (a short write is finished); false on failure.
bool AppendToFile(void* file, const char* data, size_t size);
bool FlushFile(void* file);

// Serial communications.
struct CommSettings {
    uint32_t BaudRate;
    uint32_t fBinary, fParity, fOutxCtsFlow, fOutxDsrFlow, fDtrControl, fDsrSensitivity;
    uint32_t fTXContinueOnXoff, fOutX, fInX, fErrorChar, fNull, fRtsControl, fAbortOnError;
    uint16_t XonLim, XoffLim;
    uint8_t ByteSize, Parity, StopBits;
    char XonChar, XoffChar, ErrorChar, EofChar, EvtChar;
};
struct CommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
// CreateFileA for read and write, no sharing, OPEN_EXISTING, overlapped,
// write-through, unbuffered. Null (never INVALID_HANDLE_VALUE) on failure.
void* OpenComm(const char* path, uint32_t* error);
bool GetCommState(void* comm, CommSettings* settings, uint32_t* error);
bool SetCommState(void* comm, const CommSettings& settings, uint32_t* error);
bool GetCommTimeouts(void* comm, CommTimeouts* timeouts);
bool SetCommTimeouts(void* comm, const CommTimeouts& timeouts);
bool SetupComm(void* comm, uint32_t inQueue, uint32_t outQueue);
bool PurgeComm(void* comm, uint32_t flags, uint32_t* error);
bool EscapeCommFunction(void* comm, uint32_t function, uint32_t* error);
bool SetCommMask(void* comm, uint32_t mask);
bool ClearCommError(void* comm, uint32_t* errors);

// One OVERLAPPED record with a manual-reset event of its own.
struct Overlapped;
Overlapped* NewOverlapped();
void FreeOverlapped(Overlapped* ov);
void* OverlappedEvent(Overlapped* ov);
// Eight bytes that live as long as the record: where a one-byte read puts its
// byte and a comm-event wait its mask, since the system may write them after
// the call that started the operation has returned.
void* OverlappedScratch(Overlapped* ov);
enum class Io { Done, Pending, Failed };
Io ReadFile(void* comm, void* buffer, uint32_t length, Overlapped* ov, uint32_t* done,
            uint32_t* error);
Io WriteFile(void* comm, const void* buffer, uint32_t length, Overlapped* ov, uint32_t* done,
             uint32_t* error);
Io WaitCommEvent(void* comm, uint32_t* mask, Overlapped* ov, uint32_t* error);
// Without waiting: Pending while the operation runs.
Io OverlappedResult(void* comm, Overlapped* ov, uint32_t* done, uint32_t* error);
// Cancels the operation of `ov` (any thread's) and waits up to `waitMs` for
// it to end; true when it has ended.
bool CancelAndWait(void* comm, Overlapped* ov, uint32_t waitMs);

}  // namespace tarvik::win32

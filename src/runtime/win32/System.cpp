// The one file of the Windows runtime that includes the system headers (see
// System.h).
#include "System.h"

#include <process.h>
#include <windows.h>
// windows.h first: the OLE headers build on it.
#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <new>

// The system headers turn these names into their ...A/...W forms; here they
// name the functions of System.h.
#undef CreateEvent
#undef CreateMutex
#undef RegOpenKey
#undef RegCreateKey
#undef RegEnumValue
#undef RegSetValue
#undef RegDeleteValue
#undef RegDeleteTree

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is the system's wchar_t");

namespace tarvik::win32 {
namespace {

const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}
wchar_t* W(char16_t* s) {
    return reinterpret_cast<wchar_t*>(s);
}

std::wstring Utf8ToWide(const std::string& s) {
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string WideToUtf8(const wchar_t* w, size_t length) {
    if (length == 0)
        return {};
    int n =
        WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), s.data(), n, nullptr, nullptr);
    return s;
}

HKEY HiveKey(Hive hive) {
    switch (hive) {
        case Hive::ClassesRoot:
            return HKEY_CLASSES_ROOT;
        case Hive::CurrentUser:
            return HKEY_CURRENT_USER;
        case Hive::LocalMachine:
            return HKEY_LOCAL_MACHINE;
        case Hive::Users:
            return HKEY_USERS;
        case Hive::CurrentConfig:
            return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CLASSES_ROOT;
}

struct ThreadStart {
    uint32_t (*proc)(void*);
    void* arg;
};

unsigned __stdcall ThreadTrampoline(void* p) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    return start->proc(start->arg);
}

}  // namespace

uint32_t LastError() {
    return ::GetLastError();
}
void SetLastError(uint32_t code) {
    ::SetLastError(code);
}

void* CreateEvent(bool manualReset, bool initialState, const char* name) {
    return ::CreateEventA(nullptr, manualReset, initialState, name);
}
bool SetEvent(void* event) {
    return ::SetEvent(event);
}
bool ResetEvent(void* event) {
    return ::ResetEvent(event);
}
void* OpenEventForSignal(const char* name) {
    return ::OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
}
void* CreateMutex(bool initialOwner, const char* name) {
    return ::CreateMutexA(nullptr, initialOwner, name);
}
bool ReleaseMutex(void* mutex) {
    return ::ReleaseMutex(mutex);
}
bool CloseHandle(void* handle) {
    return ::CloseHandle(handle);
}
uint32_t WaitForMultipleObjects(uint32_t count, void* const* handles, bool waitAll,
                                uint32_t milliseconds) {
    return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}
uint32_t MsgWaitForMultipleObjects(uint32_t count, void* const* handles, bool waitAll,
                                   uint32_t milliseconds, uint32_t wakeMask) {
    return ::MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask);
}
void RunSentMessages() {
    MSG msg;
    // Every waiting sent message runs inside the peek; posted ones stay queued.
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

namespace {
constexpr UINT kThreadMessage = WM_APP;
thread_local HWND t_window = nullptr;

LRESULT CALLBACK ThreadWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kThreadMessage) {
        DeliverThreadMessage(static_cast<uintptr_t>(lParam));
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// This module, which stays loaded from its first use on. A window of the
// class below lives as long as its thread, which may be a host's and outlive
// every object of this module, and a class a DLL registered is not removed
// when the DLL is unloaded: pinned, the system never calls a procedure that
// is gone.
HMODULE PinnedModule() {
    static const HMODULE self = [] {
        HMODULE module = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(&ThreadWindowProc), &module);
        return module;
    }();
    return self;
}

// The class is this module's: Tarvik.dll and a program that links the runtime
// itself each keep their own messages.
const wchar_t* ThreadWindowClass() {
    static const std::wstring name = [] {
        std::wstring n = L"Tarvik.ThreadMessages." +
                         std::to_wstring(reinterpret_cast<uintptr_t>(PinnedModule()));
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &ThreadWindowProc;
        wc.hInstance = PinnedModule();
        wc.lpszClassName = n.c_str();
        ::RegisterClassExW(&wc);
        return n;
    }();
    return name.c_str();
}
}  // namespace

void* MakeThreadWindow() {
    if (t_window && ::IsWindow(t_window))
        return t_window;
    t_window = ::CreateWindowExW(0, ThreadWindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 PinnedModule(), nullptr);
    return t_window;
}
uint32_t WindowThread(void* window) {
    DWORD process = 0;
    DWORD thread = ::GetWindowThreadProcessId(static_cast<HWND>(window), &process);
    return process == ::GetCurrentProcessId() ? thread : 0;
}
bool SendToWindow(void* window, uintptr_t word) {
    return ::SendNotifyMessageW(static_cast<HWND>(window), kThreadMessage, 0,
                                static_cast<LPARAM>(word));
}
void* OpenThreadToWait(uint32_t threadId) {
    HANDLE h = ::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (h && ::GetProcessIdOfThread(h) != ::GetCurrentProcessId()) {
        ::CloseHandle(h);
        return nullptr;
    }
    return h;
}

size_t DispatchQueuedMessages() {
    size_t ran = 0;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
        ++ran;
    }
    return ran;
}

void* StartThread(size_t stackSize, uint32_t (*proc)(void*), void* arg, uint32_t* threadId) {
    auto* start = new (std::nothrow) ThreadStart{proc, arg};
    if (!start)
        return nullptr;
    unsigned id = 0;
    uintptr_t h =
        _beginthreadex(nullptr, static_cast<unsigned>(stackSize), &ThreadTrampoline, start, 0, &id);
    if (!h) {
        delete start;
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    return reinterpret_cast<void*>(h);
}
bool GetExitCodeThread(void* thread, uint32_t* code) {
    DWORD c = 0;
    BOOL ok = ::GetExitCodeThread(thread, &c);
    if (code)
        *code = c;
    return ok;
}
uint32_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}
void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}
uint32_t TickCount() {
    return ::GetTickCount();
}
uint64_t TickCount64() {
    return ::GetTickCount64();
}
void GetLocalTime(void* systemTime) {
    ::GetLocalTime(static_cast<SYSTEMTIME*>(systemTime));
}
uint32_t Version() {
    return ::GetVersion();
}
bool RunningUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

void* NewCriticalSection() {
    auto* cs = new (std::nothrow) CRITICAL_SECTION;
    if (cs)
        ::InitializeCriticalSection(cs);
    return cs;
}
void DeleteCriticalSection(void* cs) {
    if (!cs)
        return;
    ::DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
    delete static_cast<CRITICAL_SECTION*>(cs);
}
void EnterCriticalSection(void* cs) {
    ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}
void LeaveCriticalSection(void* cs) {
    ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}
bool TryEnterCriticalSection(void* cs) {
    return ::TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

char16_t* SysAllocString(const char16_t* text) {
    return reinterpret_cast<char16_t*>(::SysAllocString(W(text)));
}
char16_t* SysAllocStringLen(const char16_t* text, uint32_t length) {
    return reinterpret_cast<char16_t*>(::SysAllocStringLen(W(text), length));
}
char16_t* SysAllocStringByteLen(const char* bytes, uint32_t length) {
    return reinterpret_cast<char16_t*>(::SysAllocStringByteLen(bytes, length));
}
int SysReAllocString(char16_t** bstr, const char16_t* text) {
    return ::SysReAllocString(reinterpret_cast<BSTR*>(bstr), W(text));
}
void SysFreeString(char16_t* bstr) {
    ::SysFreeString(W(bstr));
}
uint32_t SysStringLen(char16_t* bstr) {
    return ::SysStringLen(W(bstr));
}
uint32_t SysStringByteLen(char16_t* bstr) {
    return ::SysStringByteLen(W(bstr));
}
void VariantInit(void* variant) {
    ::VariantInit(static_cast<VARIANTARG*>(variant));
}
int32_t VariantClear(void* variant) {
    return ::VariantClear(static_cast<VARIANTARG*>(variant));
}
int32_t VariantCopy(void* dest, const void* src) {
    // The system's declaration takes the source without const; it is only read.
    return ::VariantCopy(static_cast<VARIANTARG*>(dest),
                         const_cast<VARIANTARG*>(static_cast<const VARIANTARG*>(src)));
}
int32_t VariantChangeType(void* dest, const void* src, uint16_t flags, uint16_t type) {
    return ::VariantChangeType(static_cast<VARIANTARG*>(dest),
                               const_cast<VARIANTARG*>(static_cast<const VARIANTARG*>(src)), flags,
                               type);
}
int32_t CreateErrorInfo(void** createErrorInfo) {
    return ::CreateErrorInfo(reinterpret_cast<ICreateErrorInfo**>(createErrorInfo));
}
int32_t SetErrorInfo(uint32_t reserved, void* errorInfo) {
    return ::SetErrorInfo(reserved, static_cast<IErrorInfo*>(errorInfo));
}
int32_t GetErrorInfo(uint32_t reserved, void** errorInfo) {
    return ::GetErrorInfo(reserved, reinterpret_cast<IErrorInfo**>(errorInfo));
}
int32_t CoInitializeEx(uint32_t flags) {
    return ::CoInitializeEx(nullptr, flags);
}
void CoUninitialize() {
    ::CoUninitialize();
}
int32_t CoCreateInstance(const void* clsid, void* outer, uint32_t context, const void* iid,
                         void** out) {
    return ::CoCreateInstance(*static_cast<const CLSID*>(clsid), static_cast<IUnknown*>(outer),
                              context, *static_cast<const IID*>(iid), out);
}
int32_t CoGetClassObject(const void* clsid, uint32_t context, const void* iid, void** out) {
    return ::CoGetClassObject(*static_cast<const CLSID*>(clsid), context, nullptr,
                              *static_cast<const IID*>(iid), out);
}
int32_t CoRegisterClassObject(const void* clsid, void* unknown, uint32_t context, uint32_t flags,
                              uint32_t* cookie) {
    DWORD c = 0;
    HRESULT hr = ::CoRegisterClassObject(*static_cast<const CLSID*>(clsid),
                                         static_cast<IUnknown*>(unknown), context, flags, &c);
    if (cookie)
        *cookie = c;
    return hr;
}
int32_t CoRevokeClassObject(uint32_t cookie) {
    return ::CoRevokeClassObject(cookie);
}
void CoFreeUnusedLibrariesEx(uint32_t delay) {
    ::CoFreeUnusedLibrariesEx(delay, 0);
}
void* CoTaskMemAlloc(size_t size) {
    return ::CoTaskMemAlloc(size);
}
void CoTaskMemFree(void* block) {
    ::CoTaskMemFree(block);
}
int32_t ProgIDFromCLSID(const void* clsid, char16_t** progId) {
    return ::ProgIDFromCLSID(*static_cast<const CLSID*>(clsid),
                             reinterpret_cast<LPOLESTR*>(progId));
}
int32_t CLSIDFromProgID(const char16_t* progId, void* clsid) {
    return ::CLSIDFromProgID(W(progId), static_cast<CLSID*>(clsid));
}

std::string WideToAnsi(const char16_t* text, size_t length) {
    if (!text || length == 0)
        return {};
    int n =
        WideCharToMultiByte(CP_ACP, 0, W(text), static_cast<int>(length), nullptr, 0, "?", nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, W(text), static_cast<int>(length), s.data(), n, "?",
                            nullptr);
    return s;
}
std::u16string AnsiToWide(const char* text, size_t length) {
    if (!text || length == 0)
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    std::u16string w(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length),
                            reinterpret_cast<wchar_t*>(w.data()), n);
    return w;
}

void* RegOpenKey(Hive hive, const std::string& path, bool write) {
    HKEY key = nullptr;
    REGSAM sam = KEY_READ | (write ? KEY_WRITE : 0);
    if (::RegOpenKeyExW(HiveKey(hive), Utf8ToWide(path).c_str(), 0, sam, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}
void* RegCreateKey(Hive hive, const std::string& path) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HiveKey(hive), Utf8ToWide(path).c_str(), 0, nullptr, 0,
                          KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}
void RegCloseKey(void* key) {
    if (key)
        ::RegCloseKey(static_cast<HKEY>(key));
}
bool RegEnumSubkey(void* key, uint32_t index, std::string* name) {
    wchar_t buf[256];  // key names are at most 255 characters
    DWORD len = 256;
    if (::RegEnumKeyExW(static_cast<HKEY>(key), index, buf, &len, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS)
        return false;
    *name = WideToUtf8(buf, len);
    return true;
}
bool RegEnumValue(void* key, uint32_t index, RegistryValue* value, bool* skip) {
    wchar_t name[16384];  // the longest value name the registry allows, and one
    DWORD nameLen = 16384;
    DWORD type = 0, size = 0;
    LSTATUS r = ::RegEnumValueW(static_cast<HKEY>(key), index, name, &nameLen, nullptr, &type,
                                nullptr, &size);
    if (r != ERROR_SUCCESS)
        return false;
    *skip = false;
    value->name = WideToUtf8(name, nameLen);
    std::wstring wname(name, nameLen);
    if (type == REG_DWORD) {
        DWORD d = 0, dsize = sizeof d;
        if (::RegQueryValueExW(static_cast<HKEY>(key), wname.c_str(), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&d), &dsize) != ERROR_SUCCESS) {
            *skip = true;
            return true;
        }
        value->isDword = true;
        value->dword = d;
        return true;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        *skip = true;
        return true;
    }
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    DWORD dsize = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(static_cast<HKEY>(key), wname.c_str(), nullptr, nullptr,
                           reinterpret_cast<BYTE*>(data.data()), &dsize) != ERROR_SUCCESS) {
        *skip = true;
        return true;
    }
    size_t chars = dsize / sizeof(wchar_t);
    while (chars > 0 && data[chars - 1] == L'\0')
        --chars;
    value->isDword = false;
    value->text = WideToUtf8(data.data(), chars);
    return true;
}
bool RegSetValue(void* key, const RegistryValue& value) {
    std::wstring name = Utf8ToWide(value.name);
    if (value.isDword) {
        DWORD d = value.dword;
        return ::RegSetValueExW(static_cast<HKEY>(key), name.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&d), sizeof d) == ERROR_SUCCESS;
    }
    std::wstring text = Utf8ToWide(value.text);
    return ::RegSetValueExW(static_cast<HKEY>(key), name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}
bool RegDeleteValue(void* key, const std::string& name) {
    return ::RegDeleteValueW(static_cast<HKEY>(key), Utf8ToWide(name).c_str()) == ERROR_SUCCESS;
}
bool RegDeleteTree(Hive hive, const std::string& path) {
    std::wstring w = Utf8ToWide(path);
    LSTATUS r = ::RegDeleteTreeW(HiveKey(hive), w.c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return false;
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    r = ::RegDeleteKeyW(HiveKey(hive), w.c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

int32_t ReadTypeLibAttributes(const std::string& path, TypeLibAttributes* out) {
    ITypeLib* tlb = nullptr;
    HRESULT hr = ::LoadTypeLibEx(Utf8ToWide(path).c_str(), REGKIND_NONE, &tlb);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = tlb->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        static_assert(sizeof out->libid == sizeof attr->guid);
        memcpy(out->libid, &attr->guid, sizeof out->libid);
        out->lcid = attr->lcid;
        out->syskind = attr->syskind;
        out->majorVersion = attr->wMajorVerNum;
        out->minorVersion = attr->wMinorVerNum;
        tlb->ReleaseTLibAttr(attr);
    }
    tlb->Release();
    return hr;
}
int32_t RegisterTypeLibFile(const std::string& path, const std::string& helpDir) {
    std::wstring wpath = Utf8ToWide(path);
    std::wstring whelp = Utf8ToWide(helpDir);
    ITypeLib* tlb = nullptr;
    HRESULT hr = ::LoadTypeLibEx(wpath.c_str(), REGKIND_NONE, &tlb);
    if (FAILED(hr))
        return hr;
    hr = ::RegisterTypeLib(tlb, wpath.data(), whelp.empty() ? nullptr : whelp.data());
    tlb->Release();
    return hr;
}
int32_t UnregisterTypeLib(const TypeLibAttributes& lib) {
    using Fn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = ::GetModuleHandleA("oleaut32.dll");
    if (!oleaut)
        return S_FALSE;
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(oleaut, "UnRegisterTypeLib")));
    if (!fn)
        return S_FALSE;
    GUID libid;
    memcpy(&libid, lib.libid, sizeof libid);
    return fn(libid, lib.majorVersion, lib.minorVersion, lib.lcid,
              static_cast<SYSKIND>(lib.syskind));
}

void* ModuleOfAddress(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(address), &module))
        return nullptr;
    return module;
}
void* OpenFileForAppend(const std::string& path) {
    HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool AppendToFile(void* file, const char* data, size_t size) {
    while (size > 0) {
        DWORD n = 0;
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!::WriteFile(file, data, chunk, &n, nullptr) || n == 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool FlushFile(void* file) {
    return ::FlushFileBuffers(file) != 0;
}

std::string ModuleFileName(void* module) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(static_cast<HMODULE>(module), buf.data(),
                                       static_cast<DWORD>(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size())
            return WideToUtf8(buf.data(), n);
        if (buf.size() > 32768)
            return {};
        buf.resize(buf.size() * 2);
    }
}
bool FindResourceBytes(void* module, const char* type, int id, const void** data, size_t* size) {
    HRSRC res = ::FindResourceA(static_cast<HMODULE>(module), MAKEINTRESOURCEA(id), type);
    if (!res)
        return false;
    HGLOBAL loaded = ::LoadResource(static_cast<HMODULE>(module), res);
    if (!loaded)
        return false;
    *data = ::LockResource(loaded);
    *size = ::SizeofResource(static_cast<HMODULE>(module), res);
    return *data != nullptr;
}
std::string LoadResourceString(void* module, int id) {
    char buf[1024];
    int n = ::LoadStringA(static_cast<HINSTANCE>(module), static_cast<UINT>(id), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void* OpenComm(const char* path, uint32_t* error) {
    HANDLE h = ::CreateFileA(
        path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = ::GetLastError();
        return nullptr;
    }
    return h;
}
bool GetCommState(void* comm, CommSettings* s, uint32_t* error) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(comm, &dcb)) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    s->BaudRate = dcb.BaudRate;
    s->fBinary = dcb.fBinary;
    s->fParity = dcb.fParity;
    s->fOutxCtsFlow = dcb.fOutxCtsFlow;
    s->fOutxDsrFlow = dcb.fOutxDsrFlow;
    s->fDtrControl = dcb.fDtrControl;
    s->fDsrSensitivity = dcb.fDsrSensitivity;
    s->fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    s->fOutX = dcb.fOutX;
    s->fInX = dcb.fInX;
    s->fErrorChar = dcb.fErrorChar;
    s->fNull = dcb.fNull;
    s->fRtsControl = dcb.fRtsControl;
    s->fAbortOnError = dcb.fAbortOnError;
    s->XonLim = dcb.XonLim;
    s->XoffLim = dcb.XoffLim;
    s->ByteSize = dcb.ByteSize;
    s->Parity = dcb.Parity;
    s->StopBits = dcb.StopBits;
    s->XonChar = dcb.XonChar;
    s->XoffChar = dcb.XoffChar;
    s->ErrorChar = dcb.ErrorChar;
    s->EofChar = dcb.EofChar;
    s->EvtChar = dcb.EvtChar;
    return true;
}
bool SetCommState(void* comm, const CommSettings& s, uint32_t* error) {
    // Read first, so the members the settings do not name (the reserved
    // words, fDummy2) keep what the driver holds.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(comm, &dcb)) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    dcb.BaudRate = s.BaudRate;
    dcb.fBinary = s.fBinary;
    dcb.fParity = s.fParity;
    dcb.fOutxCtsFlow = s.fOutxCtsFlow;
    dcb.fOutxDsrFlow = s.fOutxDsrFlow;
    dcb.fDtrControl = s.fDtrControl;
    dcb.fDsrSensitivity = s.fDsrSensitivity;
    dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
    dcb.fOutX = s.fOutX;
    dcb.fInX = s.fInX;
    dcb.fErrorChar = s.fErrorChar;
    dcb.fNull = s.fNull;
    dcb.fRtsControl = s.fRtsControl;
    dcb.fAbortOnError = s.fAbortOnError;
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.ErrorChar = s.ErrorChar;
    dcb.EofChar = s.EofChar;
    dcb.EvtChar = s.EvtChar;
    if (!::SetCommState(comm, &dcb)) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    return true;
}
bool GetCommTimeouts(void* comm, CommTimeouts* t) {
    COMMTIMEOUTS c{};
    if (!::GetCommTimeouts(comm, &c))
        return false;
    *t = {c.ReadIntervalTimeout, c.ReadTotalTimeoutMultiplier, c.ReadTotalTimeoutConstant,
          c.WriteTotalTimeoutMultiplier, c.WriteTotalTimeoutConstant};
    return true;
}
bool SetCommTimeouts(void* comm, const CommTimeouts& t) {
    COMMTIMEOUTS c{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return ::SetCommTimeouts(comm, &c);
}
bool SetupComm(void* comm, uint32_t inQueue, uint32_t outQueue) {
    return ::SetupComm(comm, inQueue, outQueue);
}
bool PurgeComm(void* comm, uint32_t flags, uint32_t* error) {
    if (::PurgeComm(comm, flags))
        return true;
    if (error)
        *error = ::GetLastError();
    return false;
}
bool EscapeCommFunction(void* comm, uint32_t function, uint32_t* error) {
    if (::EscapeCommFunction(comm, function))
        return true;
    if (error)
        *error = ::GetLastError();
    return false;
}
bool SetCommMask(void* comm, uint32_t mask) {
    return ::SetCommMask(comm, mask);
}
bool ClearCommError(void* comm, uint32_t* errors) {
    DWORD e = 0;
    BOOL ok = ::ClearCommError(comm, &e, nullptr);
    if (errors)
        *errors = e;
    return ok;
}

struct Overlapped {
    OVERLAPPED ov;
    alignas(8) unsigned char scratch[8];
};
Overlapped* NewOverlapped() {
    auto* o = new (std::nothrow) Overlapped;
    if (!o)
        return nullptr;
    memset(&o->ov, 0, sizeof o->ov);
    o->ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!o->ov.hEvent) {
        delete o;
        return nullptr;
    }
    return o;
}
void FreeOverlapped(Overlapped* o) {
    if (!o)
        return;
    ::CloseHandle(o->ov.hEvent);
    delete o;
}
void* OverlappedEvent(Overlapped* o) {
    return o->ov.hEvent;
}
void* OverlappedScratch(Overlapped* o) {
    return o->scratch;
}

namespace {
Io Started(BOOL ok, DWORD got, uint32_t* done, uint32_t* error) {
    if (ok) {
        if (done)
            *done = got;
        return Io::Done;
    }
    DWORD e = ::GetLastError();
    if (error)
        *error = e;
    return e == ERROR_IO_PENDING ? Io::Pending : Io::Failed;
}
void Rearm(Overlapped* o) {
    HANDLE event = o->ov.hEvent;
    memset(&o->ov, 0, sizeof o->ov);
    o->ov.hEvent = event;
}
}  // namespace

Io ReadFile(void* comm, void* buffer, uint32_t length, Overlapped* o, uint32_t* done,
            uint32_t* error) {
    Rearm(o);
    DWORD got = 0;
    return Started(::ReadFile(comm, buffer, length, &got, &o->ov), got, done, error);
}
Io WriteFile(void* comm, const void* buffer, uint32_t length, Overlapped* o, uint32_t* done,
             uint32_t* error) {
    Rearm(o);
    DWORD put = 0;
    return Started(::WriteFile(comm, buffer, length, &put, &o->ov), put, done, error);
}
Io WaitCommEvent(void* comm, uint32_t* mask, Overlapped* o, uint32_t* error) {
    Rearm(o);
    static_assert(sizeof(DWORD) == sizeof(uint32_t));
    return Started(::WaitCommEvent(comm, reinterpret_cast<DWORD*>(mask), &o->ov), 0, nullptr,
                   error);
}
Io OverlappedResult(void* comm, Overlapped* o, uint32_t* done, uint32_t* error) {
    DWORD got = 0;
    if (::GetOverlappedResult(comm, &o->ov, &got, FALSE)) {
        if (done)
            *done = got;
        return Io::Done;
    }
    DWORD e = ::GetLastError();
    if (error)
        *error = e;
    return e == ERROR_IO_INCOMPLETE ? Io::Pending : Io::Failed;
}
bool CancelAndWait(void* comm, Overlapped* o, uint32_t waitMs) {
    ::CancelIoEx(comm, &o->ov);
    if (::WaitForSingleObject(o->ov.hEvent, waitMs) != WAIT_OBJECT_0)
        return false;
    DWORD got = 0;
    ::GetOverlappedResult(comm, &o->ov, &got, FALSE);
    return true;
}

}  // namespace tarvik::win32

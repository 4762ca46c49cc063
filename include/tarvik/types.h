// Basic types and result codes, named as Windows names them, so host code
// written for the COM contract reads the same on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// The contract's `long` is 32 bits wide; C++ `long` is 64 bits here and is
// never used for contract values.
using LONG = int32_t;
using ULONG = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using INT = int32_t;
using UINT = uint32_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using CHAR = char;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using DISPID = LONG;
using MEMBERID = DISPID;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;

// The calling convention of COM interface methods: __stdcall on 32-bit
// Windows, where a member function otherwise follows the compiler's own
// convention; there is only one convention elsewhere. Every interface method
// and every implementation of one carries it (the compiler refuses an
// override whose convention differs from the method it overrides).
#if defined(_WIN32) && defined(__i386__)
#define STDMETHODCALLTYPE __attribute__((stdcall))
#else
#define STDMETHODCALLTYPE
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Result codes. Unsigned hex literals are cast so the constants stay HRESULTs.
#define TARVIK_HR(x) static_cast<HRESULT>(static_cast<uint32_t>(x))
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = TARVIK_HR(0x80004001);
constexpr HRESULT E_NOINTERFACE = TARVIK_HR(0x80004002);
constexpr HRESULT E_POINTER = TARVIK_HR(0x80004003);
constexpr HRESULT E_ABORT = TARVIK_HR(0x80004004);
constexpr HRESULT E_FAIL = TARVIK_HR(0x80004005);
constexpr HRESULT E_UNEXPECTED = TARVIK_HR(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = TARVIK_HR(0x80070005);
constexpr HRESULT E_HANDLE = TARVIK_HR(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = TARVIK_HR(0x8007000E);
constexpr HRESULT E_INVALIDARG = TARVIK_HR(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = TARVIK_HR(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = TARVIK_HR(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = TARVIK_HR(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = TARVIK_HR(0x80040151);
constexpr HRESULT REGDB_E_KEYMISSING = TARVIK_HR(0x80040152);
constexpr HRESULT REGDB_E_CLASSNOTREG = TARVIK_HR(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = TARVIK_HR(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = TARVIK_HR(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = TARVIK_HR(0x800401F9);
constexpr HRESULT CO_E_OBJNOTREG = TARVIK_HR(0x800401FB);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = TARVIK_HR(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = TARVIK_HR(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = TARVIK_HR(0x80020006);
constexpr HRESULT DISP_E_BADVARTYPE = TARVIK_HR(0x80020008);
constexpr HRESULT DISP_E_OVERFLOW = TARVIK_HR(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = TARVIK_HR(0x8002000B);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = TARVIK_HR(0x8002801D);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = TARVIK_HR(0x80029C4A);
constexpr HRESULT SELFREG_E_TYPELIB = TARVIK_HR(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = TARVIK_HR(0x80040201);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// Win32 error code carried in an HRESULT (facility 7), as HRESULT_FROM_WIN32.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? S_OK : TARVIK_HR((code & 0xFFFFu) | 0x80070000u);
}

// Win32 error codes the runtime reports (GetLastError and friends).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_TOO_MANY_TCBS = 155;  // no thread could be created
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_TIMEOUT = 1460;

// GUIDs.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
constexpr bool IsEqualIID(REFIID a, REFIID b) {
    return IsEqualGUID(a, b);
}
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return IsEqualGUID(a, b);
}
constexpr bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Class contexts.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;  // 0x17

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

constexpr DWORD COINIT_MULTITHREADED = 0;
constexpr DWORD COINIT_APARTMENTTHREADED = 2;

// System kinds of a type library.
enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

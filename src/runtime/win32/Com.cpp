// COM and OLE Automation on Windows: the runtime's names are the system's.
// BSTRs come from oleaut32, so a host may free what the component allocated
// and the other way round; error information, class objects and activation
// are ole32's, shared with every other component in the process.
#include "tarvik/com.h"
#include "System.h"

namespace sys = tarvik::win32;

static_assert(sizeof(GUID) == 16, "GUID layout");
#ifdef _WIN64
static_assert(sizeof(VARIANT) == 24, "VARIANT layout");
#else
static_assert(sizeof(VARIANT) == 16, "VARIANT layout");
#endif

BSTR SysAllocString(const OLECHAR* psz) {
    return sys::SysAllocString(psz);
}
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    return sys::SysAllocStringLen(pch, cch);
}
BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    return sys::SysAllocStringByteLen(psz, len);
}
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    return sys::SysReAllocString(pbstr, psz);
}
void SysFreeString(BSTR bstr) {
    sys::SysFreeString(bstr);
}
UINT SysStringLen(BSTR bstr) {
    return sys::SysStringLen(bstr);
}
UINT SysStringByteLen(BSTR bstr) {
    return sys::SysStringByteLen(bstr);
}

void VariantInit(VARIANTARG* pvarg) {
    sys::VariantInit(pvarg);
}
HRESULT VariantClear(VARIANTARG* pvarg) {
    return sys::VariantClear(pvarg);
}
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    return sys::VariantCopy(pvargDest, pvargSrc);
}
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    return sys::VariantChangeType(pvargDest, pvarSrc, wFlags, vt);
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    return sys::CreateErrorInfo(reinterpret_cast<void**>(pperrinfo));
}
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    return sys::SetErrorInfo(dwReserved, perrinfo);
}
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    return sys::GetErrorInfo(dwReserved, reinterpret_cast<void**>(pperrinfo));
}

HRESULT CoInitialize(void*) {
    return sys::CoInitializeEx(COINIT_APARTMENTTHREADED);
}
HRESULT CoInitializeEx(void*, DWORD dwCoInit) {
    return sys::CoInitializeEx(dwCoInit);
}
void CoUninitialize() {
    sys::CoUninitialize();
}
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) {
    return sys::CoCreateInstance(&rclsid, pUnkOuter, dwClsContext, &riid, ppv);
}
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
    return sys::CoGetClassObject(&rclsid, dwClsContext, &riid, ppv);
}
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags,
                              DWORD* lpdwRegister) {
    return sys::CoRegisterClassObject(&rclsid, pUnk, dwClsContext, flags, lpdwRegister);
}
HRESULT CoRevokeClassObject(DWORD dwRegister) {
    return sys::CoRevokeClassObject(dwRegister);
}
void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD) {
    sys::CoFreeUnusedLibrariesEx(dwUnloadDelay);
}
void CoFreeUnusedLibraries() {
    sys::CoFreeUnusedLibrariesEx(0xFFFFFFFF);
}
void* CoTaskMemAlloc(size_t cb) {
    return sys::CoTaskMemAlloc(cb);
}
void CoTaskMemFree(void* pv) {
    sys::CoTaskMemFree(pv);
}
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
    return sys::CLSIDFromProgID(lpszProgID, lpclsid);
}
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    return sys::ProgIDFromCLSID(&clsid, lplpszProgID);
}

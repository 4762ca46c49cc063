// Exported entry points of libtarvik-companions.so.
#include "tarvik/tarvik.h"

extern "C" {
__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID, REFIID, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return S_OK; }
__attribute__((visibility("default"))) HRESULT DllRegisterServer() { return S_OK; }
__attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return S_OK; }
}

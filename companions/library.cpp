// Exported entry points of libtarvik-companions.so.
#include "Module.h"
#include "Registration.h"
#include "tarvik/comptr.h"

using namespace tarvik;
using namespace tarvik::companions;

#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))

// Each request gets a class object of its own, which holds a module lock
// while it lives: a host that keeps only a class object still keeps the
// library loaded.
TARVIK_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const ClassInfo* info = FindClass(rclsid);
    if (!info)
        return CLASS_E_CLASSNOTAVAILABLE;
    ComPtr<IClassFactory> factory =
        ComPtr<IClassFactory>::Adopt(NewClassFactory(Creator(info->create), &Module()));
    if (!factory)
        return E_OUTOFMEMORY;
    return factory->QueryInterface(riid, ppv);
}

TARVIK_EXPORT HRESULT DllCanUnloadNow() {
    return Module().CanUnload() ? S_OK : S_FALSE;
}

TARVIK_EXPORT HRESULT DllRegisterServer() {
    return RegisterClasses();
}

TARVIK_EXPORT HRESULT DllUnregisterServer() {
    return UnregisterClasses();
}

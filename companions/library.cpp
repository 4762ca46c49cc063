// Exported entry points of libtarvik-companions.so.
#include "Module.h"
#include "Registration.h"
#include "tarvik/comptr.h"

using namespace tarvik;
using namespace tarvik::companions;

#if defined(_WIN32) && defined(__i386__)
// Exported through the module-definition file, with the system's calling
// convention for entry points.
#define TARVIK_EXPORT extern "C" __attribute__((stdcall))
#elif defined(_WIN32)
#define TARVIK_EXPORT extern "C"
#else
#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

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

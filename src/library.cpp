// Exported entry points of libtarvik.so. The work is done in tarvik_core
// (frame/ClassTable.cpp), which the tests link directly.
#include "frame/ClassTable.h"
#include "frame/Module.h"

#if defined(_WIN32) && defined(__i386__)
// Exported through the module-definition file, with the system's calling
// convention for entry points.
#define TARVIK_EXPORT extern "C" __attribute__((stdcall))
#elif defined(_WIN32)
#define TARVIK_EXPORT extern "C"
#else
#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TARVIK_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return tarvik::frame::GetClassObject(rclsid, riid, ppv);
}

TARVIK_EXPORT HRESULT DllCanUnloadNow() {
    return tarvik::frame::CanUnloadNow();
}

TARVIK_EXPORT HRESULT DllRegisterServer() {
    return tarvik::frame::RegisterServer(tarvik::frame::ModulePath());
}

TARVIK_EXPORT HRESULT DllUnregisterServer() {
    return tarvik::frame::UnregisterServer();
}

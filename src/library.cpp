// Exported entry points of libtarvik.so. The work is done in tarvik_core
// (frame/ClassTable.cpp), which the tests link directly.
#include "frame/ClassTable.h"
#include "frame/Module.h"

#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))

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

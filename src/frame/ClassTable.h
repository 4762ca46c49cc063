// The server frame behind the exported entry points of libtarvik.so: the
// table of creatable classes, their class objects, DllCanUnloadNow and
// (un)registration. library.cpp forwards each entry point here.
#pragma once

#include <span>
#include <string>

#include "tarvik/com.h"
#include "tarvik/object.h"

namespace tarvik::frame {

// One creatable class. The table's order is the order in which classes are
// registered, unregistered and searched.
struct ClassEntry {
    const CLSID* clsid;
    int registryScript;  // REGISTRY resource with the class's registration script
    HRESULT (*create)(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv) noexcept;
};

std::span<const ClassEntry> ClassTable();

// DllGetClassObject: E_POINTER for a null ppv, CLASS_E_CLASSNOTAVAILABLE for a
// class not in the table; the class object is made on first request and kept
// until the module goes away.
HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

// DllCanUnloadNow: S_OK when no object and no LockServer(TRUE) is left.
HRESULT CanUnloadNow();

// DllRegisterServer with the library at `modulePath`: each class's script in
// table order, then the type library (help directory: the path's directory).
// Stops at the first failure and returns it.
HRESULT RegisterServer(const std::string& modulePath);

// DllUnregisterServer: each class's script in removal mode, then the type
// library. Failures are not looked at; always S_OK.
HRESULT UnregisterServer();

// Releases the cached class objects, in table order (at unload).
void ReleaseClassObjects();

}  // namespace tarvik::frame

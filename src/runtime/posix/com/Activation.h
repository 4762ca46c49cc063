// The two sources of class objects behind CoGetClassObject.
#pragma once

#include <string>

#include "tarvik/com.h"

namespace tarvik::activation {

// A class object the host registered in this process, with a new reference;
// null when there is none.
IUnknown* FindRegisteredClass(REFCLSID clsid);

// Asks the in-process server library at `path` (loaded on first use and kept)
// for its class object.
HRESULT GetClassObjectFromLibrary(const std::string& path, REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace tarvik::activation

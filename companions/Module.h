// Module state of libtarvik-companions: the lock count behind
// DllCanUnloadNow, the class table and small helpers the components share.
#pragma once

#include <string>
#include <string_view>

#include "tarvik/object.h"

namespace tarvik::companions {

// Live objects and LockServer calls of this library.
ModuleLock& Module();

// One creatable class of the library.
struct ClassInfo {
    const CLSID* clsid;
    const char* progId;        // version-independent ProgID, e.g. "Tarvik.CommonData"
    const char* friendlyName;  // default value of the CLSID key
    HRESULT (*create)(IUnknown* outer, REFIID iid, void** ppv);
};

// The classes of this library, in registration order.
const ClassInfo* Classes(size_t* count);
const ClassInfo* FindClass(REFCLSID clsid);

// Full path of this library (as loaded), empty when it cannot be found.
std::string LibraryPath();

// Sets the thread's error information: `iid`, source `progId`, `description`.
void SetError(REFIID iid, const char* progId, std::u16string_view description) noexcept;

// A string value kept under this class's registry key (HKCR\CLSID\{...}),
// e.g. the "LogFile" of the log writer. Empty when not set.
std::string ClassSetting(REFCLSID clsid, std::string_view valueName);

}  // namespace tarvik::companions

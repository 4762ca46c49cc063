// Registration of the companion classes in the registry store.
#pragma once

#include "tarvik/types.h"

namespace tarvik::companions {
// Writes, for every class, HKCR\CLSID\{...} (friendly name, ProgID,
// InprocServer32 = this library with ThreadingModel "Both") and HKCR\<ProgID>
// (friendly name, CLSID). Values kept under a CLSID key by an administrator
// ("LogFile", "EventFile") survive a new registration.
HRESULT RegisterClasses();
// Removes the CLSID keys whole, and the ProgID keys that still name our class.
HRESULT UnregisterClasses();
}  // namespace tarvik::companions

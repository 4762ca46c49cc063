// How the server frame (and tests, and the demo) make a line object without
// seeing its insides.
#pragma once

#include "tarvik/com.h"
#include "tarvik/object.h"

namespace tarvik::line {

// Creates a line, plain or aggregated (only IUnknown may be asked for with an
// outer object), runs its construction step and asks it for `iid`. The object
// holds one lock on `module` (may be null) while it lives.
HRESULT CreateModemLine(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv) noexcept;

}  // namespace tarvik::line

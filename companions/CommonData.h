// CommonData: the property bag hosts and the component pass each other.
#pragma once

#include "tarvik/interfaces.h"

namespace tarvik::companions {
HRESULT CreateCommonData(IUnknown* outer, REFIID iid, void** ppv);
}

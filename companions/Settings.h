// The modem-settings component that a session creates when a modem is added.
#pragma once

#include "tarvik/interfaces.h"

namespace tarvik::companions {
HRESULT CreateSettings(IUnknown* outer, REFIID iid, void** ppv);
}

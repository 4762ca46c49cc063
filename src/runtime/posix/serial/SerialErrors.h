// errno -> Win32-style error codes for the serial device (mapping listed in
// tarvik/serial.h).
#pragma once

#include "tarvik/types.h"

namespace tarvik::serial_detail {
DWORD Win32FromErrno(int err);
}

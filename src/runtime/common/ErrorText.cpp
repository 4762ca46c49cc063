// Short reasons for the system error codes a host can act on. Both runtimes
// report Win32 codes (the Linux one maps errno to them), so this file is
// shared by both.
#include <string>

#include "tarvik/sync.h"

namespace tarvik {

std::string SystemErrorReason(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return "no such device";
        case ERROR_SHARING_VIOLATION:
            return "in use";
        case ERROR_ACCESS_DENIED:
            return "permission denied";
        case ERROR_TOO_MANY_OPEN_FILES:
            return "too many open files";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "not enough memory";
        case ERROR_TOO_MANY_TCBS:
            return "no thread could be started";
        case ERROR_NO_SYSTEM_RESOURCES:
            return "not enough system resources";
        case ERROR_DEVICE_NOT_CONNECTED:
            return "device not connected";
        case ERROR_NOT_SUPPORTED:
            return "not a serial device";
        default:
            return "system error " + std::to_string(code);
    }
}

}  // namespace tarvik

// The per-port end-of-call events: the same names and rules on every
// platform, so this file is shared by both runtimes.
#include <cctype>
#include <string>

#include "tarvik/sync.h"

namespace tarvik {

std::string EndOfCallEventName(const char* portName) {
    if (!portName || !*portName)
        return {};
    std::string name(portName);
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "Tarvik." + name;
}

BOOL SignalEndOfCall(const char* portName) {
    std::string name = EndOfCallEventName(portName);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SignalNamedEvent(name.c_str());
}

}  // namespace tarvik

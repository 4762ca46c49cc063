// "ANSI" on Windows is the process's ANSI code page (CP_ACP); characters it
// cannot hold become '?', as the system converts them.
#include <cstring>

#include "System.h"
#include "tarvik/com.h"
#include "tarvik/text.h"

namespace tarvik {

std::string ToAnsi(std::u16string_view text) {
    return win32::WideToAnsi(text.data(), text.size());
}
std::string ToAnsi(const OLECHAR* text) {
    return text ? ToAnsi(std::u16string_view(text)) : std::string();
}
std::string BstrToAnsi(BSTR text) {
    return text ? ToAnsi(std::u16string_view(text, SysStringLen(text))) : std::string();
}
std::u16string FromAnsi(std::string_view text) {
    return win32::AnsiToWide(text.data(), text.size());
}
BSTR AnsiToBstr(std::string_view text) {
    std::u16string w = FromAnsi(text);
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

}  // namespace tarvik

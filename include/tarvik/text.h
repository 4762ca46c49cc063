// Text conversions. "ANSI" is the character set of the process locale (what
// the component's log texts, port names and modem commands are made of);
// characters it cannot represent become '?'.
#pragma once

#include <string>
#include <string_view>

#include "tarvik/types.h"

namespace tarvik {
std::string ToAnsi(std::u16string_view text);
std::string ToAnsi(const OLECHAR* text);  // null gives ""
std::string BstrToAnsi(BSTR text);        // uses the stored length; null gives ""
std::u16string FromAnsi(std::string_view text);
// A new BSTR holding `text` converted from ANSI; the caller frees it.
BSTR AnsiToBstr(std::string_view text);

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
}  // namespace tarvik

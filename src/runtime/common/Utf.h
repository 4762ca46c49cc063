// Code-point helpers shared by the text conversions.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::text {

inline constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c);
void AppendUtf16(std::u16string& out, char32_t c);
// Decode one code point at *pos and advance; ill-formed input gives kReplacement.
char32_t NextUtf16(std::u16string_view s, size_t* pos);
char32_t NextUtf8(std::string_view s, size_t* pos);
bool IsAscii(std::string_view s);
bool IsAscii(std::u16string_view s);

}  // namespace tarvik::text

// UTF-16 <-> UTF-8. Hand-written rather than iconv: these run for every port
// name, log text and registry value, and must never fail. Ill-formed input
// (a lone surrogate, a broken UTF-8 sequence) becomes U+FFFD instead of being
// dropped silently or passed through as garbage.
#include "common/Utf.h"

#include "tarvik/text.h"

namespace tarvik {
namespace text {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

char32_t NextUtf16(std::u16string_view s, size_t* pos) {
    char16_t u = s[(*pos)++];
    if (u < 0xD800 || u > 0xDFFF)
        return u;
    if (u <= 0xDBFF && *pos < s.size()) {
        char16_t v = s[*pos];
        if (v >= 0xDC00 && v <= 0xDFFF) {
            ++*pos;
            return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00);
        }
    }
    return kReplacement;
}

char32_t NextUtf8(std::string_view s, size_t* pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char b = byte((*pos)++);
    if (b < 0x80)
        return b;
    int extra;
    char32_t c;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3, c = b & 0x07, min = 0x10000;
    } else {
        return kReplacement;
    }
    // A sequence cut short yields one replacement and resumes at the byte that
    // broke it, so the following character survives.
    for (int i = 0; i < extra; ++i) {
        if (*pos >= s.size() || (byte(*pos) & 0xC0) != 0x80)
            return kReplacement;
        c = (c << 6) | (byte((*pos)++) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kReplacement;
    return c;
}

bool IsAscii(std::string_view s) {
    for (char ch : s)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

bool IsAscii(std::u16string_view s) {
    for (char16_t ch : s)
        if (ch >= 0x80)
            return false;
    return true;
}

}  // namespace text

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        text::AppendUtf8(out, text::NextUtf16(text, &i));
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        text::AppendUtf16(out, text::NextUtf8(text, &i));
    return out;
}

}  // namespace tarvik

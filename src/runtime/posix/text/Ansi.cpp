// "ANSI" text: the character set of the process locale, as nl_langinfo
// reports it for the calling thread's locale. Plain ASCII is the same in every
// character set glibc offers as a locale charset, so ASCII text (nearly all of
// it: port names, modem commands, log texts) never reaches iconv. UTF-8
// locales use the hand-written converter; anything else goes through iconv
// descriptors kept per thread, because an iconv_t carries conversion state and
// must not be shared.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>

#include <bit>
#include <cstring>

#include "common/Utf.h"
#include "tarvik/com.h"
#include "tarvik/text.h"

namespace tarvik {
namespace {

constexpr const char* kUtf16Native =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

bool IsUtf8Name(const char* cs) {
    return strcasecmp(cs, "UTF-8") == 0 || strcasecmp(cs, "UTF8") == 0;
}

// The thread's converters for the current codeset, reopened when the locale's
// codeset changes.
class Converters {
  public:
    ~Converters() { Close(); }

    // Null when iconv does not know the codeset; callers then treat every
    // non-ASCII character as unrepresentable.
    iconv_t ToAnsi(const char* codeset) {
        Select(codeset);
        return to_;
    }
    iconv_t FromAnsi(const char* codeset) {
        Select(codeset);
        return from_;
    }

  private:
    static iconv_t None() { return reinterpret_cast<iconv_t>(-1); }

    void Select(const char* codeset) {
        if (opened_ && codeset_ == codeset)
            return;
        Close();
        codeset_ = codeset;
        opened_ = true;
        to_ = iconv_open(codeset, kUtf16Native);
        from_ = iconv_open(kUtf16Native, codeset);
    }
    void Close() {
        if (to_ != None())
            iconv_close(to_);
        if (from_ != None())
            iconv_close(from_);
        to_ = from_ = None();
        opened_ = false;
    }

    std::string codeset_;
    bool opened_ = false;
    iconv_t to_ = None();
    iconv_t from_ = None();

  public:
    static bool Valid(iconv_t cd) { return cd != None(); }
};

thread_local Converters t_converters;

const char* CurrentCodeset() {
    const char* cs = nl_langinfo(CODESET);
    return (cs && *cs) ? cs : "ANSI_X3.4-1968";
}

std::string ToAnsiSlow(std::u16string_view text) {
    const char* codeset = CurrentCodeset();
    std::string out;
    if (IsUtf8Name(codeset)) {
        out.reserve(text.size());
        for (size_t i = 0; i < text.size();) {
            char32_t c = text::NextUtf16(text, &i);
            if (c == text::kReplacement)
                c = U'?';  // a lone surrogate has no UTF-8 form
            text::AppendUtf8(out, c);
        }
        return out;
    }
    iconv_t cd = t_converters.ToAnsi(codeset);
    if (!Converters::Valid(cd)) {
        for (size_t i = 0; i < text.size();) {
            char32_t c = text::NextUtf16(text, &i);
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(char16_t);
    char buf[256];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, o - buf);
        if (r != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // The character at `in` cannot be represented (or is a broken
        // surrogate): one '?' for the whole character, then carry on.
        size_t consumed = text.size() - inLeft / sizeof(char16_t);
        size_t next = consumed;
        text::NextUtf16(text, &next);
        out.push_back('?');
        in += (next - consumed) * sizeof(char16_t);
        inLeft -= (next - consumed) * sizeof(char16_t);
    }
    char* o = buf;
    size_t oLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &o, &oLeft);  // stateful charsets return to the initial state
    out.append(buf, o - buf);
    return out;
}

std::u16string FromAnsiSlow(std::string_view text) {
    const char* codeset = CurrentCodeset();
    if (IsUtf8Name(codeset))
        return Utf8ToUtf16(text);
    std::u16string out;
    iconv_t cd = t_converters.FromAnsi(codeset);
    if (!Converters::Valid(cd)) {
        for (char ch : text) {
            auto b = static_cast<unsigned char>(ch);
            out.push_back(b < 0x80 ? b : static_cast<char16_t>(text::kReplacement));
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char16_t buf[128];
    while (inLeft > 0) {
        char* o = reinterpret_cast<char*>(buf);
        size_t oLeft = sizeof buf;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, (o - reinterpret_cast<char*>(buf)) / sizeof(char16_t));
        if (r != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // EILSEQ: a byte that is no character; EINVAL: the text ends inside one.
        out.push_back(static_cast<char16_t>(text::kReplacement));
        ++in;
        --inLeft;
    }
    return out;
}

}  // namespace

std::string ToAnsi(std::u16string_view text) {
    if (text::IsAscii(text))
        return std::string(text.begin(), text.end());
    return ToAnsiSlow(text);
}

std::string ToAnsi(const OLECHAR* text) {
    if (!text)
        return {};
    return ToAnsi(std::u16string_view(text));
}

std::string BstrToAnsi(BSTR text) {
    if (!text)
        return {};
    return ToAnsi(std::u16string_view(text, SysStringLen(text)));
}

std::u16string FromAnsi(std::string_view text) {
    if (text::IsAscii(text))
        return std::u16string(text.begin(), text.end());
    return FromAnsiSlow(text);
}

BSTR AnsiToBstr(std::string_view text) {
    if (text::IsAscii(text)) {
        BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
        if (!b)
            return nullptr;
        for (size_t i = 0; i < text.size(); ++i)
            b[i] = static_cast<unsigned char>(text[i]);
        return b;
    }
    std::u16string wide = FromAnsiSlow(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace tarvik

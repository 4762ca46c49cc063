#include "DataText.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace tarvik::companions {
namespace {

char16_t FoldCase(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return c + 0x20;
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;  // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
        return c + 0x20;  // Greek
    if (c >= 0x410 && c <= 0x42F)
        return c + 0x20;  // Cyrillic
    if (c >= 0x400 && c <= 0x40F)
        return c + 0x50;
    return c;
}

std::u16string Folded(std::u16string_view s) {
    std::u16string r(s);
    for (char16_t& c : r)
        c = FoldCase(c);
    return r;
}

struct TypeName {
    VARTYPE vt;
    const char* name;
};
constexpr TypeName kTypes[] = {
    {VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"},       {VT_I1, "I1"},
    {VT_I2, "I2"},       {VT_I4, "I4"},           {VT_I8, "I8"},
    {VT_UI1, "UI1"},     {VT_UI2, "UI2"},         {VT_UI4, "UI4"},
    {VT_UI8, "UI8"},     {VT_INT, "INT"},         {VT_UINT, "UINT"},
    {VT_R4, "R4"},       {VT_R8, "R8"},           {VT_CY, "CY"},
    {VT_DATE, "DATE"},   {VT_BOOL, "BOOL"},       {VT_ERROR, "ERROR"},
    {VT_BSTR, "BSTR"},   {VT_UNKNOWN, "UNKNOWN"}, {VT_DISPATCH, "DISPATCH"},
};

const char* NameOfType(VARTYPE vt) {
    for (const TypeName& t : kTypes)
        if (t.vt == vt)
            return t.name;
    return nullptr;
}

bool TypeOfName(std::u16string_view name, VARTYPE* vt) {
    for (const TypeName& t : kTypes) {
        size_t n = std::strlen(t.name);
        if (name.size() != n)
            continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i)
            same = name[i] == static_cast<char16_t>(t.name[i]);
        if (same) {
            *vt = t.vt;
            return true;
        }
    }
    return false;
}

void AppendEscaped(std::u16string* out, std::u16string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char16_t c : text) {
        switch (c) {
            case u'\\':
                out->append(u"\\\\");
                break;
            case u'\t':
                out->append(u"\\t");
                break;
            case u'\n':
                out->append(u"\\n");
                break;
            case u'\r':
                out->append(u"\\r");
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out->append(u"\\u");
                    for (int shift = 12; shift >= 0; shift -= 4)
                        out->push_back(kHex[(c >> shift) & 0xF]);
                } else {
                    out->push_back(c);
                }
        }
    }
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

bool Unescape(std::u16string_view text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c != u'\\') {
            out->push_back(c);
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
            case u'\\':
                out->push_back(u'\\');
                break;
            case u't':
                out->push_back(u'\t');
                break;
            case u'n':
                out->push_back(u'\n');
                break;
            case u'r':
                out->push_back(u'\r');
                break;
            case u'u': {
                if (i + 4 >= text.size())
                    return false;
                unsigned v = 0;
                for (int k = 1; k <= 4; ++k) {
                    int h = HexValue(text[i + k]);
                    if (h < 0)
                        return false;
                    v = v * 16 + static_cast<unsigned>(h);
                }
                out->push_back(static_cast<char16_t>(v));
                i += 4;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

template <class T>
std::string NumberText(T v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

template <class T>
std::string FloatText(T v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v < 0 ? "-inf" : "inf";
    return NumberText(v);  // shortest text that reads back to the same value
}

// The value of a field as the format writes it (ASCII for every type but BSTR).
std::u16string ValueText(const VARIANT& v) {
    std::string a;
    switch (v.vt) {
        case VT_I1:
            a = NumberText(static_cast<int>(v.cVal));
            break;
        case VT_I2:
            a = NumberText(v.iVal);
            break;
        case VT_I4:
            a = NumberText(v.lVal);
            break;
        case VT_I8:
            a = NumberText(v.llVal);
            break;
        case VT_UI1:
            a = NumberText(static_cast<unsigned>(v.bVal));
            break;
        case VT_UI2:
            a = NumberText(v.uiVal);
            break;
        case VT_UI4:
            a = NumberText(v.ulVal);
            break;
        case VT_UI8:
            a = NumberText(v.ullVal);
            break;
        case VT_INT:
            a = NumberText(v.intVal);
            break;
        case VT_UINT:
            a = NumberText(v.uintVal);
            break;
        case VT_R4:
            a = FloatText(v.fltVal);
            break;
        case VT_R8:
        case VT_DATE:
            a = FloatText(v.dblVal);
            break;
        case VT_CY:
            a = NumberText(v.llVal);
            break;
        case VT_BOOL:
            a = NumberText(v.boolVal);
            break;
        case VT_ERROR:
            a = NumberText(v.scode);
            break;
        case VT_BSTR:
            return v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"";
        default:
            break;  // EMPTY, NULL and objects have no text
    }
    return std::u16string(a.begin(), a.end());
}

template <class T>
bool ParseInteger(std::string_view s, T* out) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

template <class T>
bool ParseFloat(std::string_view s, T* out) {
    if (s == "nan") {
        *out = std::numeric_limits<T>::quiet_NaN();
        return true;
    }
    if (s == "inf" || s == "-inf") {
        *out =
            s[0] == '-' ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
        return true;
    }
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseValue(VARTYPE vt, std::u16string_view raw, VARIANT* v) {
    if (vt == VT_BSTR) {
        std::u16string text;
        if (!Unescape(raw, &text))
            return false;
        v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!v->bstrVal)
            return false;
        v->vt = VT_BSTR;
        return true;
    }
    std::string a;
    for (char16_t c : raw) {
        if (c >= 0x80)
            return false;
        a.push_back(static_cast<char>(c));
    }
    bool ok = false;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            ok = a.empty();
            break;
        // An object cannot travel as text: the field comes back empty.
        case VT_UNKNOWN:
        case VT_DISPATCH:
            v->vt = VT_EMPTY;
            return a.empty();
        case VT_I1: {
            int x;
            ok = ParseInteger(a, &x) && x >= -128 && x <= 127;
            if (ok)
                v->cVal = static_cast<char>(x);
            break;
        }
        case VT_I2:
            ok = ParseInteger(a, &v->iVal);
            break;
        case VT_I4:
            ok = ParseInteger(a, &v->lVal);
            break;
        case VT_I8:
        case VT_CY:
            ok = ParseInteger(a, &v->llVal);
            break;
        case VT_UI1:
            ok = ParseInteger(a, &v->bVal);
            break;
        case VT_UI2:
            ok = ParseInteger(a, &v->uiVal);
            break;
        case VT_UI4:
            ok = ParseInteger(a, &v->ulVal);
            break;
        case VT_UI8:
            ok = ParseInteger(a, &v->ullVal);
            break;
        case VT_INT:
            ok = ParseInteger(a, &v->intVal);
            break;
        case VT_UINT:
            ok = ParseInteger(a, &v->uintVal);
            break;
        case VT_R4:
            ok = ParseFloat(a, &v->fltVal);
            break;
        case VT_R8:
        case VT_DATE:
            ok = ParseFloat(a, &v->dblVal);
            break;
        case VT_ERROR:
            ok = ParseInteger(a, &v->scode);
            break;
        case VT_BOOL:
            if (a == "true" || a == "True") {
                v->boolVal = VARIANT_TRUE;
                ok = true;
            } else if (a == "false" || a == "False") {
                v->boolVal = VARIANT_FALSE;
                ok = true;
            } else {
                ok = ParseInteger(a, &v->boolVal);
            }
            break;
        default:
            return false;
    }
    if (ok)
        v->vt = vt;
    return ok;
}

std::u16string LineError(size_t line, const char* what) {
    std::string s = "line " + std::to_string(line) + ": " + what;
    return std::u16string(s.begin(), s.end());
}

}  // namespace

bool FieldNamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return true;
}

bool IsStorableType(VARTYPE vt) {
    return NameOfType(vt) != nullptr;
}

bool IsCallerIdField(std::u16string_view name) {
    std::u16string f = Folded(name);
    for (const char16_t* marker : {u"caller", u"csid", u"nmbr"})
        if (f.find(marker) != std::u16string::npos)
            return true;
    return false;
}

void AppendFieldText(std::u16string* out, const Field& field, bool mask) {
    AppendEscaped(out, field.name);
    out->push_back(u'\t');
    if (mask && IsCallerIdField(field.name) && field.value.vt != VT_EMPTY &&
        field.value.vt != VT_NULL && field.value.vt != VT_UNKNOWN &&
        field.value.vt != VT_DISPATCH) {
        // Every character but the last four becomes '*'; short values are
        // hidden whole. The masked value is text, whatever the field held.
        std::u16string text = ValueText(field.value);
        size_t keep = text.size() > 4 ? 4 : 0;
        for (size_t i = 0; i + keep < text.size(); ++i)
            text[i] = u'*';
        out->append(u"BSTR\t");
        AppendEscaped(out, text);
        out->push_back(u'\n');
        return;
    }
    const char* type = NameOfType(field.value.vt);
    for (const char* p = type ? type : "EMPTY"; *p; ++p)
        out->push_back(static_cast<char16_t>(*p));
    out->push_back(u'\t');
    if (field.value.vt == VT_BSTR)
        AppendEscaped(out, ValueText(field.value));
    else
        out->append(ValueText(field.value));
    out->push_back(u'\n');
}

bool ParseFieldText(std::u16string_view text, std::vector<Field>* fields, std::u16string* error) {
    fields->clear();
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        size_t end = text.find(u'\n');
        std::u16string_view line = text.substr(0, end);
        text = end == std::u16string_view::npos ? std::u16string_view() : text.substr(end + 1);
        // A "\r" of a CRLF line end: the format escapes every carriage return
        // it writes, so a raw one can only be a line end.
        if (!line.empty() && line.back() == u'\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        size_t tab1 = line.find(u'\t');
        size_t tab2 = tab1 == std::u16string_view::npos ? tab1 : line.find(u'\t', tab1 + 1);
        if (tab2 == std::u16string_view::npos) {
            *error = LineError(lineNo, "expected name, type and value separated by tabs");
            return false;
        }
        Field f;
        if (!Unescape(line.substr(0, tab1), &f.name)) {
            *error = LineError(lineNo, "bad escape in the field name");
            return false;
        }
        VARTYPE vt;
        if (!TypeOfName(line.substr(tab1 + 1, tab2 - tab1 - 1), &vt)) {
            *error = LineError(lineNo, "unknown value type");
            return false;
        }
        if (!ParseValue(vt, line.substr(tab2 + 1), &f.value)) {
            *error = LineError(lineNo, "value does not match its type");
            return false;
        }
        bool replaced = false;
        for (Field& existing : *fields)
            if (FieldNamesEqual(existing.name, f.name)) {
                existing.value = f.value;
                replaced = true;
                break;
            }
        if (!replaced)
            fields->push_back(std::move(f));
    }
    return true;
}

}  // namespace tarvik::companions

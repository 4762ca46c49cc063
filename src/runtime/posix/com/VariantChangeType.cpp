// VariantChangeType: COM's coercion rules for the types this runtime knows.
//
// Texts are read and written with '.' as the decimal separator whatever the
// locale, so a number written to a BSTR by one process reads back the same in
// another. Digit grouping and the "&H" forms are not accepted.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "com/VariantTypes.h"
#include "tarvik/com.h"

namespace {

using Int = __int128;

// A number on its way between two types.
struct Number {
    bool real = false;
    Int i = 0;       // when !real
    double d = 0.0;  // when real
    bool fromBool = false;
};

bool IsInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
            return true;
        default:
            return false;
    }
}

bool IsNumeric(VARTYPE vt) {
    return IsInteger(vt) || vt == VT_R4 || vt == VT_R8;
}

void IntegerRange(VARTYPE vt, Int* lo, Int* hi) {
    switch (vt) {
        case VT_I1:
            *lo = INT8_MIN, *hi = INT8_MAX;
            break;
        case VT_UI1:
            *lo = 0, *hi = UINT8_MAX;
            break;
        case VT_I2:
            *lo = INT16_MIN, *hi = INT16_MAX;
            break;
        case VT_UI2:
            *lo = 0, *hi = UINT16_MAX;
            break;
        case VT_I4:
        case VT_INT:
            *lo = INT32_MIN, *hi = INT32_MAX;
            break;
        case VT_UI4:
        case VT_UINT:
            *lo = 0, *hi = UINT32_MAX;
            break;
        case VT_I8:
            *lo = INT64_MIN, *hi = INT64_MAX;
            break;
        default:
            *lo = 0, *hi = UINT64_MAX;
            break;  // VT_UI8
    }
}

Number ReadNumber(const VARIANT& v) {
    Number n;
    switch (v.vt) {
        case VT_I1:
            n.i = static_cast<signed char>(v.cVal);
            break;
        case VT_UI1:
            n.i = v.bVal;
            break;
        case VT_I2:
            n.i = v.iVal;
            break;
        case VT_UI2:
            n.i = v.uiVal;
            break;
        case VT_I4:
            n.i = v.lVal;
            break;
        case VT_INT:
            n.i = v.intVal;
            break;
        case VT_UI4:
            n.i = v.ulVal;
            break;
        case VT_UINT:
            n.i = v.uintVal;
            break;
        case VT_I8:
            n.i = v.llVal;
            break;
        case VT_UI8:
            n.i = v.ullVal;
            break;
        case VT_R4:
            n.real = true, n.d = v.fltVal;
            break;
        case VT_R8:
            n.real = true, n.d = v.dblVal;
            break;
        case VT_BOOL:
            n.i = v.boolVal ? -1 : 0, n.fromBool = true;
            break;
        default:
            break;  // VT_EMPTY reads as zero
    }
    return n;
}

HRESULT StoreInteger(VARIANT* out, VARTYPE vt, Int value) {
    out->vt = vt;
    switch (vt) {
        case VT_I1:
            out->cVal = static_cast<char>(static_cast<int8_t>(value));
            break;
        case VT_UI1:
            out->bVal = static_cast<BYTE>(value);
            break;
        case VT_I2:
            out->iVal = static_cast<SHORT>(value);
            break;
        case VT_UI2:
            out->uiVal = static_cast<USHORT>(value);
            break;
        case VT_I4:
            out->lVal = static_cast<LONG>(value);
            break;
        case VT_INT:
            out->intVal = static_cast<INT>(value);
            break;
        case VT_UI4:
            out->ulVal = static_cast<ULONG>(value);
            break;
        case VT_UINT:
            out->uintVal = static_cast<UINT>(value);
            break;
        case VT_I8:
            out->llVal = static_cast<int64_t>(value);
            break;
        default:
            out->ullVal = static_cast<uint64_t>(value);
            break;
    }
    return S_OK;
}

HRESULT StoreNumber(VARIANT* out, VARTYPE vt, const Number& n) {
    if (vt == VT_R8 || vt == VT_R4) {
        double d = n.real ? n.d : static_cast<double>(n.i);
        if (vt == VT_R8) {
            out->vt = VT_R8;
            out->dblVal = d;
            return S_OK;
        }
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            return DISP_E_OVERFLOW;
        out->vt = VT_R4;
        out->fltVal = static_cast<float>(d);
        return S_OK;
    }
    Int lo, hi;
    IntegerRange(vt, &lo, &hi);
    if (n.fromBool) {
        // COM stores TRUE into an unsigned type as all bits set, not as an
        // overflow.
        return StoreInteger(out, vt, lo == 0 && n.i ? hi : n.i);
    }
    Int value = n.i;
    if (n.real) {
        if (!std::isfinite(n.d))
            return DISP_E_OVERFLOW;
        // Round half to even, as COM does; the default rounding mode is that.
        double r = std::nearbyint(n.d);
        if (std::fabs(r) >= 0x1p64)
            return DISP_E_OVERFLOW;
        value = static_cast<Int>(static_cast<uint64_t>(std::fabs(r)));
        if (r < 0)
            value = -value;
    }
    if (value < lo || value > hi)
        return DISP_E_OVERFLOW;
    return StoreInteger(out, vt, value);
}

std::string Trim(std::string s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = s.size();
    while (b < e && space(s[b]))
        ++b;
    while (e > b && space(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// The BSTR as ASCII; false when it holds anything else (no number or boolean
// word contains other characters).
bool AsciiOf(BSTR b, std::string* out) {
    UINT n = SysStringLen(b);
    out->clear();
    for (UINT i = 0; i < n; ++i) {
        if (b[i] >= 0x80 || b[i] == 0)
            return false;
        out->push_back(static_cast<char>(b[i]));
    }
    *out = Trim(*out);
    return true;
}

HRESULT ParseNumber(BSTR b, Number* n) {
    std::string s;
    if (!AsciiOf(b, &s) || s.empty())
        return DISP_E_TYPEMISMATCH;
    size_t p = 0;
    bool negative = false;
    if (s[p] == '+' || s[p] == '-')
        negative = s[p++] == '-';
    size_t digitsStart = p;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9')
        ++p;
    size_t intDigits = p - digitsStart;
    bool integer = p == s.size();
    if (integer) {
        if (intDigits == 0)
            return DISP_E_TYPEMISMATCH;
        Int v = 0;
        for (size_t i = digitsStart; i < p; ++i) {
            v = v * 10 + (s[i] - '0');
            if (v > static_cast<Int>(UINT64_MAX))
                return DISP_E_OVERFLOW;
        }
        n->i = negative ? -v : v;
        return S_OK;
    }
    // Fraction and exponent: checked by hand so that from_chars' own laxness
    // (it accepts "inf", "nan") lets nothing else through.
    size_t fracDigits = 0;
    if (s[p] == '.') {
        ++p;
        size_t f = p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9')
            ++p;
        fracDigits = p - f;
    }
    if (intDigits + fracDigits == 0)
        return DISP_E_TYPEMISMATCH;
    if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
        ++p;
        if (p < s.size() && (s[p] == '+' || s[p] == '-'))
            ++p;
        size_t e = p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9')
            ++p;
        if (p == e)
            return DISP_E_TYPEMISMATCH;
    }
    if (p != s.size())
        return DISP_E_TYPEMISMATCH;
    double d = 0;
    const char* first = s.data() + (s[0] == '+' ? 1 : 0);
    auto r = std::from_chars(first, s.data() + s.size(), d);
    if (r.ec == std::errc::result_out_of_range)
        return DISP_E_OVERFLOW;
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
        return DISP_E_TYPEMISMATCH;
    n->real = true;
    n->d = d;
    return S_OK;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

HRESULT ToBool(VARIANT* out, const VARIANT& in) {
    bool value;
    if (in.vt == VT_BSTR) {
        std::string s;
        if (AsciiOf(in.bstrVal, &s) && EqualsNoCase(s, "true")) {
            value = true;
        } else if (AsciiOf(in.bstrVal, &s) && EqualsNoCase(s, "false")) {
            value = false;
        } else {
            Number n;
            HRESULT hr = ParseNumber(in.bstrVal, &n);
            // A number too long for any integer type is still not zero.
            if (hr == DISP_E_OVERFLOW) {
                value = true;
            } else if (FAILED(hr)) {
                return hr;
            } else {
                value = n.real ? n.d != 0.0 : n.i != 0;
            }
        }
    } else if (in.vt == VT_EMPTY || IsNumeric(in.vt)) {
        Number n = ReadNumber(in);
        value = n.real ? n.d != 0.0 : n.i != 0;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    out->vt = VT_BOOL;
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT SetText(VARIANT* out, std::string_view text) {
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (!b)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < text.size(); ++i)
        b[i] = static_cast<unsigned char>(text[i]);
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

std::string FormatReal(double d, int precision) {
    if (std::isnan(d))
        return "NaN";
    if (std::isinf(d))
        return d > 0 ? "Infinity" : "-Infinity";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, precision);
    std::string s(buf, r.ptr);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return s;
}

std::string IntText(Int v) {
    if (v == 0)
        return "0";
    bool negative = v < 0;
    std::string s;
    for (Int a = negative ? -v : v; a > 0; a /= 10)
        s.insert(s.begin(), char('0' + int(a % 10)));
    if (negative)
        s.insert(s.begin(), '-');
    return s;
}

HRESULT ToText(VARIANT* out, const VARIANT& in, USHORT flags) {
    if (in.vt == VT_EMPTY)
        return SetText(out, "");
    if (in.vt == VT_BOOL) {
        if (flags & VARIANT_ALPHABOOL)
            return SetText(out, in.boolVal ? "True" : "False");
        return SetText(out, in.boolVal ? "-1" : "0");
    }
    if (in.vt == VT_R4)
        return SetText(out, FormatReal(in.fltVal, 7));
    if (in.vt == VT_R8)
        return SetText(out, FormatReal(in.dblVal, 15));
    if (IsInteger(in.vt))
        return SetText(out, IntText(ReadNumber(in).i));
    return DISP_E_TYPEMISMATCH;
}

HRESULT Coerce(VARIANT* out, const VARIANT& in, USHORT flags, VARTYPE vt);

// An object converts through its value property (DISPID 0).
HRESULT FromDispatchValue(VARIANT* out, const VARIANT& in, USHORT flags, VARTYPE vt) {
    if ((flags & VARIANT_NOVALUEPROP) || !in.pdispVal)
        return DISP_E_TYPEMISMATCH;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = in.pdispVal->Invoke(0, GUID_NULL, 0x0400, DISPATCH_PROPERTYGET, &none, &value,
                                     nullptr, nullptr);
    if (FAILED(hr)) {
        VariantClear(&value);
        return DISP_E_TYPEMISMATCH;
    }
    // One level only: a value that is itself an object does not convert again.
    hr = tarvik::variant::IsValid(value.vt) && !(value.vt & VT_BYREF)
             ? Coerce(out, value, flags | VARIANT_NOVALUEPROP, vt)
             : DISP_E_TYPEMISMATCH;
    VariantClear(&value);
    return hr;
}

HRESULT ToInterface(VARIANT* out, const VARIANT& in, VARTYPE vt) {
    if (in.vt != VT_UNKNOWN && in.vt != VT_DISPATCH)
        return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    out->punkVal = nullptr;
    if (!in.punkVal)
        return S_OK;
    void* p = nullptr;
    HRESULT hr = in.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr)) {
        out->vt = VT_EMPTY;
        return hr;
    }
    out->punkVal = static_cast<IUnknown*>(p);
    return S_OK;
}

// `in` is a plain value (references resolved); `out` is empty and receives an
// owned result.
HRESULT Coerce(VARIANT* out, const VARIANT& in, USHORT flags, VARTYPE vt) {
    if (in.vt == vt)
        return VariantCopy(out, &in);
    if (in.vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY)
        return S_OK;
    if (vt == VT_NULL) {
        if (in.vt != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        out->vt = VT_NULL;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH)
        return ToInterface(out, in, vt);
    if (in.vt == VT_DISPATCH)
        return FromDispatchValue(out, in, flags, vt);
    if (vt == VT_BSTR)
        return ToText(out, in, flags);
    if (vt == VT_BOOL)
        return ToBool(out, in);
    if (!IsNumeric(vt))
        return DISP_E_TYPEMISMATCH;  // CY, DATE, ERROR
    if (in.vt == VT_BSTR) {
        Number n;
        HRESULT hr = ParseNumber(in.bstrVal, &n);
        if (FAILED(hr))
            return hr;
        return StoreNumber(out, vt, n);
    }
    if (in.vt == VT_EMPTY || in.vt == VT_BOOL || IsNumeric(in.vt))
        return StoreNumber(out, vt, ReadNumber(in));
    return DISP_E_TYPEMISMATCH;
}

// A plain, non-owning view of what `src` holds or refers to.
HRESULT Resolve(const VARIANT& src, VARIANT* view) {
    *view = src;
    if (!(src.vt & VT_BYREF))
        return S_OK;
    VARTYPE base = src.vt & ~VT_BYREF;
    if (!src.byref)
        return E_INVALIDARG;
    if (base == VT_VARIANT) {
        *view = *static_cast<const VARIANT*>(src.byref);
        if ((view->vt & VT_BYREF) || !tarvik::variant::IsValid(view->vt))
            return DISP_E_BADVARTYPE;
        return S_OK;
    }
    view->vt = base;
    view->ullVal = 0;
    size_t size;
    switch (base) {
        case VT_I1:
        case VT_UI1:
            size = 1;
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            size = 2;
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            size = 4;
            break;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            size = sizeof(void*);
            break;
        default:
            size = 8;
            break;  // R8, I8, UI8, CY, DATE
    }
    std::memcpy(&view->ullVal, src.byref, size);
    return S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!tarvik::variant::IsValid(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    if (!tarvik::variant::IsKnownBase(vt))
        return DISP_E_BADVARTYPE;
    VARIANT in;
    HRESULT hr = Resolve(*pvarSrc, &in);
    if (FAILED(hr))
        return hr;
    // The result is built apart and only then replaces the destination, so
    // converting a VARIANT in place works and a failed conversion leaves the
    // destination as it was.
    VARIANT out;
    VariantInit(&out);
    hr = Coerce(&out, in, wFlags, vt);
    if (FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    *pvargDest = out;
    return S_OK;
}

// GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <cstdio>
#include <cstring>

#include "tarvik/com.h"

namespace tarvik {

std::string GuidToString(REFGUID g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool ParseGuid(std::string_view text, GUID* out) {
    if (!out)
        return false;
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    // Reads `digits` hex digits at `pos`; dashes sit at fixed places.
    bool ok = true;
    auto field = [&](size_t pos, int digits) -> uint32_t {
        uint32_t v = 0;
        for (int i = 0; i < digits; ++i) {
            int d = hex(text[pos + i]);
            if (d < 0)
                ok = false;
            v = (v << 4) | static_cast<uint32_t>(d < 0 ? 0 : d);
        }
        return v;
    };
    for (size_t dash : {9u, 14u, 19u, 24u})
        if (text[dash] != '-')
            return false;
    GUID g;
    g.Data1 = field(1, 8);
    g.Data2 = static_cast<uint16_t>(field(10, 4));
    g.Data3 = static_cast<uint16_t>(field(15, 4));
    g.Data4[0] = static_cast<uint8_t>(field(20, 2));
    g.Data4[1] = static_cast<uint8_t>(field(22, 2));
    for (int i = 0; i < 6; ++i)
        g.Data4[2 + i] = static_cast<uint8_t>(field(25 + 2 * i, 2));
    if (!ok)
        return false;
    *out = g;
    return true;
}

}  // namespace tarvik

namespace {

// Narrows a wide GUID text; anything outside ASCII cannot be part of one.
bool NarrowGuidText(LPCOLESTR s, std::string* out) {
    out->clear();
    for (; *s; ++s) {
        if (*s >= 0x80 || out->size() > 38)
            return false;
        out->push_back(static_cast<char>(*s));
    }
    return true;
}

}  // namespace

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    std::string text = tarvik::GuidToString(rguid);
    if (!lpsz || cchMax < static_cast<int>(text.size()) + 1)
        return 0;
    for (size_t i = 0; i < text.size(); ++i)
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    lpsz[text.size()] = 0;
    return static_cast<int>(text.size()) + 1;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (!lplpsz)
        return E_POINTER;
    *lplpsz = nullptr;
    auto* buf = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (!buf)
        return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, buf, 39);
    *lplpsz = buf;
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (!lpiid)
        return E_POINTER;
    if (!lpsz) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    std::string text;
    if (!NarrowGuidText(lpsz, &text) || !tarvik::ParseGuid(text, lpiid))
        return E_INVALIDARG;
    return S_OK;
}

// Like COM, a ProgID is accepted where a class identifier is expected.
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
    if (!pclsid)
        return E_POINTER;
    *pclsid = GUID_NULL;
    if (!lpsz)
        return S_OK;
    std::string text;
    if (NarrowGuidText(lpsz, &text) && tarvik::ParseGuid(text, pclsid))
        return S_OK;
    if (lpsz[0] == u'{')
        return CO_E_CLASSSTRING;
    HRESULT hr = CLSIDFromProgID(lpsz, pclsid);
    return SUCCEEDED(hr) ? S_OK : CO_E_CLASSSTRING;
}

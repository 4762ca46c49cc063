// ProgID <-> CLSID through the registry store's HKEY_CLASSES_ROOT.
#include <cstring>

#include "tarvik/com.h"
#include "tarvik/registry.h"
#include "tarvik/text.h"

namespace {

bool ClassesString(const std::string& keyPath, std::string* out) {
    return tarvik::registry::QueryString("HKEY_CLASSES_ROOT\\" + keyPath, "", out);
}

}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
    if (!lpclsid)
        return E_POINTER;
    *lpclsid = GUID_NULL;
    if (!lpszProgID)
        return E_INVALIDARG;
    std::string progId = tarvik::Utf16ToUtf8(lpszProgID);
    // A backslash would walk into other keys ("CLSID\{...}").
    if (progId.empty() || progId.find('\\') != std::string::npos)
        return CO_E_CLASSSTRING;
    std::string text;
    if (!ClassesString(progId + "\\CLSID", &text)) {
        // A version-independent ProgID may name its current version instead.
        std::string current;
        if (!ClassesString(progId + "\\CurVer", &current) ||
            current.find('\\') != std::string::npos || !ClassesString(current + "\\CLSID", &text))
            return CO_E_CLASSSTRING;
    }
    return tarvik::ParseGuid(text, lpclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (!lplpszProgID)
        return E_POINTER;
    *lplpszProgID = nullptr;
    std::string text;
    if (!ClassesString("CLSID\\" + tarvik::GuidToString(clsid) + "\\ProgID", &text) || text.empty())
        return REGDB_E_CLASSNOTREG;
    std::u16string wide = tarvik::Utf8ToUtf16(text);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
    if (!out)
        return E_OUTOFMEMORY;
    std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
    *lplpszProgID = out;
    return S_OK;
}

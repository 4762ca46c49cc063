// The type library on Windows: compiled from resources/tarvik.idl and
// embedded as resource TYPELIB 1; the system loads it from the DLL and
// registers or unregisters it.
#include <cstring>

#include "frame/Module.h"
#include "frame/TypeLib.h"
#include "win32/System.h"

namespace tarvik::frame {

HRESULT LoadModuleTypeLib(TypeLibDescription* out) {
    win32::TypeLibAttributes attr;
    HRESULT hr = win32::ReadTypeLibAttributes(ModulePath(), &attr);
    if (FAILED(hr))
        return hr;
    std::memcpy(&out->libid, attr.libid, sizeof out->libid);
    out->majorVersion = attr.majorVersion;
    out->minorVersion = attr.minorVersion;
    out->lcid = attr.lcid;
    out->syskind = static_cast<SYSKIND>(attr.syskind);
    return S_OK;
}

HRESULT RegisterTypeLibrary(const TypeLibDescription&, const std::string& path,
                            const std::string& helpDir) {
    return win32::RegisterTypeLibFile(path, helpDir);
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& lib) {
    win32::TypeLibAttributes attr;
    std::memcpy(attr.libid, &lib.libid, sizeof attr.libid);
    attr.majorVersion = lib.majorVersion;
    attr.minorVersion = lib.minorVersion;
    attr.lcid = lib.lcid;
    attr.syskind = lib.syskind;
    return win32::UnregisterTypeLib(attr);
}

}  // namespace tarvik::frame

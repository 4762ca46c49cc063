// The type library on Windows: compiled from resources/tarvik.idl and
// embedded as resource TYPELIB 1; the system loads it from the DLL and
// registers or unregisters it.
#include <cstring>

#include "frame/Module.h"
#include "frame/TypeLib.h"
#include "tarvik/com.h"
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

namespace {

// Wine's type-library marshaler looks a library up under the neutral locale
// only ("0"), so with the library registered under its own locale alone, a
// host in a single-threaded apartment could not reach the classes there. The
// library is registered under the neutral locale as well, naming the same
// file: "TypeLib\{LIBID}\1.0\0".
std::string NeutralLocaleKey(const TypeLibDescription& lib) {
    return "TypeLib\\" + GuidToString(lib.libid) + "\\" + lib.VersionText() + "\\0";
}

}  // namespace

HRESULT RegisterTypeLibrary(const TypeLibDescription& lib, const std::string& path,
                            const std::string& helpDir) {
    HRESULT hr = win32::RegisterTypeLibFile(path, helpDir);
    if (FAILED(hr) || lib.lcid == 0)
        return hr;
    const std::string platform = TypeLibPlatformKey(lib);
    void* key = win32::RegCreateKey(win32::Hive::ClassesRoot,
                                    NeutralLocaleKey(lib) + platform.substr(platform.find('\\')));
    if (!key)
        return REGDB_E_WRITEREGDB;
    win32::RegistryValue file;
    file.text = path;
    const bool ok = win32::RegSetValue(key, file);
    win32::RegCloseKey(key);
    return ok ? hr : REGDB_E_WRITEREGDB;
}

HRESULT UnregisterTypeLibrary(const TypeLibDescription& lib) {
    // Ours, and in the way of the version key's removal.
    if (lib.lcid != 0)
        win32::RegDeleteTree(win32::Hive::ClassesRoot, NeutralLocaleKey(lib));
    win32::TypeLibAttributes attr;
    std::memcpy(attr.libid, &lib.libid, sizeof attr.libid);
    attr.majorVersion = lib.majorVersion;
    attr.minorVersion = lib.minorVersion;
    attr.lcid = lib.lcid;
    attr.syskind = lib.syskind;
    return win32::UnregisterTypeLib(attr);
}

}  // namespace tarvik::frame

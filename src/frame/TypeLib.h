// The type library TARVIKLib. There is no type-library compiler or loader on
// this platform: the library carries the IDL source of TARVIKLib as its
// type-library resource (1), reads it with the small IDL reader below, and
// registers the library from that description.
//
// Registration writes the keys a registered type library has under
// HKEY_CLASSES_ROOT:
//
//   TypeLib\{LIBID}\1.0                 @ = the library's help string
//   TypeLib\{LIBID}\1.0\409\win64       @ = the path of the file holding it
//   TypeLib\{LIBID}\1.0\FLAGS           @ = "0"
//   TypeLib\{LIBID}\1.0\HELPDIR         @ = the help directory
//   Interface\{IID}                     @ = the interface's name
//   Interface\{IID}\ProxyStubClsid      @ = "{00020424-0000-0000-C000-000000000046}"
//   Interface\{IID}\ProxyStubClsid32    @ = "{00020424-0000-0000-C000-000000000046}"
//   Interface\{IID}\TypeLib             @ = "{LIBID}", Version = "1.0"
//
// The locale key is the library's locale in hexadecimal; the platform key
// names the system kind of the build ("win64" for 64-bit code, "win32" for
// 32-bit), since it says how wide the pointers in the interfaces are.
// Interface keys are written for the interfaces the library block names
// (directly or through its classes). Interfaces the description only uses in
// parameters (the host's property bag) belong to other components: pointing
// their registration at this library would let our unregistration remove
// keys that are not ours.
//
// Unregistration removes the locale and platform key, the interface keys that
// still point at this library, and then, when no other locale is registered
// for the version, the version key with FLAGS and HELPDIR, and the LIBID key
// when it is empty.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarvik/com.h"

namespace tarvik::frame {

struct IdlParam {
    std::vector<std::string> attributes;  // "in", "out", "retval", ...
    std::string type;                     // without spaces: "long*", "ICommonData**"
    std::string name;
};

struct IdlMethod {
    std::string name;  // as C++ names it: get_X / put_X for properties
    std::vector<std::string> attributes;
    std::vector<IdlParam> params;
};

struct IdlInterface {
    std::string name;
    GUID iid{};
    std::string base;
    bool dual = false;
    std::vector<IdlMethod> methods;
};

struct IdlCoclass {
    std::string name;
    GUID clsid{};
    std::string helpString;
    std::string defaultInterface;
    std::vector<std::string> interfaces;  // in the order listed
};

struct TypeLibDescription {
    std::string name;  // TARVIKLib
    GUID libid{};
    WORD majorVersion = 0;
    WORD minorVersion = 0;
    LCID lcid = 0;
    SYSKIND syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    std::string helpString;
    std::vector<std::string> importlibs;
    std::vector<IdlInterface> interfaces;  // every interface defined, in order
    std::vector<IdlCoclass> coclasses;
    // Interfaces the library block names, directly or through its classes,
    // each once, in order of first mention.
    std::vector<std::string> libraryInterfaces;

    const IdlInterface* FindInterface(std::string_view name) const;
    std::string VersionText() const;  // "1.0"
};

// Reads IDL text. False with a short description in `error` when it cannot.
bool ParseIdl(std::string_view text, TypeLibDescription* out, std::string* error = nullptr);

// The description in this module's type-library resource.
HRESULT LoadModuleTypeLib(TypeLibDescription* out);

// The directory part of a path, kept up to and including its last '\\', '/'
// or ':' (empty when it has none).
std::string HelpDirectoryOf(std::string_view path);

// The locale and platform subkey, e.g. "409\\win64".
std::string TypeLibPlatformKey(const TypeLibDescription& lib);

// Registers the library against the registry store (one atomic update).
HRESULT RegisterTypeLibrary(const TypeLibDescription& lib, const std::string& path,
                            const std::string& helpDir);
// Unregisters it; TYPE_E_LIBNOTREGISTERED when its locale and platform key is
// not there.
HRESULT UnregisterTypeLibrary(const TypeLibDescription& lib);

}  // namespace tarvik::frame

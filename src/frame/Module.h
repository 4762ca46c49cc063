// The module: what libtarvik.so knows about itself. Its lock count (live line
// and session objects plus LockServer(TRUE) calls, behind DllCanUnloadNow),
// its path on disk, and the resources compiled into it from
// resources/tarvik.rc (registration scripts, type-library description, string
// table).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tarvik/object.h"

namespace tarvik::frame {

// Resource types and numbers.
inline constexpr const char* kResourceTypeRegistry = "REGISTRY";
inline constexpr const char* kResourceTypeTypeLib = "TYPELIB";
inline constexpr const char* kResourceTypeString = "STRING";
inline constexpr int kTypeLibResource = 1;
inline constexpr int kProjectNameString = 100;  // "Tarvik"
inline constexpr int kSessionRegistryScript = 101;
inline constexpr int kLineRegistryScript = 102;

struct ResourceEntry {
    const char* type;
    int id;
    const unsigned char* data;  // followed by a terminating zero
    size_t size;
};

// The bytes of a resource; nullopt when the module has none of that type and
// number.
std::optional<std::string_view> FindModuleResource(std::string_view type, int id);
// A string of the string table; empty when it has none of that number.
std::string LoadModuleString(int id);

// The lock count of this module.
ModuleLock& Module();

// The full path of the file this code was loaded from: libtarvik.so when it
// runs inside the library, the program itself when linked into one (tests).
std::string ModulePath();

}  // namespace tarvik::frame

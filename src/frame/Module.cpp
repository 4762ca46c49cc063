#include "frame/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>

namespace tarvik::frame {

// Defined in the source generated from resources/tarvik.rc.
extern const ResourceEntry kModuleResources[];
extern const size_t kModuleResourceCount;

namespace {
// Internal, so its address is always this module's own, whichever other copy
// of this code the process has loaded.
const char g_anchor = 0;
}  // namespace

std::optional<std::string_view> FindModuleResource(std::string_view type, int id) {
    for (size_t i = 0; i < kModuleResourceCount; ++i) {
        const ResourceEntry& e = kModuleResources[i];
        if (e.id == id && type == e.type)
            return std::string_view(reinterpret_cast<const char*>(e.data), e.size);
    }
    return std::nullopt;
}

std::string LoadModuleString(int id) {
    auto text = FindModuleResource(kResourceTypeString, id);
    return text ? std::string(*text) : std::string();
}

ModuleLock& Module() {
    // Trivially destructible, so objects released late during process exit
    // still find it intact.
    static ModuleLock lock;
    return lock;
}

std::string ModulePath() {
    Dl_info info{};
    if (!dladdr(&g_anchor, &info) || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved))
        return resolved;
    return info.dli_fname;
}

}  // namespace tarvik::frame

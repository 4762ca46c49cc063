#include "frame/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

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
    if (!realpath(info.dli_fname, resolved))
        return info.dli_fname;
#ifdef TARVIK_COMPONENT_SONAME
    // The registry outlives this file: an upgrade replaces libtarvik.so.1.0.0
    // by libtarvik.so.1.0.1 and moves the libtarvik.so.1 link along. So the
    // name stored is the link of our SONAME, when it leads to this very file.
    std::string folder(resolved);
    folder.erase(folder.rfind('/') + 1);
    std::string stable = folder + TARVIK_COMPONENT_SONAME;
    struct stat ours {
    }, theirs{};
    if (stat(resolved, &ours) == 0 && stat(stable.c_str(), &theirs) == 0 &&
        ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino)
        return stable;
#endif
    return resolved;
}

}  // namespace tarvik::frame

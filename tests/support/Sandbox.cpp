// Per-process test sandbox; see TestMain.cpp.
#include "Sandbox.h"

#include <dirent.h>
#include <dlfcn.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace tarvik::test {
namespace {
std::string g_root;
}

const std::string& SandboxRoot() {
    return g_root;
}
void SetSandboxRoot(const std::string& root) {
    g_root = root;
}

bool RegisterLibrary(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return false;
    }
    using Fn = int32_t (*)();
    auto reg = reinterpret_cast<Fn>(dlsym(lib, "DllRegisterServer"));
    bool ok = reg && reg() >= 0;
    // Stays loaded: the activation code loads the same library again by path
    // and gets this handle back.
    return ok;
}
bool MakeSandbox(const char* prefix) {
    namespace fs = std::filesystem;
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    const char* root = mkdtemp(pattern.data());
    if (!root)
        return false;
    SetSandboxRoot(root);
    std::error_code ec;
    fs::create_directories(fs::path(root) / "dosdevices", ec);
    setenv("TARVIK_REGISTRY", (fs::path(root) / "registry.reg").c_str(), 1);
    setenv("TARVIK_DOSDEVICES", (fs::path(root) / "dosdevices").c_str(), 1);
    setenv("TARVIK_LOG", (fs::path(root) / "tarvik.log").c_str(), 1);
    setenv("TARVIK_EVENTS", (fs::path(root) / "events.jsonl").c_str(), 1);
    setenv("XDG_DATA_HOME", root, 1);
    return !ec;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the folder's own descriptor
}

}  // namespace tarvik::test

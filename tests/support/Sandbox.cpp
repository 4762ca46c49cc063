// Per-process test sandbox; see TestMain.cpp.
#include "Sandbox.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

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
}  // namespace tarvik::test

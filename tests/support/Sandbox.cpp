// Per-process test sandbox; see TestMain.cpp.
#include "Sandbox.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>

namespace tarvik::test {
namespace {
std::string g_root;
}

const std::string& SandboxRoot() {
    return g_root;
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

bool MakeSandbox(const char* prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::path root;
    for (int tries = 0; tries < 100; ++tries) {
        char name[64];
        std::snprintf(name, sizeof name, "%.40s-%08llx", prefix,
                      static_cast<unsigned long long>(random() & 0xffffffffu));
        root = fs::temp_directory_path(ec) / name;
        if (!ec && fs::create_directory(root, ec) && !ec)
            break;
        root.clear();
    }
    if (root.empty()) {
        std::fprintf(stderr, "cannot make the test sandbox: %s\n", ec.message().c_str());
        return false;
    }
    g_root = root.string();
    fs::create_directories(root / "dosdevices", ec);
    SetEnv("TARVIK_REGISTRY", (root / "registry.reg").string().c_str());
    SetEnv("TARVIK_DOSDEVICES", (root / "dosdevices").string().c_str());
    SetEnv("TARVIK_LOG", (root / "tarvik.log").string().c_str());
    SetEnv("TARVIK_EVENTS", (root / "events.jsonl").string().c_str());
    SetEnv("XDG_DATA_HOME", g_root.c_str());
    return true;
}

void* LibraryEntry(const char* path, const char* name) {
    // Stays loaded: the activation code loads the same library again by path
    // and gets this handle back.
#ifdef _WIN32
    HMODULE lib = LoadLibraryA(path);
    if (!lib) {
        std::fprintf(stderr, "cannot load %s: error %lu\n", path, GetLastError());
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(lib, name));
#else
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return nullptr;
    }
    return dlsym(lib, name);
#endif
}

bool RegisterLibrary(const char* path) {
    auto reg = reinterpret_cast<int32_t (*)()>(LibraryEntry(path, "DllRegisterServer"));
    return reg && reg() >= 0;
}
void* LoadedSymbol(const char* path, const char* symbol) {
#ifdef _WIN32
    std::string native(path);
    std::replace(native.begin(), native.end(), '/', '\\');
    HMODULE lib = GetModuleHandleA(native.c_str());
    if (!lib || !symbol)
        return lib;
    return reinterpret_cast<void*>(GetProcAddress(lib, symbol));
#else
    void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!lib)
        return nullptr;
    void* found = symbol ? dlsym(lib, symbol) : lib;
    // The library stays loaded through the caller's own activation.
    dlclose(lib);
    return found;
#endif
}

int OpenDescriptors() {
#ifdef _WIN32
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return static_cast<int>(handles);
#else
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the folder's own descriptor
#endif
}

double ProcessCpuSeconds() {
#ifdef _WIN32
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

}  // namespace tarvik::test

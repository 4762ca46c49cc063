#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tarvik/sync.h"

namespace {
// Packed as major | minor << 8; 0 while no override is set.
std::atomic<DWORD> g_override{0};

DWORD Pack(unsigned major, unsigned minor) {
    return (major & 0xFF) | ((minor & 0xFF) << 8);
}
}  // namespace

DWORD GetVersion() {
    // An explicit SetReportedVersion wins over the environment, which is read
    // on every call so a test (or a wrapper script) can change it at any time.
    if (DWORD v = g_override.load(std::memory_order_acquire))
        return v;
    if (const char* env = std::getenv("TARVIK_OS_VERSION")) {
        unsigned major = 0, minor = 0;
        char extra;
        int n = std::sscanf(env, "%u.%u%c", &major, &minor, &extra);
        if ((n == 2 || (n == 1 && std::sscanf(env, "%u%c", &major, &extra) == 1)) && major > 0 &&
            major < 256 && minor < 256) {
            return Pack(major, minor);
        }
    }
    // The build number (high word) is left 0: nothing here reads it.
    return Pack(10, 0);
}

namespace tarvik {
void SetReportedVersion(int major, int minor) {
    if (major <= 0 || major > 255 || minor < 0 || minor > 255) {
        g_override.store(0, std::memory_order_release);
        return;
    }
    g_override.store(Pack(static_cast<unsigned>(major), static_cast<unsigned>(minor)),
                     std::memory_order_release);
}
}  // namespace tarvik

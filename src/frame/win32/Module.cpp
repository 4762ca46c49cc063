// The module on Windows: Tarvik.dll, with its resources compiled in by the
// resource compiler (resources/tarvik.rc).
#include "frame/Module.h"

#include "win32/System.h"

namespace tarvik::frame {
namespace {
const char g_anchor = 0;

void* ThisModule() {
    // Any address inside the DLL names it.
    static void* const module = win32::ModuleOfAddress(&g_anchor);
    return module;
}
}  // namespace

std::optional<std::string_view> FindModuleResource(std::string_view type, int id) {
    const void* data = nullptr;
    size_t size = 0;
    if (!win32::FindResourceBytes(ThisModule(), std::string(type).c_str(), id, &data, &size))
        return std::nullopt;
    return std::string_view(static_cast<const char*>(data), size);
}

std::string LoadModuleString(int id) {
    return win32::LoadResourceString(ThisModule(), id);
}

ModuleLock& Module() {
    static ModuleLock lock;
    return lock;
}

std::string ModulePath() {
    return win32::ModuleFileName(ThisModule());
}

}  // namespace tarvik::frame

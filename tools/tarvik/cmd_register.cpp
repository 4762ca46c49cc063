// tarvik register / unregister: load a component library and run its
// DllRegisterServer or DllUnregisterServer against the registry store.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Args.h"
#include "Command.h"
#include "tarvik/com.h"
#include "tarvik/registry.h"

namespace {

const char* HresultName(HRESULT hr) {
    struct Known {
        HRESULT code;
        const char* name;
    };
    static const Known kKnown[] = {
        {E_FAIL, "E_FAIL"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_POINTER, "E_POINTER"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {REGDB_E_READREGDB, "REGDB_E_READREGDB"},
        {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB"},
        {REGDB_E_KEYMISSING, "REGDB_E_KEYMISSING"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {SELFREG_E_TYPELIB, "SELFREG_E_TYPELIB"},
        {SELFREG_E_CLASS, "SELFREG_E_CLASS"},
        {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED"},
        {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY"},
    };
    for (const Known& k : kKnown)
        if (k.code == hr)
            return k.name;
    return nullptr;
}

// A path the loader will open as given: dlopen searches the library path for
// a bare name, which is not what "tarvik register libfoo.so" in a build
// folder means.
std::string ResolveLibrary(const std::string& arg) {
    std::error_code ec;
    if (!std::filesystem::exists(arg, ec))
        return arg;
    std::filesystem::path p = std::filesystem::absolute(arg, ec);
    return ec ? arg : p.lexically_normal().string();
}

int RunEntryPoint(int argc, char** argv, const char* symbol, const char* verb) {
    const std::string program = std::string("tarvik ") + verb;
    tarvik::tool::Args args(
        program, "[--] LIBRARY", {},
        std::string("Loads the component library LIBRARY (a path, or a name the "
                    "loader finds)\nand runs its ") +
            symbol +
            " against the registry store\n($TARVIK_REGISTRY, else "
            "~/.local/share/tarvik/registry.reg).");
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (args.Positional().size() != 1)
        return args.UsageError(args.Positional().empty() ? "LIBRARY is missing"
                                                         : "one LIBRARY at a time");
    const std::string given = args.Positional()[0];
    std::string path = ResolveLibrary(given);
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        std::fprintf(stderr, "tarvik %s: cannot load library '%s': %s\n", verb, given.c_str(),
                     why ? why : "unknown error");
        return 1;
    }
    // The library stays loaded until the process ends: objects it created
    // during registration (none, normally) would otherwise lose their code.
    auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(lib, symbol));
    if (!entry) {
        std::fprintf(stderr, "tarvik %s: '%s' has no entry point %s: not a component library\n",
                     verb, path.c_str(), symbol);
        return 1;
    }
    HRESULT hr = entry();
    if (FAILED(hr)) {
        const char* name = HresultName(hr);
        std::fprintf(stderr, "tarvik %s: %s of '%s' failed with 0x%08X%s%s%s\n", verb, symbol,
                     path.c_str(), static_cast<unsigned>(hr), name ? " (" : "", name ? name : "",
                     name ? ")" : "");
        return 1;
    }
    std::printf("%s: %s succeeded (registry %s)\n", path.c_str(), symbol,
                tarvik::registry::DefaultPath().c_str());
    return 0;
}

int RunRegister(int argc, char** argv) {
    return RunEntryPoint(argc, argv, "DllRegisterServer", "register");
}

int RunUnregister(int argc, char** argv) {
    return RunEntryPoint(argc, argv, "DllUnregisterServer", "unregister");
}

tarvik::cli::Command registerCommand{"register", "register a component library's classes",
                                     &RunRegister};
tarvik::cli::Command unregisterCommand{"unregister", "remove a component library's classes",
                                       &RunUnregister};

}  // namespace

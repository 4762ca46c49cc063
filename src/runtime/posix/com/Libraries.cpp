// In-process server libraries loaded by activation, one handle per path.
//
// A library is pinned while a DllGetClassObject call into it runs, so
// CoFreeUnusedLibraries on another thread cannot unload code that is
// executing. Loading and unloading happen outside the table's lock: both run
// the library's constructors or destructors, which may activate classes
// themselves.
#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "com/Activation.h"
#include "tarvik/com.h"
#include "tarvik/text.h"

namespace {

struct Library {
    void* handle;
    PFN_DllGetClassObject getClassObject;
    PFN_DllCanUnloadNow canUnloadNow;  // null: stays loaded
    int pins;
    int64_t idleSinceNs;  // since when DllCanUnloadNow says S_OK; -1: busy
};

constexpr int64_t kDefaultUnloadDelayMs = 10 * 60 * 1000;

// Nanoseconds, not milliseconds: rounding must never let a library go before
// its full delay has passed.
int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct LibraryTable {
    std::mutex mutex;
    std::map<std::string, Library> loaded;
};

// Never destroyed: unloading at process exit would pull code out from under
// objects that are still alive.
LibraryTable& Table() {
    static LibraryTable* table = new LibraryTable;
    return *table;
}

// Leaves the reason a library could not be used where the caller can find
// it: the thread's error information.
void ReportLoadError(const std::string& path, const std::string& reason) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return;
    std::u16string source = u"CoGetClassObject";
    std::u16string text = tarvik::Utf8ToUtf16("cannot load \"" + path + "\": " + reason);
    create->SetSource(source.data());
    create->SetDescription(text.data());
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

// Loads the library and finds its entry points.
HRESULT Open(const std::string& path, Library* lib) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        std::string reason = why ? why : "unknown error";
        ReportLoadError(path, reason);
        // A path that names no file is "not found"; one that names a file
        // the loader rejects (not a library, missing dependency or symbol)
        // has an error in it.
        struct stat st;
        bool missing = path.find('/') != std::string::npos
                           ? stat(path.c_str(), &st) != 0
                           : reason.find("No such file") != std::string::npos;
        return missing ? CO_E_DLLNOTFOUND : CO_E_ERRORINDLL;
    }
    auto get = reinterpret_cast<PFN_DllGetClassObject>(dlsym(handle, "DllGetClassObject"));
    if (!get) {
        dlclose(handle);
        ReportLoadError(path, "it has no DllGetClassObject");
        return CO_E_ERRORINDLL;
    }
    *lib = {handle, get, reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(handle, "DllCanUnloadNow")), 0,
            -1};
    return S_OK;
}

// The entry for `path`, pinned; loads the library when needed.
HRESULT Pin(const std::string& path, PFN_DllGetClassObject* get) {
    LibraryTable& t = Table();
    {
        std::lock_guard lock(t.mutex);
        auto it = t.loaded.find(path);
        if (it != t.loaded.end()) {
            ++it->second.pins;
            *get = it->second.getClassObject;
            return S_OK;
        }
    }
    Library fresh;
    HRESULT hr = Open(path, &fresh);
    if (FAILED(hr))
        return hr;
    void* extra = nullptr;
    {
        std::lock_guard lock(t.mutex);
        auto [it, inserted] = t.loaded.emplace(path, fresh);
        // Another thread loaded it meanwhile: dlopen counted both loads, so
        // ours is simply dropped again.
        if (!inserted)
            extra = fresh.handle;
        ++it->second.pins;
        *get = it->second.getClassObject;
    }
    if (extra)
        dlclose(extra);
    return S_OK;
}

void Unpin(const std::string& path) {
    LibraryTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.loaded.find(path);
    if (it != t.loaded.end())
        --it->second.pins;
}

}  // namespace

namespace tarvik::activation {

HRESULT GetClassObjectFromLibrary(const std::string& path, REFCLSID clsid, REFIID riid,
                                  void** ppv) {
    PFN_DllGetClassObject get = nullptr;
    HRESULT hr = Pin(path, &get);
    if (FAILED(hr))
        return hr;
    hr = get(clsid, riid, ppv);
    Unpin(path);
    return hr;
}

}  // namespace tarvik::activation

// DllCanUnloadNow answers S_OK as soon as the last object's count reaches
// zero, while the thread that released it may still be returning through the
// library's code. Unloading only libraries that have stayed idle for a while
// keeps that thread from running into unmapped memory.
void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD) {
    int64_t delayNs =
        (dwUnloadDelay == 0xFFFFFFFF ? kDefaultUnloadDelayMs : int64_t{dwUnloadDelay}) * 1000000;
    int64_t now = NowNs();
    LibraryTable& t = Table();
    std::vector<void*> unload;
    {
        std::lock_guard lock(t.mutex);
        for (auto it = t.loaded.begin(); it != t.loaded.end();) {
            Library& lib = it->second;
            bool idle = lib.pins == 0 && lib.canUnloadNow && lib.canUnloadNow() == S_OK;
            if (!idle) {
                lib.idleSinceNs = -1;
            } else if (lib.idleSinceNs < 0) {
                lib.idleSinceNs = now;
            }
            if (idle && now - lib.idleSinceNs >= delayNs) {
                unload.push_back(lib.handle);
                it = t.loaded.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (void* handle : unload)
        dlclose(handle);
}

void CoFreeUnusedLibraries() {
    CoFreeUnusedLibrariesEx(0xFFFFFFFF, 0);
}

#include "frame/ClassTable.h"

#include <array>
#include <atomic>
#include <mutex>

#include "frame/Module.h"
#include "frame/Registrar.h"
#include "frame/TypeLib.h"
#include "line/CreateModemLine.h"
#include "session/ModemSession.h"
#include "tarvik/interfaces.h"

namespace tarvik::frame {
namespace {

constexpr ClassEntry kClasses[] = {
    {&CLSID_ATModemSession, kSessionRegistryScript, &session::CreateModemSession},
    {&CLSID_ATModemLine, kLineRegistryScript, &line::CreateModemLine},
};
constexpr size_t kClassCount = std::size(kClasses);

// One class object per row, made on first request and kept until unload. They
// hold no module lock: only live objects and LockServer(TRUE) do, or the
// cached class objects alone would keep the module loaded for good. Readers
// look without the lock; the lock only keeps two first requests from making
// two objects.
std::array<std::atomic<IClassFactory*>, kClassCount> g_classObjects{};
std::mutex g_classObjectLock;

// The cached class objects go when the module does.
struct ClassObjectReleaser {
    ~ClassObjectReleaser() { ReleaseClassObjects(); }
} g_releaser;

}  // namespace

std::span<const ClassEntry> ClassTable() {
    return kClasses;
}

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < kClassCount; ++i) {
        if (!IsEqualCLSID(rclsid, *kClasses[i].clsid))
            continue;
        IClassFactory* factory = g_classObjects[i].load(std::memory_order_acquire);
        if (!factory) {
            std::lock_guard lock(g_classObjectLock);
            factory = g_classObjects[i].load(std::memory_order_acquire);
            if (!factory) {
                auto create = kClasses[i].create;
                factory = NewClassFactory(
                    [create](IUnknown* outer, REFIID iid, void** out) {
                        return create(outer, &Module(), iid, out);
                    },
                    &Module(), FactoryLifetime::Cached);
                if (!factory)
                    return E_OUTOFMEMORY;
                g_classObjects[i].store(factory, std::memory_order_release);
            }
        }
        return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow() {
    return Module().CanUnload() ? S_OK : S_FALSE;
}

HRESULT RegisterServer(const std::string& modulePath) {
    const ScriptVariables variables{{"MODULE", modulePath}};
    for (const ClassEntry& entry : kClasses) {
        auto script = FindModuleResource(kResourceTypeRegistry, entry.registryScript);
        if (!script)
            return SELFREG_E_CLASS;
        HRESULT hr = RunRegistrationScript(*script, variables, RegistrarMode::Register);
        if (FAILED(hr))
            return hr;
    }
    TypeLibDescription lib;
    HRESULT hr = LoadModuleTypeLib(&lib);
    if (FAILED(hr))
        return hr;
    return RegisterTypeLibrary(lib, modulePath, HelpDirectoryOf(modulePath));
}

HRESULT UnregisterServer() {
    // Removal needs no variables' values, but the scripts name %MODULE%.
    const ScriptVariables variables{{"MODULE", ModulePath()}};
    for (const ClassEntry& entry : kClasses) {
        if (auto script = FindModuleResource(kResourceTypeRegistry, entry.registryScript))
            RunRegistrationScript(*script, variables, RegistrarMode::Unregister);
    }
    // The type library is removed by the identity, version, locale and system
    // kind its own description gives; without a readable description there is
    // nothing to go by, and that step is skipped.
    TypeLibDescription lib;
    if (SUCCEEDED(LoadModuleTypeLib(&lib)))
        UnregisterTypeLibrary(lib);
    return S_OK;
}

void ReleaseClassObjects() {
    for (auto& slot : g_classObjects)
        if (IClassFactory* factory = slot.exchange(nullptr))
            factory->Release();
}

}  // namespace tarvik::frame

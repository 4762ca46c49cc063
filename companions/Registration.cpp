#include "Registration.h"

#include <string>

#include "Module.h"
#include "tarvik/registry.h"

namespace tarvik::companions {
namespace {
constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT";

// The keys of our classes, which are all registration reads and changes.
registry::Scope ClassKeys(const ClassInfo* classes, size_t count) {
    registry::Scope scope;
    for (size_t i = 0; i < count; ++i) {
        scope.whole.push_back(std::string(kClassesRoot) + "\\CLSID\\" +
                              GuidToString(*classes[i].clsid));
        scope.whole.push_back(std::string(kClassesRoot) + "\\" + classes[i].progId);
    }
    return scope;
}
}  // namespace

HRESULT RegisterClasses() {
    std::string path = LibraryPath();
    if (path.empty())
        return SELFREG_E_CLASS;
    size_t count = 0;
    const ClassInfo* classes = Classes(&count);
    return registry::Update(ClassKeys(classes, count), [&](registry::Key& root) -> HRESULT {
        registry::Key& hkcr = root.Create(kClassesRoot);
        for (size_t i = 0; i < count; ++i) {
            const ClassInfo& c = classes[i];
            std::string clsid = GuidToString(*c.clsid);
            registry::Key& key = hkcr.Create("CLSID\\" + clsid);
            key.SetString("", c.friendlyName);
            key.Create("ProgID").SetString("", c.progId);
            // Replaced whole: a stale value from an older layout must not stay.
            key.Remove("InprocServer32");
            registry::Key& server = key.Create("InprocServer32");
            server.SetString("", path);
            server.SetString("ThreadingModel", "Both");

            registry::Key& prog = hkcr.Create(c.progId);
            prog.SetString("", c.friendlyName);
            prog.Create("CLSID").SetString("", clsid);
        }
        return S_OK;
    });
}

HRESULT UnregisterClasses() {
    size_t count = 0;
    const ClassInfo* classes = Classes(&count);
    return registry::Update(ClassKeys(classes, count), [&](registry::Key& root) -> HRESULT {
        registry::Key* hkcr = root.Find(kClassesRoot);
        if (!hkcr)
            return S_OK;
        for (size_t i = 0; i < count; ++i) {
            const ClassInfo& c = classes[i];
            std::string clsid = GuidToString(*c.clsid);
            hkcr->Remove("CLSID\\" + clsid);
            // A ProgID that another library has taken over since is not ours
            // to remove.
            if (registry::Key* prog = hkcr->Find(c.progId)) {
                const registry::Key* target = prog->Find("CLSID");
                const registry::Value* v = target ? target->GetValue("") : nullptr;
                GUID named{};
                if (!v || (ParseGuid(v->text, &named) && IsEqualGUID(named, *c.clsid)))
                    hkcr->Remove(c.progId);
            }
        }
        return S_OK;
    });
}

}  // namespace tarvik::companions

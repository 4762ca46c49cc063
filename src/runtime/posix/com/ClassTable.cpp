// Class objects registered by the host in this process.
//
// Every registration serves every class context: everything here runs in one
// process, and a host that registers as a "local server" (as an EXE server on
// Windows would) must still be found by code that asks for an in-process one.
#include <mutex>
#include <vector>

#include "com/Activation.h"
#include "tarvik/com.h"

namespace {

struct Registration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;  // one reference, owned
    bool singleUse;
    bool used;
};

struct ClassTable {
    std::mutex mutex;
    std::vector<Registration> entries;
    DWORD nextCookie = 1;
};

// Never destroyed: releasing registered objects while the process exits could
// run code of libraries already unloaded.
ClassTable& Table() {
    static ClassTable* table = new ClassTable;
    return *table;
}

}  // namespace

namespace tarvik::activation {

IUnknown* FindRegisteredClass(REFCLSID clsid) {
    ClassTable& t = Table();
    std::lock_guard lock(t.mutex);
    // The newest registration of a class wins; revoking it uncovers the one
    // before.
    for (auto it = t.entries.rbegin(); it != t.entries.rend(); ++it) {
        if (!(it->clsid == clsid) || (it->singleUse && it->used))
            continue;
        it->used = true;
        it->object->AddRef();
        return it->object;
    }
    return nullptr;
}

}  // namespace tarvik::activation

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD, DWORD flags,
                              DWORD* lpdwRegister) {
    if (!lpdwRegister)
        return E_POINTER;
    *lpdwRegister = 0;
    if (!pUnk)
        return E_INVALIDARG;
    ClassTable& t = Table();
    pUnk->AddRef();
    std::lock_guard lock(t.mutex);
    DWORD cookie = t.nextCookie++;
    if (cookie == 0)
        cookie = t.nextCookie++;  // 0 means "no registration"
    t.entries.push_back({cookie, rclsid, pUnk, flags == REGCLS_SINGLEUSE, false});
    *lpdwRegister = cookie;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    ClassTable& t = Table();
    IUnknown* object = nullptr;
    {
        std::lock_guard lock(t.mutex);
        for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
            if (it->cookie != dwRegister)
                continue;
            object = it->object;
            t.entries.erase(it);
            break;
        }
    }
    if (!object)
        return CO_E_OBJNOTREG;
    // Released outside the lock: the object's destructor may register or
    // revoke classes itself.
    object->Release();
    return S_OK;
}

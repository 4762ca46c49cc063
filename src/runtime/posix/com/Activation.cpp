// CoGetClassObject and CoCreateInstance: the process's own registrations
// first, then the registry store.
#include "com/Activation.h"

#include <memory>

#include "tarvik/com.h"
#include "tarvik/registry.h"

namespace {

// The library registered for the class, read from the cached copy of the
// store (see registry::Snapshot): activating a class that is already known
// reads no file.
HRESULT FindServerPath(REFCLSID clsid, std::string* path) {
    std::shared_ptr<const tarvik::registry::Key> tree;
    HRESULT hr = tarvik::registry::Snapshot(&tree);
    if (FAILED(hr))
        return hr;
    const tarvik::registry::Key* key =
        tree->Find("HKEY_CLASSES_ROOT\\CLSID\\" + tarvik::GuidToString(clsid) + "\\InprocServer32");
    const tarvik::registry::Value* value = key ? key->GetValue("") : nullptr;
    if (!value || value->type != tarvik::registry::ValueType::String || value->text.empty())
        return REGDB_E_CLASSNOTREG;
    *path = value->text;
    return S_OK;
}

}  // namespace

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IUnknown* registered = tarvik::activation::FindRegisteredClass(rclsid)) {
        HRESULT hr = registered->QueryInterface(riid, ppv);
        registered->Release();
        return hr;
    }
    // Only in-process servers can come from the store: there are no local
    // or remote servers to start.
    if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
        return REGDB_E_CLASSNOTREG;
    std::string path;
    HRESULT hr = FindServerPath(rclsid, &path);
    if (FAILED(hr))
        return hr;
    return tarvik::activation::GetClassObjectFromLibrary(path, rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

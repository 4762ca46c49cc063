#include "recorders/UncreatableClass.h"

#include "tarvik/comptr.h"
#include "tarvik/object.h"

namespace tarvik::test {

UncreatableClass::UncreatableClass(REFCLSID clsid, HRESULT failure)
    : attempts_(std::make_shared<std::atomic<int>>(0)) {
    auto attempts = attempts_;
    ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(NewClassFactory(
        [attempts, failure](IUnknown*, REFIID, void** ppv) {
            *ppv = nullptr;
            attempts->fetch_add(1);
            return failure;
        },
        nullptr));
    if (factory)
        CoRegisterClassObject(clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                              &cookie_);
}

UncreatableClass::~UncreatableClass() {
    if (cookie_)
        CoRevokeClassObject(cookie_);
}

}  // namespace tarvik::test

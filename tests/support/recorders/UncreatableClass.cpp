#include "recorders/UncreatableClass.h"

#include "tarvik/comptr.h"
#include "tarvik/object.h"

namespace tarvik::test {

UncreatableClass::UncreatableClass(REFCLSID clsid, HRESULT failure)
    : attempts_(std::make_shared<std::atomic<int>>(0)),
      registration_(clsid, [attempts = attempts_, failure](IUnknown*, REFIID, void** ppv) {
          *ppv = nullptr;
          attempts->fetch_add(1);
          return failure;
      }) {}

UncreatableClass::~UncreatableClass() = default;

}  // namespace tarvik::test

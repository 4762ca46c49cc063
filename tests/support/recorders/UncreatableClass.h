// Makes a class fail to be created for the lifetime of the helper: a class
// object registered in-process answers every CreateInstance with `failure`.
// Tests use it for "no log writer", "no event reporter", "settings component
// missing".
#pragma once

#include <atomic>
#include <memory>

#include "tarvik/object.h"

namespace tarvik::test {

class UncreatableClass {
  public:
    explicit UncreatableClass(REFCLSID clsid, HRESULT failure = REGDB_E_CLASSNOTREG)
        : registration_(clsid, [attempts = attempts_, failure](IUnknown*, REFIID, void** ppv) {
              *ppv = nullptr;
              attempts->fetch_add(1);
              return failure;
          }) {}
    UncreatableClass(const UncreatableClass&) = delete;
    UncreatableClass& operator=(const UncreatableClass&) = delete;

    bool Registered() const { return registration_.Registered(); }
    // CreateInstance calls refused so far.
    int Attempts() const { return attempts_->load(); }

  private:
    std::shared_ptr<std::atomic<int>> attempts_ = std::make_shared<std::atomic<int>>(0);
    ClassRegistration registration_;
};

}  // namespace tarvik::test

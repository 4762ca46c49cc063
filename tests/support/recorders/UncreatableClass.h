// Makes a class fail to be created for the lifetime of the helper: a class
// object registered in-process answers every CreateInstance with `failure`.
// Tests use it for "no log writer", "no event reporter", "settings component
// missing".
#pragma once

#include <atomic>
#include <memory>

#include "tarvik/com.h"

namespace tarvik::test {

class UncreatableClass {
  public:
    explicit UncreatableClass(REFCLSID clsid, HRESULT failure = REGDB_E_CLASSNOTREG);
    ~UncreatableClass();
    UncreatableClass(const UncreatableClass&) = delete;
    UncreatableClass& operator=(const UncreatableClass&) = delete;

    bool Registered() const { return cookie_ != 0; }
    // CreateInstance calls refused so far.
    int Attempts() const { return attempts_->load(); }

  private:
    std::shared_ptr<std::atomic<int>> attempts_;
    DWORD cookie_ = 0;
};

}  // namespace tarvik::test

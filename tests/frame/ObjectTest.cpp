// The COM object base and the generic class factory: reference counting
// across threads, the construction step and the module lock that decides
// whether a library may be unloaded (identity, aggregation, server locks and
// the unload decision are tested on the component's own classes).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

using tarvik::ComPtr;
using tarvik::ModuleLock;

namespace {

std::atomic<int> g_alive{0};

class CThing : public tarvik::ComObject<CThing, ISupportErrorInfo> {
  public:
    explicit CThing(HRESULT construct = S_OK) : construct_(construct) { ++g_alive; }
    ~CThing() override {
        // Passing ourselves around while dying must not delete us twice.
        AddRef();
        Release();
        --g_alive;
    }
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_ISupportErrorInfo) ? static_cast<ISupportErrorInfo*>(this)
                                                      : nullptr;
    }
    HRESULT FinalConstruct() override {
        if (FAILED(construct_))
            return construct_;
        // The object may hand itself around while it is built.
        ComPtr<ISupportErrorInfo> self;
        return InnerUnknown()->QueryInterface(IID_ISupportErrorInfo, self.PutVoid());
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

  private:
    HRESULT construct_;
};

TEST(ComObject, FailedConstructionDestroysTheObject) {
    ModuleLock module;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(tarvik::CreateComObject<CThing>(nullptr, &module, IID_IUnknown, &pv, E_ACCESSDENIED),
              E_ACCESSDENIED);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_alive, 0);
    EXPECT_EQ(module.Count(), 0);
    EXPECT_EQ(tarvik::CreateComObject<CThing>(nullptr, &module, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(g_alive, 0);
}

TEST(ComObject, ManyThreadsReleaseExactlyOnce) {
    ModuleLock module;
    ComPtr<IUnknown> obj;
    ASSERT_EQ(tarvik::CreateComObject<CThing>(nullptr, &module, IID_IUnknown, obj.PutVoid()), S_OK);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([p = obj] {
            for (int i = 0; i < 10000; ++i) {
                ComPtr<IUnknown> q = p;
                ComPtr<ISupportErrorInfo> s;
                q.As(&s, IID_ISupportErrorInfo);
            }
        });
    obj.Reset();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(g_alive, 0);
    EXPECT_EQ(module.Count(), 0);
}

TEST(ClassFactory, CreatorFailuresAndExceptionsBecomeCodes) {
    ComPtr<IClassFactory> throwing = ComPtr<IClassFactory>::Adopt(tarvik::NewClassFactory(
        [](IUnknown*, REFIID, void**) -> HRESULT { throw std::bad_alloc(); }, nullptr));
    void* pv = nullptr;
    EXPECT_EQ(throwing->CreateInstance(nullptr, IID_IUnknown, &pv), E_OUTOFMEMORY);
    ComPtr<IClassFactory> refusing = ComPtr<IClassFactory>::Adopt(tarvik::NewClassFactory(
        [](IUnknown*, REFIID, void**) { return REGDB_E_CLASSNOTREG; }, nullptr));
    EXPECT_EQ(refusing->CreateInstance(nullptr, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pv, nullptr);
}

}  // namespace

// The COM object base and the generic class factory: identity, reference
// counting across threads, the construction step and the module lock that
// decides whether a library may be unloaded (aggregation, server locks and
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

// Two interfaces, the first one is the identity.
class CThing : public tarvik::ComObject<CThing, IVL2600Settings, ISupportErrorInfo> {
  public:
    explicit CThing(HRESULT construct = S_OK) : construct_(construct) { ++g_alive; }
    ~CThing() override {
        // Passing ourselves around while dying must not delete us twice.
        AddRef();
        Release();
        --g_alive;
    }
    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_IVL2600Settings))
            return static_cast<IVL2600Settings*>(this);
        if (IsEqualIID(iid, IID_ISupportErrorInfo))
            return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }
    HRESULT FinalConstruct() override {
        if (FAILED(construct_))
            return construct_;
        // The object may hand itself around while it is built.
        ComPtr<ISupportErrorInfo> self;
        return InnerUnknown()->QueryInterface(IID_ISupportErrorInfo, self.PutVoid());
    }
    HRESULT GetSetting(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT SetSetting(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

  private:
    HRESULT construct_;
};

TEST(ComObject, IdentityAndInterfaces) {
    ModuleLock module;
    ComPtr<IVL2600Settings> settings;
    ASSERT_EQ(
        tarvik::CreateComObject<CThing>(nullptr, &module, IID_IVL2600Settings, settings.PutVoid()),
        S_OK);
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(settings.As(&support, IID_ISupportErrorInfo), S_OK);
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(settings.As(&a, IID_IUnknown), S_OK);
    ASSERT_EQ(support.As(&b, IID_IUnknown), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
    // IUnknown of a plain object is its first interface.
    EXPECT_EQ(static_cast<void*>(a.Get()), static_cast<void*>(settings.Get()));

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(settings->QueryInterface(IID_IModemLine, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(settings->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST(ComObject, FailedConstructionDestroysTheObject) {
    ModuleLock module;
    int before = g_alive;
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(tarvik::CreateComObject<CThing>(nullptr, &module, IID_IUnknown, &pv, E_ACCESSDENIED),
              E_ACCESSDENIED);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_alive, before);
    EXPECT_EQ(module.Count(), 0);
    // A failed query after construction destroys it too.
    EXPECT_EQ(tarvik::CreateComObject<CThing>(nullptr, &module, IID_IModemLine, &pv),
              E_NOINTERFACE);
    EXPECT_EQ(g_alive, before);
    EXPECT_EQ(module.Count(), 0);
}

TEST(ComObject, ManyThreadsReleaseExactlyOnce) {
    ModuleLock module;
    int before = g_alive;
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
    EXPECT_EQ(g_alive, before);
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

// The class objects behind DllGetClassObject: their argument checks, the
// identity rules of plain and aggregated objects, and the module lock count that
// DllCanUnloadNow answers from.
#include <gtest/gtest.h>

#include <thread>

#include "SessionFakes.h"
#include "frame/ClassTable.h"
#include "frame/Module.h"
#include "tarvik/comptr.h"

using namespace tarvik;

namespace {

ComPtr<IClassFactory> ClassObject(REFCLSID clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(frame::GetClassObject(clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
    return factory;
}

// Every creatable class in the table, by its main interface.
struct Creatable {
    const CLSID* clsid;
    const IID* iid;
};
std::vector<Creatable> CreatableClasses() {
    const std::vector<Creatable> all = {{&CLSID_ATModemSession, &IID_IModemSession},
                                        {&CLSID_ATModemLine, &IID_IModemLine}};
    EXPECT_EQ(frame::ClassTable().size(), all.size());
    return all;
}

}  // namespace

TEST(ClassObjects, GetClassObjectChecksItsArguments) {
    EXPECT_EQ(frame::GetClassObject(CLSID_ATModemSession, IID_IClassFactory, nullptr), E_POINTER);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(frame::GetClassObject(CLSID_CommonData, IID_IClassFactory, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(frame::GetClassObject(CLSID_ATModemSession, IID_IModemSession, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST(ClassObjects, OneClassObjectPerClassEvenWhenFirstAskedByManyThreads) {
    std::vector<IUnknown*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] {
            frame::GetClassObject(CLSID_ATModemSession, IID_IUnknown,
                                  reinterpret_cast<void**>(&seen[i]));
        });
    for (auto& t : threads)
        t.join();
    for (IUnknown* p : seen) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p, seen[0]);
    }
    for (IUnknown* p : seen)
        p->Release();
}

TEST(ClassObjects, CreatedObjectsHaveOneIdentityAndKeepTheModuleLoaded) {
    for (const auto& cls : CreatableClasses()) {
        SCOPED_TRACE(GuidToString(*cls.clsid));
        auto factory = ClassObject(*cls.clsid);
        ASSERT_TRUE(factory);
        // Class objects hold no lock of their own.
        EXPECT_EQ(frame::CanUnloadNow(), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, *cls.iid, nullptr), E_POINTER);
        test::Aggregator outer;
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(factory->CreateInstance(&outer, *cls.iid, &out), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(outer.References(), 1);
        out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(frame::CanUnloadNow(), S_OK) << "a failed creation left an object alive";

        ComPtr<IUnknown> main, a, b;
        ASSERT_EQ(factory->CreateInstance(nullptr, *cls.iid, main.PutVoid()), S_OK);
        ComPtr<ISupportErrorInfo> support;
        ASSERT_EQ(main.As(&support, IID_ISupportErrorInfo), S_OK);
        ASSERT_EQ(main.As(&a, IID_IUnknown), S_OK);
        ASSERT_EQ(support.As(&b, IID_IUnknown), S_OK);
        EXPECT_EQ(a.Get(), b.Get());
        EXPECT_EQ(main->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        EXPECT_EQ(frame::CanUnloadNow(), S_FALSE);
        main.Reset(), support.Reset(), a.Reset(), b.Reset();
        EXPECT_EQ(frame::CanUnloadNow(), S_OK);

        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        EXPECT_EQ(frame::CanUnloadNow(), S_FALSE);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
        EXPECT_EQ(frame::CanUnloadNow(), S_OK);
    }
}

TEST(ClassObjects, AggregatedObjectsTakeTheOutersIdentity) {
    for (const auto& cls : CreatableClasses()) {
        SCOPED_TRACE(GuidToString(*cls.clsid));
        auto factory = ClassObject(*cls.clsid);
        test::Aggregator outer;
        ASSERT_EQ(outer.Aggregate(factory.Get()), S_OK);
        ASSERT_NE(outer.Inner(), nullptr);
        // Creation took no reference on the outer object.
        EXPECT_EQ(outer.References(), 1);

        // The inner unknown is non-delegating: it answers for itself.
        ComPtr<IUnknown> innerSelf;
        ASSERT_EQ(outer.Inner()->QueryInterface(IID_IUnknown, innerSelf.PutVoid()), S_OK);
        EXPECT_EQ(innerSelf.Get(), outer.Inner());
        innerSelf.Reset();

        // The inner object's interfaces are the outer's: IUnknown through
        // them is the outer, and their references count on the outer.
        ComPtr<IUnknown> main;
        ASSERT_EQ(outer.QueryInterface(*cls.iid, main.PutVoid()), S_OK);
        EXPECT_EQ(outer.References(), 2);
        ComPtr<IUnknown> identity;
        ASSERT_EQ(main->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
        EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
        EXPECT_EQ(outer.References(), 3);
        identity.Reset();
        ComPtr<ISupportErrorInfo> support;
        ASSERT_EQ(main->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
        EXPECT_EQ(outer.References(), 3);
        support.Reset();

        if (IsEqualCLSID(*cls.clsid, CLSID_ATModemSession)) {
            // The session hands the outer's identity to its lines.
            ComPtr<IModemSession> session;
            ASSERT_EQ(main.As(&session, IID_IModemSession), S_OK);
            test::RecordingSessionCallback callback;
            ASSERT_EQ(session->Initialize(&callback), S_OK);
            ComPtr<ICommonData> bag;
            ASSERT_EQ(session->AddModem(Bstr(u"COM1").Get(), bag.Put()), S_OK);
            Variant self;
            ASSERT_EQ(bag->GetData(Bstr(u"ModemSession_IUnknown").Get(), &self), S_OK);
            ASSERT_EQ(self.vt, VT_UNKNOWN);
            EXPECT_EQ(self.punkVal, static_cast<IUnknown*>(&outer));
            self.Clear();
            ASSERT_EQ(session->Shutdown(), S_OK);
        }
        main.Reset();
        EXPECT_EQ(outer.References(), 1);

        EXPECT_EQ(frame::CanUnloadNow(), S_FALSE);
        outer.ReleaseInner();
        EXPECT_EQ(frame::CanUnloadNow(), S_OK);
    }
}

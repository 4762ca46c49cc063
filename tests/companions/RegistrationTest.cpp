// Registration of the companions (their entry points), their class objects
// and the unload decision.
#include <gtest/gtest.h>

#include <filesystem>
#include <span>

#include "Sandbox.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/registry.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;
namespace registry = tarvik::registry;

namespace {

#ifdef _WIN32
// What registration stores: the file the system loaded.
const std::string kRegistered =
    std::filesystem::path(TARVIK_COMPANIONS_PATH).make_preferred().string();
#else
// What registration stores: the SONAME link, which outlives an upgrade.
const std::string kRegistered =
    std::filesystem::absolute(TARVIK_COMPANIONS_SONAME_PATH).lexically_normal().string();
#endif

template <typename Fn>
Fn Entry(const char* name) {
    return reinterpret_cast<Fn>(tarvik::test::LibraryEntry(TARVIK_COMPANIONS_PATH, name));
}

HRESULT CallEntry(const char* name) {
    auto fn = Entry<PFN_DllRegisterServer>(name);
    return fn ? fn() : E_FAIL;
}

std::string Value(const registry::Key& root, const std::string& key, const std::string& name = "") {
    const registry::Key* k = root.Find("HKEY_CLASSES_ROOT\\" + key);
    const registry::Value* v = k ? k->GetValue(name) : nullptr;
    return v ? v->text : std::string("<missing>");
}

std::string Clsid(REFCLSID c) {
    return "CLSID\\" + tarvik::GuidToString(c);
}

// Classes, ProgIDs and threading model are written; an administrator's
// setting survives re-registration, a ProgID another library took over
// survives unregistration, and nothing else of ours does.
TEST(CompanionRegistration, EntryPointsRegisterEveryClassAndRemoveThemAgain) {
    auto update = [&](const std::string& key, const char* name, const std::string& value) {
        return registry::Update([&](registry::Key& root) {
            root.Create("HKEY_CLASSES_ROOT\\" + key).SetString(name, value);
            return S_OK;
        });
    };
    ASSERT_EQ(update(Clsid(CLSID_LogWriter), "LogFile", "/var/log/tarvik.log"), S_OK);
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);

    registry::Key root;
    ASSERT_EQ(registry::Load(&root), S_OK);
    EXPECT_EQ(Value(root, Clsid(CLSID_LogWriter), "LogFile"), "/var/log/tarvik.log");
    struct Expect {
        const CLSID* clsid;
        const char* progId;
    } classes[] = {{&CLSID_CommonData, "Tarvik.CommonData"},
                   {&CLSID_LogWriter, "Tarvik.LogWriter"},
                   {&CLSID_VL2600Settings, "Tarvik.VL2600Settings"},
                   {&CLSID_EventReporter, "Tarvik.EventReporter"}};
    for (const auto& c : classes) {
        EXPECT_EQ(Value(root, Clsid(*c.clsid) + "\\InprocServer32"), kRegistered);
        EXPECT_EQ(Value(root, Clsid(*c.clsid) + "\\InprocServer32", "ThreadingModel"), "Both");
        EXPECT_EQ(Value(root, Clsid(*c.clsid) + "\\ProgID"), c.progId);
        EXPECT_EQ(Value(root, std::string(c.progId) + "\\CLSID"), tarvik::GuidToString(*c.clsid));
    }

    const std::string other = "{12345678-1234-1234-1234-123456789ABC}";
    ASSERT_EQ(update("Tarvik.EventReporter\\CLSID", "", other), S_OK);
    EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK);
    root = registry::Key();
    ASSERT_EQ(registry::Load(&root), S_OK);
    for (const auto& c : classes)
        EXPECT_EQ(root.Find("HKEY_CLASSES_ROOT\\" + Clsid(*c.clsid)), nullptr);
    for (const auto& c : std::span(classes).first(3))
        EXPECT_EQ(root.Find(std::string("HKEY_CLASSES_ROOT\\") + c.progId), nullptr);
    EXPECT_EQ(Value(root, "Tarvik.EventReporter\\CLSID"), other);
    // Registered again, as the test program found them.
    EXPECT_EQ(CallEntry("DllRegisterServer"), S_OK);
}

TEST(EntryPoints, ClassObjectsAndTheUnloadDecision) {
    // Already loaded by the sandbox's registration; this is the same copy.
    auto getClassObject = Entry<PFN_DllGetClassObject>("DllGetClassObject");
    auto canUnloadNow = Entry<PFN_DllCanUnloadNow>("DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnloadNow);
    EXPECT_EQ(getClassObject(CLSID_CommonData, IID_IClassFactory, nullptr), E_POINTER);
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(CLSID_ATModemLine, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, nullptr);

    ASSERT_EQ(canUnloadNow(), S_OK) << "a companion object leaked from an earlier test";
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_CommonData, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // a host holding only the class object

    ComPtr<ICommonData> bag;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICommonData, bag.PutVoid()), S_OK);
    ComPtr<IUnknown> outer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()), S_OK);
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ICommonData, &pv), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    outer.Reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the bag
    bag.Reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the server lock

    ASSERT_EQ(getClassObject(CLSID_CommonData, IID_IClassFactory, factory.PutVoid()), S_OK);
    factory->LockServer(FALSE);
    factory.Reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST(SettingsComponent, CreatableWithASmallMap) {
    ComPtr<IVL2600Settings> settings;
    ASSERT_EQ(CoCreateInstance(CLSID_VL2600Settings, nullptr, CLSCTX_ALL, IID_IVL2600Settings,
                               settings.PutVoid()),
              S_OK);
    ASSERT_EQ(settings->SetSetting(Bstr(u"Speed").Get(), Variant(static_cast<LONG>(9600))), S_OK);
    Variant v;
    ASSERT_EQ(settings->GetSetting(Bstr(u"SPEED").Get(), &v), S_OK);
    EXPECT_EQ(v.lVal, 9600);
    EXPECT_EQ(settings->GetSetting(Bstr(u"Parity").Get(), &v), COMMONDATA_E_FIELDNOTFOUND);
}

}  // namespace

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "fixtures/InprocServer.h"
#include "tarvik/comptr.h"
#include "tarvik/registry.h"

using tarvik::ComPtr;
namespace reg = tarvik::registry;

namespace {

constexpr CLSID kLocalClass = {0x1F0E2D3C, 0x4B5A, 0x6978, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr CLSID kUnknownClass = {0x1F0E2D3C, 0x4B5A, 0x6978, {9, 9, 9, 9, 9, 9, 9, 9}};

// A factory living in the test, registered in-process.
class LocalFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!(riid == IID_IUnknown) && !(riid == IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        ++created;
        return QueryInterface(riid, ppv);  // stands in for an object
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    std::atomic<ULONG> refs{1};
    std::atomic<int> created{0};
};

// Registers `library` as the server of `clsid`; an empty name removes the class
// (tests run in one process share the store: a test may find another's class).
HRESULT RegisterServer(REFCLSID clsid, const std::string& library) {
    std::string key = "HKEY_CLASSES_ROOT\\CLSID\\" + tarvik::GuidToString(clsid);
    return reg::Update({{key}, {}}, [&](reg::Key& r) {
        if (library.empty()) {
            r.Remove(key);
        } else {
            reg::Key& server = r.Create(key + "\\InprocServer32");
            server.SetString("", library);
            // Free-threaded hosts get the objects themselves, not proxies.
            server.SetString("ThreadingModel", "Both");
        }
        return S_OK;
    });
}

// An object of `clsid` as a host asks for one.
HRESULT Create(REFCLSID clsid, ComPtr<IUnknown>* obj, DWORD context = CLSCTX_ALL) {
    return CoCreateInstance(clsid, nullptr, context, IID_IUnknown, obj->PutVoid());
}

bool Loaded(const char* path) {
    return tarvik::test::LoadedSymbol(path) != nullptr;
}

[[maybe_unused]] std::u16string LastErrorText() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK)
        return u"";
    tarvik::Bstr text;
    info->GetDescription(text.Put());
    return std::u16string(text.View());
}

TEST(Activation, InProcessRegistrationsAndTheirArguments) {
    LocalFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kLocalClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    ComPtr<IUnknown> obj;
    // Found for an in-process request, without any registry entry.
    ASSERT_EQ(Create(kLocalClass, &obj, CLSCTX_INPROC_SERVER), S_OK);
    EXPECT_EQ(factory.created, 1);
    obj = nullptr;
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.refs, 1u);  // the table's reference is gone
#ifndef _WIN32                    // Wine answers E_INVALIDARG
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
#endif
    void* out = &factory;
    EXPECT_EQ(CoCreateInstance(kLocalClass, nullptr, CLSCTX_ALL, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);

#ifndef _WIN32
    // A single-use registration serves once (Wine serves it again, where
    // Windows takes it from view at the first connection).
    ASSERT_EQ(CoRegisterClassObject(kLocalClass, &factory, CLSCTX_INPROC_SERVER, REGCLS_SINGLEUSE,
                                    &cookie),
              S_OK);
    for (HRESULT expected : {S_OK, REGDB_E_CLASSNOTREG})
        EXPECT_EQ(Create(kLocalClass, &obj), expected);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    obj = nullptr;

    // Null out-pointers and factories are refused without a reference taken
    // (Wine registers with a null cookie, and answers null object pointers
    // with E_INVALIDARG where Windows documents E_POINTER).
    EXPECT_EQ(CoRegisterClassObject(kLocalClass, &factory, CLSCTX_ALL, 0, nullptr), E_POINTER);
    EXPECT_EQ(CoCreateInstance(kLocalClass, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(CoGetClassObject(kLocalClass, CLSCTX_ALL, nullptr, IID_IUnknown, nullptr), E_POINTER);
#endif
    cookie = 5;
    EXPECT_EQ(CoRegisterClassObject(kLocalClass, nullptr, CLSCTX_ALL, 0, &cookie), E_INVALIDARG);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(factory.refs, 1u);
}

TEST(Activation, RegistryServerLoadsAndUnloads) {
    ASSERT_EQ(RegisterServer(CLSID_TestInproc, TARVIK_TEST_INPROC_PATH), S_OK);
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(Create(CLSID_TestInproc, &a, CLSCTX_INPROC_SERVER), S_OK);
    ASSERT_EQ(Create(CLSID_TestInproc, &b), S_OK);
    ASSERT_TRUE(Loaded(TARVIK_TEST_INPROC_PATH));
    auto live = reinterpret_cast<PFN_TestCount>(
        tarvik::test::LoadedSymbol(TARVIK_TEST_INPROC_PATH, "TestLiveObjects"));
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live(), 2);

    CoFreeUnusedLibrariesEx(0, 0);  // objects alive: must stay
    EXPECT_TRUE(Loaded(TARVIK_TEST_INPROC_PATH));
    a = nullptr;
    b = nullptr;
    CoFreeUnusedLibraries();  // idle only just now: the default delay keeps it
    EXPECT_TRUE(Loaded(TARVIK_TEST_INPROC_PATH));
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_FALSE(Loaded(TARVIK_TEST_INPROC_PATH));

    // It comes back on the next activation, and with a delay it is unloaded
    // only once it has been idle that long.
    ASSERT_EQ(Create(CLSID_TestInproc, &a), S_OK);
    a = nullptr;
    constexpr DWORD kDelayMs = 200;
#ifdef _WIN32
    // Wine starts the delay again at every call that finds the library idle
    // (Windows counts from the first): it must be asked less often.
    constexpr DWORD kPollMs = kDelayMs + 50;
#else
    constexpr DWORD kPollMs = 10;
#endif
    auto idleFrom = std::chrono::steady_clock::now();
    CoFreeUnusedLibrariesEx(kDelayMs, 0);
    auto deadline = idleFrom + std::chrono::seconds(20);
    while (Loaded(TARVIK_TEST_INPROC_PATH) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        CoFreeUnusedLibrariesEx(kDelayMs, 0);
    }
    EXPECT_FALSE(Loaded(TARVIK_TEST_INPROC_PATH));
    EXPECT_GE(std::chrono::steady_clock::now() - idleFrom, std::chrono::milliseconds(kDelayMs));
}

TEST(Activation, UnknownAndBrokenServers) {
    RegisterServer(kUnknownClass, "");
    ComPtr<IUnknown> obj;
    EXPECT_EQ(Create(kUnknownClass, &obj, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);

#ifndef _WIN32  // Wine: E_ACCESSDENIED and CO_E_DLLNOTFOUND, and no reason given
    const std::string missing = tarvik::test::SandboxRoot() + "/no-such-library.so";
    ASSERT_EQ(RegisterServer(kUnknownClass, missing), S_OK);
    EXPECT_EQ(Create(kUnknownClass, &obj, CLSCTX_INPROC_SERVER), CO_E_DLLNOTFOUND);
    EXPECT_NE(LastErrorText().find(tarvik::Utf8ToUtf16(missing)), std::u16string::npos);

    const std::string junk = tarvik::test::SandboxRoot() + "/not-a-library.so";
    std::ofstream(junk) << "this is text, not ELF\n";
    ASSERT_EQ(RegisterServer(kUnknownClass, junk), S_OK);
    EXPECT_EQ(Create(kUnknownClass, &obj, CLSCTX_INPROC_SERVER), CO_E_ERRORINDLL);
    std::u16string why = LastErrorText();
    EXPECT_NE(why.find(tarvik::Utf8ToUtf16(junk)), std::u16string::npos);
    EXPECT_GT(why.size(), tarvik::Utf8ToUtf16(junk).size() + 20) << "loader's reason missing";

    ASSERT_EQ(RegisterServer(kUnknownClass, TARVIK_TEST_NOENTRY_PATH), S_OK);
    EXPECT_EQ(Create(kUnknownClass, &obj, CLSCTX_INPROC_SERVER), CO_E_ERRORINDLL);
    EXPECT_NE(LastErrorText().find(u"DllGetClassObject"), std::u16string::npos);

#endif
    // The library serves only its own class.
    ASSERT_EQ(RegisterServer(kUnknownClass, TARVIK_TEST_INPROC_PATH), S_OK);
    EXPECT_EQ(Create(kUnknownClass, &obj, CLSCTX_INPROC_SERVER), CLASS_E_CLASSNOTAVAILABLE);
    // A registry server cannot answer an out-of-process request.
    ASSERT_EQ(RegisterServer(CLSID_TestInproc, TARVIK_TEST_INPROC_PATH), S_OK);
    EXPECT_EQ(Create(CLSID_TestInproc, &obj, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
}

#ifndef _WIN32  // the stand-in's registry file, read again only when it changed
TEST(Activation, SeesRegistrationsOfOtherProcessesWithoutRereadingEachTime) {
    constexpr CLSID kLate = {0x2A2A2A2A, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    RegisterServer(kLate, "");
    ComPtr<IUnknown> obj;
    EXPECT_EQ(Create(kLate, &obj), REGDB_E_CLASSNOTREG);
    std::shared_ptr<const reg::Key> before;
    ASSERT_EQ(reg::Snapshot(&before), S_OK);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(FAILED(RegisterServer(kLate, TARVIK_TEST_INPROC_PATH)) ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The fixture serves only its own class: this answer proves the library was
    // asked. A snapshot taken before stays as it was.
    EXPECT_EQ(Create(kLate, &obj), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(before->Find("HKEY_CLASSES_ROOT\\CLSID\\" + tarvik::GuidToString(kLate)), nullptr);

    ASSERT_EQ(RegisterServer(CLSID_TestInproc, TARVIK_TEST_INPROC_PATH), S_OK);
    ASSERT_EQ(Create(CLSID_TestInproc, &obj), S_OK);
    uint64_t reads = reg::SnapshotReads();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(Create(CLSID_TestInproc, &obj), S_OK);
    EXPECT_EQ(reg::SnapshotReads(), reads);
}
#endif

TEST(Activation, ProgIds) {
    const std::string text = tarvik::GuidToString(CLSID_TestInproc);
    const reg::Scope scope{{"HKEY_CLASSES_ROOT\\Tarvik.Test.1", "HKEY_CLASSES_ROOT\\Tarvik.Test",
                            "HKEY_CLASSES_ROOT\\CLSID\\" + text},
                           {}};
    ASSERT_EQ(
        reg::Update(
            scope,
            [&](reg::Key& r) {
                r.Create("HKEY_CLASSES_ROOT\\Tarvik.Test.1\\CLSID").SetString("", text);
                r.Create("HKEY_CLASSES_ROOT\\Tarvik.Test\\CurVer").SetString("", "Tarvik.Test.1");
                r.Create("HKEY_CLASSES_ROOT\\CLSID\\" + text + "\\ProgID")
                    .SetString("", "Tarvik.Test.1");
                return S_OK;
            }),
        S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"tarvik.test.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestInproc);
#ifndef _WIN32  // Wine does not follow CurVer to the current version
    ASSERT_EQ(CLSIDFromProgID(u"Tarvik.Test", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestInproc);
#endif
    ASSERT_EQ(CLSIDFromString(u"Tarvik.Test.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestInproc);
    EXPECT_EQ(CLSIDFromProgID(u"Tarvik.Missing", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
    // A ProgID cannot reach into other keys.
    std::u16string sneaky =
        u"CLSID\\" + tarvik::Utf8ToUtf16(tarvik::GuidToString(CLSID_TestInproc)) + u"\\ProgID\\..";
    EXPECT_EQ(CLSIDFromProgID(sneaky.c_str(), &clsid), CO_E_CLASSSTRING);

    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_TestInproc, &progId), S_OK);
    EXPECT_EQ(std::u16string_view(progId), u"Tarvik.Test.1");
    CoTaskMemFree(progId);
    EXPECT_EQ(ProgIDFromCLSID(kUnknownClass, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);
}

TEST(Activation, ConcurrentUse) {
    ASSERT_EQ(RegisterServer(CLSID_TestInproc, TARVIK_TEST_INPROC_PATH), S_OK);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            LocalFactory factory;
            // A class of its own: Windows keeps one registration per class.
            CLSID own = kLocalClass;
            own.Data4[7] = static_cast<unsigned char>(100 + t);
            for (int i = 0; i < 200; ++i) {
                ComPtr<IUnknown> obj;
                failures += FAILED(Create(CLSID_TestInproc, &obj));
                obj = nullptr;
                if (t == 0)
                    CoFreeUnusedLibraries();  // races the others' loads
                DWORD cookie = 0;
                failures += FAILED(CoRegisterClassObject(own, &factory, CLSCTX_ALL, 1, &cookie));
                failures += FAILED(CoRevokeClassObject(cookie));
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace

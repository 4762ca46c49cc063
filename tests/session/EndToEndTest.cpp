// libtarvik.so as a host meets it: registered with the tarvik tool, objects made by ProgID and
// CLSID through activation, a line on a simulated modem telling the host through the session that
// its medium closed, and unregistration that leaves nothing behind.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "SessionFakes.h"
#include "line/LineTestKit.h"
#include "process/ToolProcess.h"
#include "sim/SimModem.h"
#include "tarvik/registry.h"

using namespace tarvik;
using namespace std::chrono_literals;

namespace {

int RunCli(const char* verb) {
    // The child inherits the sandbox's TARVIK_REGISTRY.
    return test::ToolProcess({TARVIK_CLI_PATH, verb, TARVIK_COMPONENT_PATH}).Finish();
}

bool Registered(const CLSID& clsid, std::string* path = nullptr) {
    std::string value;
    bool found = registry::QueryString(
        "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid) + "\\InprocServer32", "", &value);
    if (path)
        *path = value;
    return found;
}

}  // namespace

TEST(EndToEnd, ALineMadeByClsidReportsMediaClosedThroughASessionMadeByProgId) {
    ASSERT_EQ(RunCli("register"), 0);
    std::string session, line;
    ASSERT_TRUE(Registered(CLSID_ATModemSession, &session));
    ASSERT_TRUE(Registered(CLSID_ATModemLine, &line));
    // Registered by the versioned file, named by the SONAME link: an upgrade
    // that replaces the file keeps the registration working.
    const std::string stable =
        std::filesystem::absolute(TARVIK_COMPONENT_SONAME_PATH).lexically_normal().string();
    EXPECT_EQ(session, stable);
    EXPECT_EQ(line, stable);

    // The component library as activation loads it.
    std::unique_ptr<void, int (*)(void*)> component(
        dlopen(TARVIK_COMPONENT_PATH, RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_TRUE(component) << dlerror();
    auto canUnloadNow =
        reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(component.get(), "DllCanUnloadNow"));
    ASSERT_NE(canUnloadNow, nullptr);
    test::RecordingSessionCallback sessionHost;
    {
        CLSID sessionClass{};
        ASSERT_EQ(CLSIDFromProgID(u"Tarvik.ATModemSession", &sessionClass), S_OK);
        ComPtr<IModemSession> session;
        ASSERT_EQ(CoCreateInstance(sessionClass, nullptr, CLSCTX_ALL, IID_IModemSession,
                                   session.PutVoid()),
                  S_OK);
        ComPtr<IModemLine> line;
        ASSERT_EQ(CoCreateInstance(CLSID_ATModemLine, nullptr, CLSCTX_INPROC_SERVER, IID_IModemLine,
                                   line.PutVoid()),
                  S_OK);
        // Both objects come from the library, not from code linked into
        // this test: the library's own lock count sees them.
        EXPECT_EQ(canUnloadNow(), S_FALSE);

        test::SimModem modem(test::LineHarness::DefaultOptions());
        ASSERT_TRUE(modem.Start());
        ASSERT_FALSE(modem.LinkAs("COM41").empty());

        ASSERT_EQ(session->Initialize(&sessionHost), S_OK);
        Bstr port(u"COM41");
        ComPtr<ICommonData> modemData;
        ASSERT_EQ(session->AddModem(port.Get(), modemData.Put()), S_OK);
        auto lineHost = test::RecordingLineCallback::Create();
        ASSERT_EQ(line->Initialize(modemData.Get(), lineHost.Get()), S_OK);
        ASSERT_EQ(
            line->OpenLine(test::Bag({{u"COMPort", u"COM41"}, {u"ModemSetting", u"ATZ"}}).Get()),
            S_OK);

        // The modem goes away under the open line (a USB modem unplugged).
        modem.Vanish();
        ASSERT_TRUE(sessionHost.WaitForCalls(1, 10s));
        auto calls = sessionHost.Calls();
        EXPECT_EQ(calls[0].what, "MediaClosed");
        EXPECT_EQ(calls[0].a, 1) << "the media ID AddModem handed out";
        EXPECT_EQ(sessionHost.CallsWithoutReference(), 0);

        line->CloseLine();
        line->Shutdown();
        EXPECT_EQ(session->Shutdown(), S_OK);
    }
    // Event threads of the line end on their own; wait until the last object
    // of the library has gone.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (canUnloadNow() != S_OK && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(canUnloadNow(), S_OK);
    EXPECT_EQ(sessionHost.References(), 0);

    // Unregistration leaves nothing a host could create.
    ASSERT_EQ(RunCli("unregister"), 0);
    EXPECT_FALSE(Registered(CLSID_ATModemSession));
    EXPECT_FALSE(Registered(CLSID_ATModemLine));
    CLSID clsid{};
    EXPECT_TRUE(FAILED(CLSIDFromProgID(u"Tarvik.ATModemSession", &clsid)));
    ComPtr<IModemSession> none;
    EXPECT_EQ(CoCreateInstance(CLSID_ATModemSession, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IModemSession, none.PutVoid()),
              REGDB_E_CLASSNOTREG);
}

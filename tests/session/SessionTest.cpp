// The session's lifecycle and modem registry, as a host sees them: results,
// the shared modem data handed out, log entries and error information.
#include <gtest/gtest.h>

#include "SessionFakes.h"
#include "frame/ClassTable.h"
#include "frame/Module.h"
#include "recorders/RecordingLog.h"
#include "recorders/UncreatableClass.h"
#include "session/ModemSession.h"
#include "tarvik/comptr.h"

using namespace tarvik;
using test::RecordingLog;
using test::RecordingSessionCallback;

namespace {

struct ErrorInfoSeen {
    std::u16string description;
    std::u16string source;
    GUID guid{};
};

std::optional<ErrorInfoSeen> TakeErrorInfo() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info)
        return std::nullopt;
    ErrorInfoSeen seen;
    Bstr d, s;
    info->GetDescription(d.Put());
    info->GetSource(s.Put());
    info->GetGUID(&seen.guid);
    seen.description = std::u16string(d.View());
    seen.source = std::u16string(s.View());
    return seen;
}

// References held on `p` besides the caller's probe.
ULONG RefsOf(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

Variant Field(ICommonData* bag, const char16_t* name) {
    Variant v;
    Bstr n(name);
    EXPECT_EQ(bag->GetData(n.Get(), &v), S_OK) << ToAnsi(name);
    return v;
}

LONG MediaIdOf(ICommonData* bag) {
    Variant v = Field(bag, u"MediaID");
    EXPECT_EQ(v.vt, VT_I4);
    return v.lVal;
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        // Registered, so that error information can name the class's ProgID.
        ASSERT_EQ(frame::RegisterServer(frame::ModulePath()), S_OK);
        ASSERT_EQ(session::CreateModemSession(nullptr, &frame::Module(), IID_IModemSession,
                                              session_.PutVoid()),
                  S_OK);
        GetErrorInfo(0, ComPtr<IErrorInfo>().Put());  // start without error information
    }
    void TearDown() override {
        session_->Shutdown();
        session_.Reset();
    }

    ComPtr<ICommonData> Add(const char16_t* port) {
        Bstr name(port);
        ComPtr<ICommonData> bag;
        EXPECT_EQ(session_->AddModem(name.Get(), bag.Put()), S_OK);
        return bag;
    }

    RecordingLog log_;  // before the session: the session's writer records here
    RecordingSessionCallback callback_;
    ComPtr<IModemSession> session_;
};

}  // namespace

TEST_F(Session, AddModemBeforeInitializeFailsAndHandsOutNoMediaId) {
    Bstr port(u"COM1");
    ICommonData* out = reinterpret_cast<ICommonData*>(0x1);
    EXPECT_EQ(session_->AddModem(port.Get(), &out), E_FAIL);
    EXPECT_EQ(log_.With("CModemSession::AddModem()", "The session has not been initialized").size(),
              1u);
    auto closing = log_.With("CModemSession::AddModem()", "An exception occurred");
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(closing[0].markA, -1);
    EXPECT_EQ(closing[0].markB, 0);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::AddModem\n");
    EXPECT_EQ(info->source, u"Tarvik.ATModemSession.1");
    EXPECT_TRUE(IsEqualGUID(info->guid, IID_IModemSession));

    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    auto bag = Add(u"COM1");
    ASSERT_TRUE(bag);
    EXPECT_EQ(MediaIdOf(bag.Get()), 1);
}

TEST_F(Session, SharedModemDataCarriesItsFourFieldsInOrder) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    auto bag = Add(u"\\\\.\\COM12");
    ASSERT_TRUE(bag);

    const char16_t* expected[] = {u"MediaID", u"RequestID", u"ModemSession_IUnknown",
                                  u"COMPortName"};
    Bstr name;
    Variant value;
    ASSERT_EQ(bag->GetFirst(name.Put(), &value), S_OK);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(name.View(), expected[i]);
        value.Clear();
        HRESULT hr = bag->GetNext(name.Put(), &value);
        if (i < 3) {
            ASSERT_EQ(hr, S_OK);
        }
    }
    LONG count = 0;
    ASSERT_EQ(bag->GetCount(&count), S_OK);
    EXPECT_EQ(count, 4);

    EXPECT_EQ(MediaIdOf(bag.Get()), 1);
    Variant request = Field(bag.Get(), u"RequestID");
    EXPECT_EQ(request.vt, VT_I4);
    EXPECT_EQ(request.lVal, 0);
    Variant port = Field(bag.Get(), u"COMPortName");
    ASSERT_EQ(port.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(port.bstrVal, SysStringLen(port.bstrVal)), u"\\\\.\\COM12");

    // The session's own identity, through which a line reaches it.
    Variant self = Field(bag.Get(), u"ModemSession_IUnknown");
    ASSERT_EQ(self.vt, VT_UNKNOWN);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(session_->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    EXPECT_EQ(self.punkVal, identity.Get());
    ComPtr<IModemSessionPrivate> priv;
    EXPECT_EQ(self.punkVal->QueryInterface(IID_IModemSessionPrivate, priv.PutVoid()), S_OK);

    EXPECT_EQ(log_.With("CModemSession::AddModem()", "\\\\.\\COM12").size(), 1u);
    auto done = log_.With("CModemSession::AddModem()", "All goes well");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].markA, -1);
    EXPECT_EQ(done[0].markB, 1);
}

TEST_F(Session, FiveModemsGetIdsOneToFiveAndOnlyFourAreRegistered) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    std::vector<ComPtr<ICommonData>> bags;
    for (int i = 0; i < 5; ++i) {
        bags.push_back(Add(u"COM1"));
        ASSERT_TRUE(bags.back());
        EXPECT_EQ(MediaIdOf(bags.back().Get()), i + 1);
    }
    // Ours, plus the registry's for the first four.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(RefsOf(bags[i].Get()), 2u) << i;
    EXPECT_EQ(RefsOf(bags[4].Get()), 1u);
    LONG max = 0;
    EXPECT_EQ(session_->get_MaxModems(&max), S_OK);
    EXPECT_EQ(max, 4);

    // Shutdown lets go of the registry's references too.
    ASSERT_EQ(session_->Shutdown(), S_OK);
    for (auto& bag : bags)
        EXPECT_EQ(RefsOf(bag.Get()), 1u);
}

TEST_F(Session, MediaIdsAreNeverReusedByOneSession) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    auto first = Add(u"COM1");
    EXPECT_EQ(MediaIdOf(first.Get()), 1);
    EXPECT_EQ(RefsOf(first.Get()), 2u);

    // Initialize again: a new registry, but the count goes on.
    RecordingSessionCallback second;
    ASSERT_EQ(session_->Initialize(&second), S_OK);
    EXPECT_EQ(RefsOf(first.Get()), 1u);
    EXPECT_EQ(callback_.References(), 0);
    EXPECT_EQ(second.References(), 1);
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 2);

    // DeleteModem changes nothing, whatever it is given.
    for (LONG id : {1, 2, 0, -7, 1000})
        EXPECT_EQ(session_->DeleteModem(id), S_OK);
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 3);

    // Not even Shutdown and Initialize start over.
    ASSERT_EQ(session_->Shutdown(), S_OK);
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 4);
}

TEST_F(Session, DuplicateAndNullPortNamesAreAccepted) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    auto a = Add(u"COM3");
    auto b = Add(u"COM3");
    EXPECT_NE(MediaIdOf(a.Get()), MediaIdOf(b.Get()));

    ComPtr<ICommonData> c;
    ASSERT_EQ(session_->AddModem(nullptr, c.Put()), S_OK);
    Variant port = Field(c.Get(), u"COMPortName");
    ASSERT_EQ(port.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(port.bstrVal), 0u);
}

TEST_F(Session, AddModemWithoutAnOutPointerFails) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    Bstr port(u"COM1");
    EXPECT_EQ(session_->AddModem(port.Get(), nullptr), E_FAIL);
    EXPECT_EQ(
        log_.With("CModemSession::AddModem()", "Invalid Parameter : ppSharedModemData").size(), 1u);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::AddModem\n");
}

TEST_F(Session, AddModemFailsWhenTheSettingsComponentIsMissing) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    {
        test::UncreatableClass missing(CLSID_VL2600Settings);
        ASSERT_TRUE(missing.Registered());
        Bstr port(u"COM1");
        ICommonData* out = reinterpret_cast<ICommonData*>(0x1);
        EXPECT_EQ(session_->AddModem(port.Get(), &out), E_FAIL);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(missing.Attempts(), 1);
        auto failed = log_.With("CModemSession::AddModem()", "VL2600Settings failed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].markA, -1);
        EXPECT_EQ(failed[0].markB, 0);
    }
    // The failure came before a media ID was taken.
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 1);
}

TEST_F(Session, AddModemFailsWhenNoPropertyBagCanBeCreated) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    test::UncreatableClass missing(CLSID_CommonData);
    Bstr port(u"COM1");
    ComPtr<ICommonData> out;
    EXPECT_EQ(session_->AddModem(port.Get(), out.Put()), E_FAIL);
    EXPECT_FALSE(out);
}

TEST_F(Session, ARefusedFieldFailsAddModemWithTheBagsDescriptionAndUsesUpTheId) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    std::atomic<int> made{0};
    IClassFactory* factory = NewClassFactory(
        [&made](IUnknown* outer, REFIID iid, void** ppv) {
            ++made;
            return CreateComObject<test::RefusingBag>(outer, nullptr, iid, ppv,
                                                      std::u16string(u"COMPortName"));
        },
        nullptr);
    ASSERT_NE(factory, nullptr);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_CommonData, factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    Bstr port(u"COM1");
    ComPtr<ICommonData> out;
    EXPECT_EQ(session_->AddModem(port.Get(), out.Put()), E_FAIL);
    EXPECT_FALSE(out);
    EXPECT_EQ(made.load(), 1);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::AddModem\nfield refused");
    CoRevokeClassObject(cookie);
    factory->Release();

    // The refused bag consumed media ID 1.
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 2);
}

TEST_F(Session, InitializeAndShutdownCheckTheirState) {
    // Shutdown before Initialize, and twice.
    EXPECT_EQ(session_->Shutdown(), E_FAIL);
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    EXPECT_EQ(callback_.References(), 1);
    EXPECT_EQ(session_->Shutdown(), S_OK);
    EXPECT_EQ(callback_.References(), 0);
    EXPECT_EQ(session_->Shutdown(), E_FAIL);

    auto notInit = log_.With("CModemSession::Shutdown()", "The session has not been initialized");
    ASSERT_EQ(notInit.size(), 2u);
    EXPECT_EQ(notInit[0].markA, 0);
    EXPECT_EQ(notInit[0].markB, 1);
    EXPECT_EQ(log_.With("CModemSession::Shutdown()", "An exception occurred").size(), 2u);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::Shutdown\n");

    auto done = log_.With("CModemSession::Shutdown()", "All goes well");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].markA, -1);
    EXPECT_EQ(done[0].markB, 1);
    auto initDone = log_.With("CModemSession::Initialize()", "All goes well");
    ASSERT_EQ(initDone.size(), 1u);
    EXPECT_EQ(initDone[0].markB, 1);
}

TEST_F(Session, InitializeWithoutACallbackFailsAndDropsTheOldOne) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    auto bag = Add(u"COM1");
    EXPECT_EQ(session_->Initialize(nullptr), E_FAIL);
    EXPECT_EQ(log_.With("CModemSession::Initialize()", "Invalid parameter : pIModemSessionCallback")
                  .size(),
              1u);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::Initialize\n");
    EXPECT_EQ(callback_.References(), 0);
    // The registry and the initialised state are untouched.
    EXPECT_EQ(RefsOf(bag.Get()), 2u);
    EXPECT_EQ(MediaIdOf(Add(u"COM1").Get()), 2);
    // Without a callback nothing can be told to the host.
    ComPtr<IModemSessionPrivate> priv;
    ASSERT_EQ(session_.As(&priv, IID_IModemSessionPrivate), S_OK);
    EXPECT_EQ(priv->HandleLineMessage(0, 0, 1, 1, 0), E_FAIL);
    EXPECT_EQ(callback_.CallCount(), 0);
}

TEST_F(Session, PropertiesAndOperationsThatDoNothing) {
    LONG value = -1;
    EXPECT_EQ(session_->get_MaxModems(&value), S_OK);
    EXPECT_EQ(value, 4);
    auto done = log_.With("CModemSession::get_MaxModems()", "All goes well");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].markA, -1);
    EXPECT_EQ(done[0].markB, 1);
    EXPECT_EQ(session_->get_MaxModems(nullptr), E_FAIL);
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"CModemSession::get_MaxModems\n");

    // 0 even after failures.
    value = -1;
    EXPECT_EQ(session_->get_LastError(&value), S_OK);
    EXPECT_EQ(value, 0);
    value = -1;
    EXPECT_EQ(session_->get_LastSessionError(&value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(session_->get_LastError(nullptr), E_POINTER);
    EXPECT_EQ(session_->get_LastSessionError(nullptr), E_POINTER);

    ComPtr<IModemSessionPrivate> priv;
    ASSERT_EQ(session_.As(&priv, IID_IModemSessionPrivate), S_OK);
    value = 77;
    EXPECT_EQ(priv->EnterCriticalSection(), E_NOTIMPL);
    EXPECT_EQ(priv->LeaveCriticalSection(), E_NOTIMPL);
    EXPECT_EQ(priv->FatalError(1, 2, 3), E_NOTIMPL);
    EXPECT_EQ(priv->get_LineApp(&value), E_NOTIMPL);
    EXPECT_EQ(priv->get_TAPIEvent(&value), E_NOTIMPL);
    EXPECT_EQ(priv->get_SessionShutdownEvent(&value), E_NOTIMPL);
    EXPECT_EQ(value, 77);
}

TEST_F(Session, InterfacesAndErrorInfoSupport) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(session_->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(session_.Get()));
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(session_.As(&support, IID_ISupportErrorInfo), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemSession), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemSessionPrivate), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemLine), S_FALSE);
    ComPtr<IModemLine> line;
    EXPECT_EQ(session_.As(&line, IID_IModemLine), E_NOINTERFACE);
    ComPtr<IModemSessionCallback> cb;
    EXPECT_EQ(session_.As(&cb, IID_IModemSessionCallback), E_NOINTERFACE);
}

TEST(SessionWithoutLogWriter, WorksAllTheSame) {
    test::UncreatableClass noLog(CLSID_LogWriter);
    ComPtr<IModemSession> session;
    ASSERT_EQ(session::CreateModemSession(nullptr, nullptr, IID_IModemSession, session.PutVoid()),
              S_OK);
    EXPECT_EQ(noLog.Attempts(), 1);
    RecordingSessionCallback callback;
    ASSERT_EQ(session->Initialize(&callback), S_OK);
    Bstr port(u"COM1");
    ComPtr<ICommonData> bag;
    ASSERT_EQ(session->AddModem(port.Get(), bag.Put()), S_OK);
    EXPECT_EQ(MediaIdOf(bag.Get()), 1);
    EXPECT_EQ(session->AddModem(port.Get(), nullptr), E_FAIL);
    ASSERT_EQ(session->Shutdown(), S_OK);
    EXPECT_EQ(session->Shutdown(), E_FAIL);
}

// The session as a host sees it: results, the shared modem data handed out,
// log entries, error information, and what the lines' messages make of the
// host's session callback.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "SessionFakes.h"
#include "frame/ClassTable.h"
#include "frame/Module.h"
#include "line/LineTestKit.h"
#include "recorders/RecordingLog.h"
#include "recorders/UncreatableClass.h"
#include "session/ModemSession.h"
#include "tarvik/comptr.h"

using namespace tarvik;
using test::RecordingLog;
using test::RecordingSessionCallback;

namespace {

Variant Field(ICommonData* bag, const char16_t* name) {
    Variant v;
    EXPECT_EQ(bag->GetData(Bstr(name).Get(), &v), S_OK) << ToAnsi(name);
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
        ASSERT_EQ(session_.As(&private_, IID_IModemSessionPrivate), S_OK);
        GetErrorInfo(0, ComPtr<IErrorInfo>().Put());  // start without error information
    }
    void TearDown() override { session_->Shutdown(); }

    void Init() { ASSERT_EQ(session_->Initialize(&callback_), S_OK); }
    ComPtr<ICommonData> Add(const char16_t* port = u"COM1") {
        ComPtr<ICommonData> bag;
        EXPECT_EQ(session_->AddModem(Bstr(port).Get(), bag.Put()), S_OK);
        return bag;
    }
    LONG NextId() { return MediaIdOf(Add().Get()); }

    // The description of the error information a failed call left, which must
    // name the session's class and interface.
    std::u16string TakeDescription() {
        auto e = test::TakeErrorInfo();
        if (!e.present)
            return u"<none>";
        EXPECT_EQ(e.source, u"Tarvik.ATModemSession.1");
        EXPECT_TRUE(IsEqualGUID(e.iid, IID_IModemSession));
        return e.description;
    }
    void ExpectMarks(const char* function, const char* message, LONG a, LONG b, size_t n = 1) {
        auto entries = log_.With(function, message);
        ASSERT_EQ(entries.size(), n) << function << " " << message;
        EXPECT_EQ(entries[0].markA, a) << function << " " << message;
        EXPECT_EQ(entries[0].markB, b) << function << " " << message;
    }

    RecordingLog log_;  // before the session: the session's writer records here
    RecordingSessionCallback callback_;
    ComPtr<IModemSession> session_;
    ComPtr<IModemSessionPrivate> private_;
};

}  // namespace

TEST_F(Session, EveryRefusedCallLogsWhyAndDescribesItself) {
    struct Case {
        const char* what;
        bool initialized;
        std::function<HRESULT()> call;
        const char* function;  // of the log entries
        const char* notice;    // nullptr: no notice of its own
        LONG noticeA, noticeB;
        const char16_t* description;
    } cases[] = {
        {"AddModem before Initialize", false,
         [this] {
             ICommonData* out = reinterpret_cast<ICommonData*>(0x1);
             return session_->AddModem(Bstr(u"COM1").Get(), &out);
         },
         "CModemSession::AddModem()", "The session has not been initialized", -1, 0,
         u"CModemSession::AddModem\n"},
        {"AddModem without an out pointer", true,
         [this] { return session_->AddModem(Bstr(u"COM1").Get(), nullptr); },
         "CModemSession::AddModem()", "Invalid Parameter : ppSharedModemData", -1, 0,
         u"CModemSession::AddModem\n"},
        {"Shutdown before Initialize", false, [this] { return session_->Shutdown(); },
         "CModemSession::Shutdown()", "The session has not been initialized", 0, 1,
         u"CModemSession::Shutdown\n"},
        {"Initialize without a callback", false, [this] { return session_->Initialize(nullptr); },
         "CModemSession::Initialize()", "Invalid parameter : pIModemSessionCallback", -1, 0,
         u"CModemSession::Initialize\n"},
        {"MaxModems without an out pointer", false,
         [this] { return session_->get_MaxModems(nullptr); }, "CModemSession::get_MaxModems()",
         nullptr, 0, 0, u"CModemSession::get_MaxModems\n"},
        {"a line message without a callback", false,
         [this] { return private_->HandleLineMessage(0, 0, 1, 7, 0); },
         "CModemSession::HandleLineMessage()", nullptr, 0, 0, u"CModemSession::FatalError\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.initialized)
            Init();
        log_.Clear();
        EXPECT_EQ(c.call(), E_FAIL);
        if (c.notice)
            ExpectMarks(c.function, c.notice, c.noticeA, c.noticeB);
        ExpectMarks(c.function, "An exception occurred", -1, 0);
        EXPECT_EQ(TakeDescription(), c.description);
        session_->Shutdown();
    }
    EXPECT_EQ(callback_.CallCount(), 0);
}

TEST_F(Session, SharedModemDataCarriesItsFourFieldsInOrder) {
    Init();
    auto bag = Add(u"\\\\.\\COM12");
    ASSERT_TRUE(bag);

    // Names, order, types and values as a host walking the bag sees them.
    Bstr text;
    ASSERT_EQ(bag->Retrieve(text.Put()), S_OK);
    EXPECT_EQ(text.View(),
              u"MediaID\tI4\t1\nRequestID\tI4\t0\nModemSession_IUnknown\tUNKNOWN\t\n"
              u"COMPortName\tBSTR\t\\\\\\\\.\\\\COM12\n");

    // The session's own identity, through which a line reaches it.
    Variant self = Field(bag.Get(), u"ModemSession_IUnknown");
    ASSERT_EQ(self.vt, VT_UNKNOWN);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(session_->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    EXPECT_EQ(self.punkVal, identity.Get());

    ExpectMarks("CModemSession::AddModem()", "\\\\.\\COM12", -1, 0);
    ExpectMarks("CModemSession::AddModem()", "All goes well", -1, 1);
    ExpectMarks("CModemSession::Initialize()", "All goes well", -1, 1);
}

TEST_F(Session, FiveModemsOfAnyNameGetIdsOneToFive) {
    Init();
    // The same port name four times: nothing checks for duplicates.
    std::vector<ComPtr<ICommonData>> bags;
    for (int i = 0; i < 4; ++i)
        bags.push_back(Add());
    // A null port name gives an empty one.
    bags.emplace_back();
    ASSERT_EQ(session_->AddModem(nullptr, bags.back().Put()), S_OK);
    Variant port = Field(bags.back().Get(), u"COMPortName");
    ASSERT_EQ(port.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(port.bstrVal), 0u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(MediaIdOf(bags[i].Get()), i + 1);
    LONG max = 0;
    EXPECT_EQ(session_->get_MaxModems(&max), S_OK);
    EXPECT_EQ(max, 4);
    ExpectMarks("CModemSession::get_MaxModems()", "All goes well", -1, 1);

    ASSERT_EQ(session_->Shutdown(), S_OK);
    ExpectMarks("CModemSession::Shutdown()", "All goes well", -1, 1);
}

TEST_F(Session, ReleasedWithoutShutdownTheSessionAndItsBagsGo) {
    ModuleLock module;
    ComPtr<IModemSession> session;
    ASSERT_EQ(session::CreateModemSession(nullptr, &module, IID_IModemSession, session.PutVoid()),
              S_OK);
    ASSERT_EQ(session->Initialize(&callback_), S_OK);
    for (int i = 0; i < 2; ++i) {
        ComPtr<ICommonData> bag;
        ASSERT_EQ(session->AddModem(Bstr(u"COM1").Get(), bag.Put()), S_OK);
    }
    EXPECT_FALSE(module.CanUnload());
    session.Reset();
    // Each bag held the session, and nothing may hold the bags in turn.
    EXPECT_TRUE(module.CanUnload());
    EXPECT_EQ(callback_.References(), 0);
}

TEST_F(Session, MediaIdsAreNeverReusedByOneSession) {
    ICommonData* none = nullptr;
    EXPECT_EQ(session_->AddModem(Bstr(u"COM1").Get(), &none), E_FAIL);  // takes no ID
    Init();
    auto first = Add();
    EXPECT_EQ(MediaIdOf(first.Get()), 1);

    // Without a callback the old one is dropped, the initialised state is
    // kept, and nothing can be told to the host.
    EXPECT_EQ(session_->Initialize(nullptr), E_FAIL);
    EXPECT_EQ(callback_.References(), 0);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 1, 0), E_FAIL);
    EXPECT_EQ(callback_.CallCount(), 0);
    EXPECT_EQ(NextId(), 2);

    // Initialize again: a new callback, but the count goes on.
    RecordingSessionCallback second;
    ASSERT_EQ(session_->Initialize(&second), S_OK);
    EXPECT_EQ(second.References(), 1);
    EXPECT_EQ(NextId(), 3);

    // DeleteModem changes nothing, whatever it is given.
    for (LONG id : {1, 2, 0, -7, 1000})
        EXPECT_EQ(session_->DeleteModem(id), S_OK);
    EXPECT_EQ(NextId(), 4);

    // Not even Shutdown and Initialize start over.
    ASSERT_EQ(session_->Shutdown(), S_OK);
    EXPECT_EQ(second.References(), 0);
    EXPECT_EQ(session_->Shutdown(), E_FAIL);
    Init();
    EXPECT_EQ(NextId(), 5);
}

TEST_F(Session, AddModemFailsWithoutItsComponents) {
    Init();
    {
        test::UncreatableClass missing(CLSID_VL2600Settings);
        ICommonData* out = reinterpret_cast<ICommonData*>(0x1);
        EXPECT_EQ(session_->AddModem(Bstr(u"COM1").Get(), &out), E_FAIL);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(missing.Attempts(), 1);
        ExpectMarks("CModemSession::AddModem()", "VL2600Settings failed", -1, 0);
        EXPECT_EQ(TakeDescription(),
                  u"CModemSession::AddModem\nthe modem-settings component is not registered");
    }
    {
        test::UncreatableClass missing(CLSID_CommonData, E_OUTOFMEMORY);
        ComPtr<ICommonData> out;
        EXPECT_EQ(session_->AddModem(Bstr(u"COM1").Get(), out.Put()), E_FAIL);
        EXPECT_FALSE(out);
        EXPECT_EQ(TakeDescription(),
                  u"CModemSession::AddModem\nthe property-bag component could "
                  u"not be created: not enough memory");
    }
    // Both failures came before a media ID was taken.
    EXPECT_EQ(NextId(), 1);

    // A bag that refuses a field: its description is carried into ours, and
    // the media ID is used up.
    ComPtr<ICommonData> real;
    ASSERT_EQ(
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, real.PutVoid()),
        S_OK);
    ClassRegistration refusing(CLSID_CommonData, [real](IUnknown* outer, REFIID iid, void** ppv) {
        return CreateComObject<test::RefusingBag>(outer, nullptr, iid, ppv, real,
                                                  std::u16string(u"COMPortName"));
    });
    ASSERT_TRUE(refusing.Registered());
    GetErrorInfo(0, ComPtr<IErrorInfo>().Put());
    ComPtr<ICommonData> out;
    EXPECT_EQ(session_->AddModem(Bstr(u"COM1").Get(), out.Put()), E_FAIL);
    EXPECT_FALSE(out);
    EXPECT_EQ(TakeDescription(), u"CModemSession::AddModem\nField 'COMPortName' not found");
    refusing.Revoke();
    EXPECT_EQ(NextId(), 3);
}

TEST_F(Session, PropertiesAndOperationsThatDoNothing) {
    // LastError and LastSessionError stay 0 even after failures.
    EXPECT_EQ(session_->Shutdown(), E_FAIL);
    for (auto get : {&IModemSession::get_LastError, &IModemSession::get_LastSessionError}) {
        LONG value = -1;
        EXPECT_EQ((session_.Get()->*get)(&value), S_OK);
        EXPECT_EQ(value, 0);
        EXPECT_EQ((session_.Get()->*get)(nullptr), E_POINTER);
    }
    LONG value = 77;
    for (auto get : {&IModemSessionPrivate::get_LineApp, &IModemSessionPrivate::get_TAPIEvent,
                     &IModemSessionPrivate::get_SessionShutdownEvent})
        EXPECT_EQ((private_.Get()->*get)(&value), E_NOTIMPL);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(private_->EnterCriticalSection(), E_NOTIMPL);
    EXPECT_EQ(private_->LeaveCriticalSection(), E_NOTIMPL);
    EXPECT_EQ(private_->FatalError(1, 2, 3), E_NOTIMPL);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(session_.As(&support, IID_ISupportErrorInfo), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemSession), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemSessionPrivate), S_FALSE);
}

TEST_F(Session, LineMessagesReachTheCallbackOnceWhateverItAnswers) {
    Init();
    callback_.result = E_FAIL;
    // Kind 1 passes the media ID on, even one the session never handed out;
    // any other kind is a fatal error without the line's codes.
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 7, 0), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(3, 4, 1, 999, 5), S_OK);
    for (LONG kind : {2, 0, -1})
        EXPECT_EQ(private_->HandleLineMessage(5, 5, kind, 7, 9), S_OK);
    auto calls = callback_.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].what, "MediaClosed");
    EXPECT_EQ(calls[0].a, 7);
    EXPECT_EQ(calls[1].what, "MediaClosed");
    EXPECT_EQ(calls[1].a, 999);
    for (size_t i = 2; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].what, "FatalError");
        EXPECT_EQ(calls[i].a | calls[i].b | calls[i].c, 0);
    }
    ExpectMarks("HandleLineMessage()", "MEDIA CLOSED CALLED", -1, 1, 2);
    ExpectMarks("HandleLineMessage()", "FATAL ERROR CALLED", -1, 1, 3);

    // After Shutdown nothing is called.
    ASSERT_EQ(session_->Shutdown(), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 7, 0), E_FAIL);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 2, 7, 0), E_FAIL);
    EXPECT_EQ(callback_.CallCount(), 5);
}

TEST_F(Session, TheHostMayShutTheSessionDownFromItsCallback) {
    Init();
    // The session must not hold anything the callback needs.
    callback_.onCall = [this] { EXPECT_EQ(session_->Shutdown(), S_OK); };
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 3, 0), S_OK);
    EXPECT_EQ(callback_.CallCount(), 1);
    EXPECT_EQ(callback_.CallsWithoutReference(), 0);
    EXPECT_EQ(callback_.References(), 0);
}

// Lines report on their own threads while the host replaces and releases its
// callback. Every message that succeeds reached exactly one callback, and no
// callback was ever called after the session had let go of it.
TEST_F(Session, MessagesDuringInitializeAndShutdownNeverReachAReleasedCallback) {
    constexpr int kCallbacks = 200;
    std::vector<std::unique_ptr<RecordingSessionCallback>> callbacks;
    for (int i = 0; i < kCallbacks; ++i)
        callbacks.push_back(std::make_unique<RecordingSessionCallback>());

    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::vector<std::thread> lines;
    for (int t = 0; t < 3; ++t) {
        lines.emplace_back([&, t] {
            ComPtr<IModemSessionPrivate> priv = private_;  // the line's own reference
            while (!stop.load())
                if (priv->HandleLineMessage(0, 0, t == 0 ? 2 : 1, t, 0) == S_OK)
                    ++delivered;
        });
    }
    for (int i = 0; i < kCallbacks; ++i) {
        // EXPECT, not ASSERT: the line threads must be joined whatever happens.
        EXPECT_EQ(session_->Initialize(callbacks[i].get()), S_OK);
        if (i % 2) {
            EXPECT_EQ(session_->Shutdown(), S_OK);
        }
    }
    // Make sure the threads overlapped with a live callback at least once.
    EXPECT_EQ(session_->Initialize(callbacks.back().get()), S_OK);
    for (int spins = 0; delivered.load() == 0 && spins < 1000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (auto& t : lines)
        t.join();
    session_->Shutdown();

    int calls = 0;
    for (const auto& cb : callbacks) {
        EXPECT_EQ(cb->CallsWithoutReference(), 0);
        EXPECT_EQ(cb->References(), 0);
        calls += cb->CallCount();
    }
    EXPECT_EQ(calls, delivered.load());
    EXPECT_GT(delivered.load(), 0);
    EXPECT_EQ(log_.WithMessage("MEDIA CLOSED CALLED").size() +
                  log_.WithMessage("FATAL ERROR CALLED").size(),
              static_cast<size_t>(delivered.load()));
}

TEST(SessionWithoutLogWriter, WorksAllTheSame) {
    test::UncreatableClass noLog(CLSID_LogWriter);
    ComPtr<IModemSession> session;
    ASSERT_EQ(session::CreateModemSession(nullptr, nullptr, IID_IModemSession, session.PutVoid()),
              S_OK);
    EXPECT_EQ(noLog.Attempts(), 1);
    RecordingSessionCallback callback;
    ASSERT_EQ(session->Initialize(&callback), S_OK);
    // A failure is reported without a log as well.
    EXPECT_EQ(session->AddModem(Bstr(u"COM1").Get(), nullptr), E_FAIL);
    ComPtr<ICommonData> bag;
    ASSERT_EQ(session->AddModem(Bstr(u"COM1").Get(), bag.Put()), S_OK);
    ASSERT_EQ(session->Shutdown(), S_OK);
}

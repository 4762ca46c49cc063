// The line object as a host sees it before any modem is involved: creation,
// interfaces, properties, lifecycle and the error information of failures.
#include <gtest/gtest.h>

#include "Platform.h"
#include "Sandbox.h"
#include "line/LineTestKit.h"
#include "recorders/UncreatableClass.h"
#include "tarvik/registry.h"

namespace tarvik::test {
namespace {

CModemLine* Impl(const ComPtr<IModemLine>& line) {
    return static_cast<CModemLine*>(line.Get());
}

LONG LastErrorOf(IModemLine* line) {
    LONG value = -1;
    line->get_LastError(&value);
    return value;
}

LONG MediaIdOf(const ComPtr<IModemLine>& line) {
    LONG value = -1;
    EXPECT_EQ(Impl(line)->get_MediaID(&value), S_OK);
    return value;
}

TEST(LineObject, AnswersItsInterfacesButNotThePrivateOne) {
    auto line = NewLine();
    EXPECT_EQ(Impl(line)->State(), MODEM_IDLE);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(line->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(line.Get()));  // identity: IModemLine
    ComPtr<IUnknown> other;
    EXPECT_EQ(line->QueryInterface(IID_IPassThroughCallback, other.PutVoid()), S_OK);
    EXPECT_EQ(line->QueryInterface(IID_IModemLinePrivate, other.PutVoid()), E_NOINTERFACE);
    EXPECT_FALSE(other);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(line->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemLine), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPassThroughCallback), S_FALSE);
}

TEST(LineObject, InitializeChecksItsArgumentsAndTakesTheMediaId) {
    auto line = NewLine();
    auto host = RecordingLineCallback::Create();
    auto data = Bag({{u"MediaID", LONG{4}}});

    EXPECT_EQ(line->Initialize(nullptr, host.Get()), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 13);
    // Getting LastError ran a successful getter: look at the failure's own
    // error information by failing again.
    EXPECT_EQ(line->Initialize(nullptr, host.Get()), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::Initialize\n");
    ComPtr<ICommonData> stored;
    line->GetModemHandle(stored.Put());
    EXPECT_FALSE(stored);

    // A null callback fails, but the new modem data stays stored.
    EXPECT_EQ(line->Initialize(data.Get(), nullptr), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 25);
    line->GetModemHandle(stored.Put());
    EXPECT_EQ(stored.Get(), data.Get());
    EXPECT_EQ(MediaIdOf(line), 4);

    EXPECT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    EXPECT_EQ(LastErrorOf(line.Get()), 25);  // a success does not clear it
    // The media ID is the modem data's integer, nothing converted.
    ASSERT_EQ(line->Initialize(Bag({{u"MediaID", u"12"}}).Get(), host.Get()), S_OK);
    EXPECT_EQ(MediaIdOf(line), 0);
    ASSERT_EQ(line->Initialize(Bag().Get(), host.Get()), S_OK);
    EXPECT_EQ(MediaIdOf(line), 0);
    EXPECT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(LastErrorOf(line.Get()), 0);
}

// A bank of lines must fit the process's descriptors: a line that is
// initialised but not open holds none, however often it is initialised.
// (Wine keeps no count of a process's handles.)
TEST(LineObject, LINUX_ONLY(AnInitialisedLineHoldsNoDescriptor)) {
    auto line = NewLine();
    auto host = RecordingLineCallback::Create();
    auto data = Bag();
    // A first round lets the runtime make what it keeps per thread.
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    ASSERT_EQ(line->Shutdown(), S_OK);
    const int before = OpenDescriptors();
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    EXPECT_EQ(OpenDescriptors(), before);
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    ASSERT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(LineObject, OperationsBeforeInitializeFailWithTheirCodes) {
    auto line = NewLine();
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 10);
    EXPECT_EQ(line->AnswerCall(1), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::AnswerCall\n");
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->CloseLine(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(line->OpenLine(Bag().Get()), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(line->DropCall(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(line->MakeCall(Bag({{u"PhoneNumber", u"1"}}).Get()), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    // The line's own fatal error has nobody to tell before Initialize.
    EXPECT_EQ(Impl(line)->FatalError(1, 2, 3), E_FAIL);
}

TEST(LineObject, LifecycleEdges) {
    auto line = NewLine();
    auto host = RecordingLineCallback::Create();
    auto data = Bag({{u"MediaID", LONG{1}}});
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    // Closing a line that was never opened succeeds, twice.
    EXPECT_EQ(line->CloseLine(), S_OK);
    EXPECT_EQ(line->CloseLine(), S_OK);
    EXPECT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 10);
    ComPtr<ICommonData> stored;
    line->GetModemHandle(stored.Put());
    EXPECT_FALSE(stored);
    // Initialised again, a call on a line never opened ends at once, and
    // Shutdown waits for the event that tells the host.
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    EXPECT_EQ(line->MakeCall(Bag({{u"PhoneNumber", u"1"}}).Get()), S_OK);
    EXPECT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(host->Count(HostEvent::Disconnected), 1u);
}

TEST(LineObject, NullResultPointersFailWithTheirOwnDescription) {
    // The error source is the ProgID registered for the class.
    ASSERT_EQ(
        registry::Update([](registry::Key& root) {
            root.Create("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_ATModemLine) + "\\ProgID")
                .SetString("", "Tarvik.ATModemLine.1");
            return S_OK;
        }),
        S_OK);
    RecordingLog log;
    auto line = NewLine();
    ASSERT_EQ(line->Initialize(Bag().Get(), RecordingLineCallback::Create().Get()), S_OK);
    // The stored values, then the failures.
    EXPECT_EQ(line->put_NoAnswerTimeout(-5), S_OK);
    LONG v = 0;
    EXPECT_EQ(line->get_NoAnswerTimeout(&v), S_OK);
    EXPECT_EQ(v, -5);
    EXPECT_EQ(line->put_ReportProgress(3), S_OK);
    EXPECT_EQ(line->get_ReportProgress(&v), S_OK);
    EXPECT_EQ(v, 3);
    struct Case {
        HRESULT (STDMETHODCALLTYPE IModemLine::*getter)(LONG*);
        const char16_t* description;
    };
    const Case cases[] = {
        {&IModemLine::get_LastError, u"CModemLine::get_LastError\n"},
        {&IModemLine::get_LastLineError, u"CModemLine::get_LastLineError\n"},
        {&IModemLine::get_NoAnswerTimeout, u"CModemLine::get_NoAnswerTimeout\n"},
        {&IModemLine::get_ReportProgress, u"CModemLine::get_ReportProgress\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((line.Get()->*c.getter)(nullptr), E_FAIL);
        auto info = TakeErrorInfo();
        EXPECT_EQ(info.description, c.description);
        EXPECT_TRUE(IsEqualIID(info.iid, IID_IModemLine));
        EXPECT_EQ(info.source, u"Tarvik.ATModemLine.1");
    }
    EXPECT_EQ(line->GetModemHandle(nullptr), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::GetModemHandle\n");
    EXPECT_EQ(Impl(line)->get_MediaID(nullptr), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), u"CModemLine::get_MediaID\n");
    EXPECT_EQ(LastErrorOf(line.Get()), 0);
    auto entries = log.With("CModemLine::get_LastError()", "An Exception occurred");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].markA, -1);
    line->Shutdown();
}

TEST(LineObject, UnimplementedOperationsTouchNothing) {
    RecordingLog log;
    auto line = NewLine();
    ASSERT_EQ(line->Initialize(Bag().Get(), RecordingLineCallback::Create().Get()), S_OK);
    log.Clear();
    auto* p = Impl(line);
    BSTR frame = nullptr;
    LONG v = 0;
    const HRESULT results[] = {
        line->ByPassTAPI(1),
        line->HandOverToTAPI(1),
        line->OpenPort(nullptr),
        line->ClosePort(1),
        line->SendCommand(nullptr),
        line->ReceiveFrame(&frame, 0),
        line->RegisterPassThroughCallback(nullptr),
        p->Disconnected(1),
        p->Connected(1),
        p->HandleLineClose(),
        p->HandleLineReply(1),
        p->HandleNewCall(1, 2),
        p->HandleCallState(1, 2),
        p->DismissCall(),
        p->ReOpenLine(),
        p->get_Handle(CALL_CONNECTED_HANDLE, &v),
    };
    for (HRESULT hr : results)
        EXPECT_EQ(hr, E_NOTIMPL);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(LastErrorOf(line.Get()), 0);
    line->Shutdown();
}

TEST(LineObject, WorksWithoutALogWriter) {
    LineHarness h;
    // The only in-process registration: Windows takes the first, Linux the last.
    h.log.Revoke();
    UncreatableClass noLog(CLSID_LogWriter);
    ASSERT_TRUE(h.StartConnected());
    EXPECT_EQ(h.log.Count(), 0u);
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

}  // namespace
}  // namespace tarvik::test

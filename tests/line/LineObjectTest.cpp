// The line object as a host sees it before any modem is involved: creation,
// interfaces, properties, lifecycle and the error information of failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "line/LineTestKit.h"
#include "recorders/UncreatableClass.h"
#include "tarvik/registry.h"

namespace tarvik::test {
namespace {

ComPtr<IModemLine> NewLine() {
    void* pv = nullptr;
    EXPECT_EQ(line::CreateModemLine(nullptr, nullptr, IID_IModemLine, &pv), S_OK);
    return ComPtr<IModemLine>::Adopt(static_cast<IModemLine*>(pv));
}

CModemLine* Impl(const ComPtr<IModemLine>& line) {
    return static_cast<CModemLine*>(line.Get());
}

LONG LastErrorOf(IModemLine* line) {
    LONG value = -1;
    line->get_LastError(&value);
    return value;
}

TEST(LineObject, NewLineHasItsInitialValues) {
    auto line = NewLine();
    LONG v = -1;
    EXPECT_EQ(line->get_LastError(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(line->get_LastLineError(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(line->get_NoAnswerTimeout(&v), S_OK);
    EXPECT_EQ(v, 30);
    EXPECT_EQ(line->get_ReportProgress(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(Impl(line)->get_MediaID(&v), S_OK);
    EXPECT_EQ(v, 0);
    ComPtr<ICommonData> data;
    EXPECT_EQ(line->GetModemHandle(data.Put()), S_OK);
    EXPECT_FALSE(data);
    EXPECT_EQ(Impl(line)->State(), MODEM_IDLE);
}

TEST(LineObject, AnswersItsInterfacesButNotThePrivateOne) {
    auto line = NewLine();
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(line->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(line.Get()));  // identity: IModemLine
    ComPtr<IUnknown> other;
    EXPECT_EQ(line->QueryInterface(IID_ISupportErrorInfo, other.PutVoid()), S_OK);
    EXPECT_EQ(line->QueryInterface(IID_IPassThroughCallback, other.PutVoid()), S_OK);
    EXPECT_EQ(line->QueryInterface(IID_IModemLinePrivate, other.PutVoid()), E_NOINTERFACE);
    EXPECT_FALSE(other);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(line->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemLine), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPassThroughCallback), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IModemLineCallback), S_FALSE);
}

TEST(LineObject, AggregatedCreationOnlyForIUnknown) {
    struct Outer : IUnknown {
        HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return ++refs; }
        ULONG Release() override { return --refs; }
        ULONG refs = 1;
    } outer;
    void* pv = nullptr;
    EXPECT_EQ(line::CreateModemLine(&outer, nullptr, IID_IModemLine, &pv), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(line::CreateModemLine(&outer, nullptr, IID_IUnknown, &pv), S_OK);
    auto* inner = static_cast<IUnknown*>(pv);
    IModemLine* line = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IModemLine, reinterpret_cast<void**>(&line)), S_OK);
    EXPECT_EQ(outer.refs, 2u);  // the interface's reference lands on the outer object
    line->Release();
    EXPECT_EQ(outer.refs, 1u);
    inner->Release();
}

TEST(LineObject, InitializeChecksItsArguments) {
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
    LONG media = 0;
    Impl(line)->get_MediaID(&media);
    EXPECT_EQ(media, 4);

    EXPECT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    EXPECT_EQ(LastErrorOf(line.Get()), 25);  // a success does not clear it
    EXPECT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(LastErrorOf(line.Get()), 0);
}

// Every event and mutex of the runtime holds a descriptor while it exists.
size_t OpenDescriptors() {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(LineObject, ASecondInitializeClosesTheHandlesOfTheFirst) {
    auto line = NewLine();
    auto host = RecordingLineCallback::Create();
    auto data = Bag();
    // A first round lets the runtime make what it keeps per thread.
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    ASSERT_EQ(line->Shutdown(), S_OK);
    size_t before = OpenDescriptors();
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    size_t once = OpenDescriptors();
    EXPECT_GT(once, before);  // the line's events and mutex
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    EXPECT_EQ(OpenDescriptors(), once);
    ASSERT_EQ(line->Shutdown(), S_OK);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(LineObject, OperationsBeforeInitializeFailWithTheirCodes) {
    auto line = NewLine();
    EXPECT_EQ(line->Shutdown(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 10);
    EXPECT_EQ(line->CloseLine(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->OpenLine(Bag().Get()), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->DropCall(), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    EXPECT_EQ(line->MakeCall(Bag({{u"PhoneNumber", u"1"}}).Get()), E_FAIL);
    EXPECT_EQ(LastErrorOf(line.Get()), 6);
    // The line's own fatal error has nobody to tell before Initialize.
    EXPECT_EQ(Impl(line)->FatalError(1, 2, 3), E_FAIL);
}

TEST(LineObject, LifecycleEdges) {
    RecordingReporter reporter;  // before the line: it keeps one reporter from its creation
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

    // Initialize again works, but the event reporter released by Shutdown
    // stays gone: an access code is dialled without its notification.
    ASSERT_EQ(line->Initialize(data.Get(), host.Get()), S_OK);
    line->MakeCall(Bag({{u"PhoneNumber", u"1"}, {u"PCAccessCode", u"9"}}).Get());
    EXPECT_EQ(reporter.WithCode(1000).size(), 0u);
    EXPECT_TRUE(CModemLine::WaitForEventThreads(10000));
    EXPECT_EQ(line->Shutdown(), S_OK);
}

TEST(LineObject, PropertiesStoreAndReport) {
    RecordingLog log;
    auto line = NewLine();
    EXPECT_EQ(line->put_NoAnswerTimeout(-5), S_OK);
    LONG v = 0;
    EXPECT_EQ(line->get_NoAnswerTimeout(&v), S_OK);
    EXPECT_EQ(v, -5);
    EXPECT_EQ(line->put_ReportProgress(3), S_OK);
    EXPECT_EQ(line->get_ReportProgress(&v), S_OK);
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(log.With("ML::get_NoAnswerTimeout()", "All goes well").empty());
    EXPECT_EQ(log.Entries().size(), 2u);  // the setters log nothing
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
    struct Case {
        HRESULT (IModemLine::*getter)(LONG*);
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
    EXPECT_EQ(entries[0].markB, 0);
    line->Shutdown();
}

TEST(LineObject, MediaIdIsTheIntegerOfTheModemData) {
    auto line = NewLine();
    auto host = RecordingLineCallback::Create();
    LONG v = -1;
    ASSERT_EQ(line->Initialize(Bag().Get(), host.Get()), S_OK);
    EXPECT_EQ(Impl(line)->get_MediaID(&v), S_OK);
    EXPECT_EQ(v, 0);  // no field
    ASSERT_EQ(line->Initialize(Bag({{u"MediaID", u"12"}}).Get(), host.Get()), S_OK);
    EXPECT_EQ(Impl(line)->get_MediaID(&v), S_OK);
    EXPECT_EQ(v, 0);  // not an integer: nothing converted
    ASSERT_EQ(line->Initialize(Bag({{u"MediaID", LONG{3}}}).Get(), host.Get()), S_OK);
    EXPECT_EQ(Impl(line)->get_MediaID(&v), S_OK);
    EXPECT_EQ(v, 3);
    line->Shutdown();
}

TEST(LineObject, UnimplementedOperationsTouchNothing) {
    RecordingLog log;
    auto line = NewLine();
    auto* p = Impl(line);
    auto check = [&] {
        BSTR frame = nullptr;
        LONG v = 0;
        EXPECT_EQ(line->ByPassTAPI(1), E_NOTIMPL);
        EXPECT_EQ(line->HandOverToTAPI(1), E_NOTIMPL);
        EXPECT_EQ(line->OpenPort(nullptr), E_NOTIMPL);
        EXPECT_EQ(line->ClosePort(1), E_NOTIMPL);
        EXPECT_EQ(line->SendCommand(nullptr), E_NOTIMPL);
        EXPECT_EQ(line->ReceiveFrame(&frame, 0), E_NOTIMPL);
        EXPECT_EQ(frame, nullptr);
        EXPECT_EQ(line->RegisterPassThroughCallback(nullptr), E_NOTIMPL);
        EXPECT_EQ(p->Disconnected(1), E_NOTIMPL);
        EXPECT_EQ(p->Connected(1), E_NOTIMPL);
        EXPECT_EQ(p->HandleLineClose(), E_NOTIMPL);
        EXPECT_EQ(p->HandleLineReply(1), E_NOTIMPL);
        EXPECT_EQ(p->HandleNewCall(1, 2), E_NOTIMPL);
        EXPECT_EQ(p->HandleCallState(1, 2), E_NOTIMPL);
        EXPECT_EQ(p->DismissCall(), E_NOTIMPL);
        EXPECT_EQ(p->ReOpenLine(), E_NOTIMPL);
        EXPECT_EQ(p->get_Handle(CALL_CONNECTED_HANDLE, &v), E_NOTIMPL);
        EXPECT_EQ(v, 0);
    };
    check();
    EXPECT_EQ(log.Count(), 0u);
    ASSERT_EQ(line->Initialize(Bag().Get(), RecordingLineCallback::Create().Get()), S_OK);
    log.Clear();
    check();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(LastErrorOf(line.Get()), 0);
    line->Shutdown();
}

TEST(LineObject, WorksWithoutALogWriter) {
    LineHarness h;
    UncreatableClass noLog(CLSID_LogWriter);  // registered last, so it wins
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(h.Open(), S_OK);
    EXPECT_EQ(h.log.Count(), 0u);
    EXPECT_TRUE(h.Connect());
    EXPECT_EQ(h.line->DropCall(), S_OK);
    EXPECT_TRUE(h.host->WaitFor(HostEvent::Disconnected));
}

}  // namespace
}  // namespace tarvik::test

#include "line/LineTestKit.h"

#include <gtest/gtest.h>

#include <atomic>

namespace tarvik::test {

namespace {

// A recorder made as the runtime makes objects, held by its interface `I`.
template <class T, class I>
ComPtr<T> CreateRecorder(REFIID iid) {
    ComPtr<T> recorder;
    void* pv = nullptr;
    if (SUCCEEDED(CreateComObject<T>(nullptr, nullptr, iid, &pv)))
        recorder.Attach(static_cast<T*>(static_cast<I*>(pv)));
    return recorder;
}

}  // namespace

// ---------------------------------------------------------------------------
// RecordingLineCallback

ComPtr<RecordingLineCallback> RecordingLineCallback::Create() {
    return CreateRecorder<RecordingLineCallback, IModemLineCallback>(IID_IModemLineCallback);
}

IUnknown* RecordingLineCallback::FindInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, IID_IModemLineCallback))
        return static_cast<IModemLineCallback*>(this);
    if (IsEqualIID(iid, IID_ISupportErrorInfo))
        return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

HRESULT RecordingLineCallback::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IModemLineCallback) ? S_OK : S_FALSE;
}

void RecordingLineCallback::FailWith(HostEvent::Kind kind, HRESULT hr, std::u16string description) {
    std::lock_guard lock(mu_);
    results_[kind] = hr;
    descriptions_[kind] = std::move(description);
}

void RecordingLineCallback::On(HostEvent::Kind kind, std::function<void(LONG, LONG)> hook) {
    std::lock_guard lock(mu_);
    hooks_[kind] = std::move(hook);
}

HRESULT RecordingLineCallback::Record(HostEvent event) {
    event.at = Clock::now();
    HRESULT hr;
    std::u16string description;
    std::function<void(LONG, LONG)> hook;
    {
        std::lock_guard lock(mu_);
        hr = results_[event.kind];
        description = descriptions_[event.kind];
        hook = hooks_[event.kind];
    }
    if (hook)
        hook(event.a, event.b);
    if (!description.empty()) {
        ComPtr<ICreateErrorInfo> create;
        if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
            create->SetGUID(IID_IModemLineCallback);
            create->SetDescription(description.data());
            ComPtr<IErrorInfo> info;
            create->QueryInterface(IID_IErrorInfo, info.PutVoid());
            SetErrorInfo(0, info.Get());
        }
    }
    events_.Add(event);
    return hr;
}

HRESULT RecordingLineCallback::CallOffering() {
    return Record({HostEvent::Offering});
}
HRESULT RecordingLineCallback::CallDisconnected(LONG lCause) {
    return Record({HostEvent::Disconnected, lCause});
}
HRESULT RecordingLineCallback::CallConnected(LONG bIncoming, LONG lPortHandle) {
    return Record({HostEvent::Connected, bIncoming, lPortHandle});
}
HRESULT RecordingLineCallback::FatalError(LONG lCause, LONG lError, LONG lParam) {
    return Record({HostEvent::Fatal, lCause, lError, lParam});
}

std::optional<HostEvent> RecordingLineCallback::WaitFor(HostEvent::Kind kind,
                                                        std::chrono::milliseconds timeout,
                                                        size_t from) const {
    // The list shows each event to the predicate once, in order.
    size_t index = 0;
    return events_.WaitFor([&](const HostEvent& e) { return index++ >= from && e.kind == kind; },
                           timeout);
}

std::optional<LONG> RecordingLineCallback::WaitForValue(HostEvent::Kind kind,
                                                        std::chrono::milliseconds timeout,
                                                        size_t from) const {
    auto event = WaitFor(kind, timeout, from);
    return event ? std::optional<LONG>(event->a) : std::nullopt;
}

// ---------------------------------------------------------------------------
// RecordingSession

void RecordingSession::OnMessage(std::function<void()> hook) {
    std::lock_guard lock(mu_);
    onMessage_ = std::move(hook);
}

ComPtr<RecordingSession> RecordingSession::Create() {
    return CreateRecorder<RecordingSession, IModemSessionPrivate>(IID_IModemSessionPrivate);
}

IUnknown* RecordingSession::FindInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, IID_IModemSessionPrivate))
        return static_cast<IModemSessionPrivate*>(this);
    return nullptr;
}

HRESULT RecordingSession::HandleLineMessage(LONG hDevice, LONG dwMessageID, LONG dwParam1,
                                            LONG dwParam2, LONG dwParam3) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mu_);
        hook = onMessage_;
    }
    if (hook)
        hook();
    messages_.Add({hDevice, dwMessageID, dwParam1, dwParam2, dwParam3});
    return S_OK;
}

// ---------------------------------------------------------------------------
// Bags

void SetField(ICommonData* bag, const std::u16string& name, const FieldValue& value) {
    Variant v;
    if (auto* s = std::get_if<std::u16string>(&value)) {
        v = Variant::String(*s);
    } else if (auto* l = std::get_if<LONG>(&value)) {
        v = Variant(*l);
    } else if (auto* b = std::get_if<bool>(&value)) {
        v = Variant::Bool(*b);
    } else if (auto* u = std::get_if<IUnknown*>(&value)) {
        v = Variant::Unknown(*u);
    } else if (std::holds_alternative<Null>(value)) {
        v.vt = VT_NULL;
    }
    Bstr field(name);
    ASSERT_EQ(bag->SetData(field.Get(), v), S_OK) << "SetData failed";
}

ComPtr<ICommonData> Bag(std::initializer_list<std::pair<std::u16string, FieldValue>> fields) {
    ComPtr<ICommonData> bag;
    HRESULT hr =
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid());
    EXPECT_EQ(hr, S_OK) << "no property bag class";
    if (!bag)
        return bag;
    for (const auto& [name, value] : fields)
        SetField(bag.Get(), name, value);
    return bag;
}

// ---------------------------------------------------------------------------
// LineHarness

namespace {
std::atomic<int> g_nextPort{1};
}

SimModem::Options LineHarness::DefaultOptions() {
    SimModem::Options options;
    options.echo = false;
    options.registers[12] = 10;  // escape guard time 200 ms
    options.ringCadence = 300ms;
    return options;
}

LineHarness::LineHarness(SimModem::Options options) : modem(std::move(options)) {}

LineHarness::~LineHarness() {
    if (line) {
        line->Shutdown();
        EXPECT_TRUE(CModemLine::WaitForEventThreads(20000)) << "event threads still running";
        impl = nullptr;
        line.Reset();
    }
}

bool LineHarness::Start() {
    if (!modem.Start())
        return false;
    port = "COM" + std::to_string(g_nextPort++);
    if (modem.LinkAs(port).empty())
        return false;
    void* pv = nullptr;
    if (FAILED(line::CreateModemLine(nullptr, nullptr, IID_IModemLine, &pv)))
        return false;
    line.Attach(static_cast<IModemLine*>(pv));
    impl = static_cast<CModemLine*>(line.Get());
    host = RecordingLineCallback::Create();
    session = RecordingSession::Create();
    modemData = Bag({{u"MediaID", mediaId},
                     {u"RequestID", LONG{0}},
                     {u"ModemSession_IUnknown",
                      static_cast<IUnknown*>(static_cast<IModemSessionPrivate*>(session.Get()))},
                     {u"COMPortName", FromAnsi(port)}});
    return host && session && modemData && line->Initialize(modemData.Get(), host.Get()) == S_OK;
}

ComPtr<ICommonData> LineHarness::Settings(
    std::initializer_list<std::pair<std::u16string, FieldValue>> extra) const {
    auto bag = Bag({{u"COMPort", FromAnsi(port)}, {u"ModemSetting", u"ATZ"}});
    for (const auto& [name, value] : extra)
        SetField(bag.Get(), name, value);
    return bag;
}

HRESULT LineHarness::Open(std::initializer_list<std::pair<std::u16string, FieldValue>> extra) {
    return line->OpenLine(Settings(extra).Get());
}

bool LineHarness::StartOpen(std::initializer_list<std::pair<std::u16string, FieldValue>> extra) {
    return Start() && Open(extra) == S_OK;
}

bool LineHarness::StartConnected(
    std::initializer_list<std::pair<std::u16string, FieldValue>> extra) {
    return StartOpen(extra) && Connect().has_value();
}

bool LineHarness::StartOffered(std::initializer_list<std::pair<std::u16string, FieldValue>> extra) {
    if (!StartOpen(extra))
        return false;
    modem.Ring();
    return host->WaitFor(HostEvent::Offering) && State() == MODEM_CALL_OFFERING;
}

HRESULT LineHarness::Dial(const std::string& number) {
    return line->MakeCall(Bag({{u"PhoneNumber", FromAnsi(number)}}).Get());
}

void LineHarness::KeepQuiet() const {
    // S12 is in 1/50 s.
    Sleep(20 * static_cast<DWORD>(modem.Register(12)) + 100);
}

LONG LineHarness::LastError() const {
    LONG value = -1;
    line->get_LastError(&value);
    return value;
}

bool LineHarness::WaitForState(LONG state, std::chrono::milliseconds timeout) const {
    // The state has no event of its own; a short poll keeps the helper simple
    // and is bounded by the time-out.
    auto until = Clock::now() + timeout;
    while (impl->State() != state) {
        if (Clock::now() > until)
            return false;
        Sleep(5);
    }
    return true;
}

std::optional<HostEvent> LineHarness::Connect(const std::string& number) {
    modem.SetOutcome(number, "CONNECT 9600");
    size_t mark = host->Events().size();
    if (Dial(number) != S_OK)
        return std::nullopt;
    auto connected = host->WaitFor(HostEvent::Connected, 8s, mark);
    if (connected)
        KeepQuiet();
    return connected;
}

std::optional<HostEvent> LineHarness::RemoteHangsUp() {
    size_t sent = modem.SentSize();
    size_t events = host->Events().size();
    modem.DropCarrier();
    if (!modem.WaitForSent("NO CARRIER", 5s, sent))
        return std::nullopt;
    size_t frames = log.With("CModemLine::FrameReceived()", "All goes well").size();
    if (!SignalNamedEvent("Tarvik"))
        return std::nullopt;
    auto down = host->WaitFor(HostEvent::Disconnected, 8s, events);
    // The line took the port back and reads the modem's "\r\nNO CARRIER\r\n"
    // (two frames) while idle; a test that dials at once must not meet them.
    if (!down ||
        !WaitForEntries(log, "All goes well", frames + 2, 5s, "CModemLine::FrameReceived()"))
        return std::nullopt;
    return down;
}

// ---------------------------------------------------------------------------

void ExpectMarkersByRule(const RecordingLog& log) {
    const struct {
        std::string_view function;  // a prefix when it ends in "::"
        std::string_view message;   // any when empty
        LONG markA, markB;
    } rules[] = {
        {"ML::", "", 0, 1},
        {"CModemLine::DropCall()", "All goes well", -1, 1},
        {"CModemLine::AnswerCall()", "All goes well", -1, 1},
        {"CModemLine::TransmitDone()", "All goes well", -1, 1},
        {"CModemLine::FatalError()", "All goes well", -1, 1},
        {"CModemLine::FrameReceived()", "All goes well", -1, 1},
        {"", "", -1, 0},
    };
    for (const auto& entry : log.Entries()) {
        for (const auto& rule : rules) {
            const bool prefix = rule.function.ends_with("::");
            if ((prefix ? !entry.function.starts_with(rule.function)
                        : !rule.function.empty() && entry.function != rule.function) ||
                (!rule.message.empty() && entry.message != rule.message))
                continue;
            EXPECT_TRUE(entry.markA == rule.markA && entry.markB == rule.markB)
                << entry.function << " \"" << entry.message << "\": " << entry.markA << ","
                << entry.markB;
            break;
        }
    }
}

ErrorInfoSeen TakeErrorInfo() {
    ErrorInfoSeen seen;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info)
        return seen;
    seen.present = true;
    info->GetGUID(&seen.iid);
    Bstr source, description;
    info->GetSource(source.Put());
    info->GetDescription(description.Put());
    seen.source = source.View();
    seen.description = description.View();
    return seen;
}

bool WaitForEntries(const RecordingLog& log, std::string_view message, size_t count,
                    std::chrono::milliseconds timeout, std::string_view function) {
    // The recorder shows each entry to the predicate once, in order.
    size_t seen = 0;
    return log
        .WaitFor(
            [&](const LogRecord& r) {
                if (r.message == message && (function.empty() || r.function == function))
                    ++seen;
                return seen >= count;
            },
            timeout)
        .has_value();
}

ComPtr<IModemLine> NewLine() {
    void* pv = nullptr;
    EXPECT_EQ(line::CreateModemLine(nullptr, nullptr, IID_IModemLine, &pv), S_OK);
    return ComPtr<IModemLine>::Adopt(static_cast<IModemLine*>(pv));
}

bool PortIsFree(const std::string& port) {
    CSerialPort probe;
    bool free = probe.CreatePort(port.c_str()) == SP_OK;
    probe.DestroyPort();
    return free;
}

std::optional<std::string> WaitForReport(const RecordingReporter& reporter, LONG code,
                                         std::chrono::milliseconds timeout) {
    auto report = reporter.WaitForCode(code, timeout);
    return report ? std::optional<std::string>(report->data) : std::nullopt;
}

std::u16string TakeErrorDescription() {
    return TakeErrorInfo().description;
}

}  // namespace tarvik::test

// Test support for the modem line: what a host sees (a recording line
// callback), what a session is told (a recording session), property bags
// built in one line, and a harness that puts a line on a simulated modem.

#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "line/ModemLine.h"
#include "recorders/RecordList.h"
#include "recorders/RecordingLog.h"
#include "recorders/RecordingReporter.h"
#include "sim/SimModem.h"
#include "tarvik/comptr.h"
#include "tarvik/constants.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One call a line made into its host.
struct HostEvent {
    enum Kind { Offering, Disconnected, Connected, Fatal };
    Kind kind = Offering;
    LONG a = 0;  // Disconnected: cause; Connected: bIncoming; Fatal: lCause
    LONG b = 0;  // Connected: port handle; Fatal: lError
    LONG c = 0;  // Fatal: lParam
    Clock::time_point at{};
};

class RecordingLineCallback final
    : public ComObject<RecordingLineCallback, IModemLineCallback, ISupportErrorInfo> {
  public:
    static ComPtr<RecordingLineCallback> Create();

    IUnknown* FindInterface(REFIID iid) noexcept override;
    HRESULT STDMETHODCALLTYPE CallOffering() override;
    HRESULT STDMETHODCALLTYPE CallDisconnected(LONG lCause) override;
    HRESULT STDMETHODCALLTYPE CallConnected(LONG bIncoming, LONG lPortHandle) override;
    HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError, LONG lParam) override;
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // Makes the callback of `kind` answer `hr`; with a description it also
    // sets error information, as a host object that reports errors would.
    void FailWith(HostEvent::Kind kind, HRESULT hr, std::u16string description = {});
    // Runs inside the callback of `kind`, on the line's thread that calls it,
    // with the event's first two values.
    void On(HostEvent::Kind kind, std::function<void(LONG a, LONG b)> hook);

    std::vector<HostEvent> Events() const { return events_.All(); }
    size_t Count(HostEvent::Kind kind) const {
        return events_.Count([kind](const HostEvent& e) { return e.kind == kind; });
    }
    // The first event of `kind` at index `from` or later, waiting up to
    // `timeout` for it.
    std::optional<HostEvent> WaitFor(HostEvent::Kind kind, std::chrono::milliseconds timeout = 8s,
                                     size_t from = 0) const;
    // The same event's first value (a cause, bIncoming or lCause), or nothing.
    std::optional<LONG> WaitForValue(HostEvent::Kind kind, std::chrono::milliseconds timeout = 8s,
                                     size_t from = 0) const;

  private:
    HRESULT Record(HostEvent event);

    RecordList<HostEvent> events_;
    mutable std::mutex mu_;  // the answers and the hook
    HRESULT results_[4] = {S_OK, S_OK, S_OK, S_OK};
    std::u16string descriptions_[4];
    std::function<void(LONG, LONG)> hooks_[4];
};

// A session as a line reaches it: only HandleLineMessage does anything.
class RecordingSession final : public ComObject<RecordingSession, IModemSessionPrivate> {
  public:
    struct Message {
        LONG device, id, param1, param2, param3;
    };
    static ComPtr<RecordingSession> Create();

    IUnknown* FindInterface(REFIID iid) noexcept override;
    HRESULT STDMETHODCALLTYPE EnterCriticalSection() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LeaveCriticalSection() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FatalError(LONG, LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE HandleLineMessage(LONG hDevice, LONG dwMessageID, LONG dwParam1,
                                                LONG dwParam2, LONG dwParam3) override;
    HRESULT STDMETHODCALLTYPE get_LineApp(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TAPIEvent(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_SessionShutdownEvent(LONG*) override { return E_NOTIMPL; }

    // Runs inside HandleLineMessage, on the line's thread that calls it.
    void OnMessage(std::function<void()> hook);
    std::vector<Message> Messages() const { return messages_.All(); }
    // The first message, waiting up to `timeout` for it.
    std::optional<Message> WaitForMessage(std::chrono::milliseconds timeout = 8s) const {
        return messages_.WaitFor([](const Message&) { return true; }, timeout);
    }

  private:
    RecordList<Message> messages_;
    std::mutex mu_;
    std::function<void()> onMessage_;
};

// A field value for Bag(): text, a 32-bit integer, a boolean, an interface,
// or an explicitly empty/null value.
struct Empty {};
struct Null {};
using FieldValue = std::variant<std::u16string, LONG, bool, IUnknown*, Empty, Null>;

// A new property bag (the companions' CommonData) holding `fields`.
ComPtr<ICommonData> Bag(std::initializer_list<std::pair<std::u16string, FieldValue>> fields = {});
void SetField(ICommonData* bag, const std::u16string& name, const FieldValue& value);

// A line on a simulated modem, with a recording host, session and log.
class LineHarness {
  public:
    explicit LineHarness(SimModem::Options options = DefaultOptions());
    ~LineHarness();

    // Options most line tests want: no echo, a short escape guard time.
    static SimModem::Options DefaultOptions();

    // Starts the modem, links it under a port name of its own, creates the
    // line and initialises it with modem data that leads to `session`.
    bool Start();
    // The settings OpenLine gets: COMPort and ModemSetting "ATZ" plus `extra`.
    ComPtr<ICommonData> Settings(
        std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {}) const;
    HRESULT Open(std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {});
    // The usual preambles: started and opened; with a call connected; with
    // the modem ringing until the host is offered the call.
    bool StartOpen(std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {});
    bool StartConnected(std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {});
    bool StartOffered(std::initializer_list<std::pair<std::u16string, FieldValue>> extra = {});
    // MakeCall with just a phone number.
    HRESULT Dial(const std::string& number = "5551234");
    // Keeps the line quiet for the modem's escape guard time, as a host that
    // has finished sending does: a "+++" sooner is data to the modem.
    void KeepQuiet() const;

    LONG LastError() const;
    LONG State() const { return impl->State(); }
    // Waits until the line state is `state`.
    bool WaitForState(LONG state, std::chrono::milliseconds timeout = 8s) const;
    // Dials `number`, waits for the host's CallConnected, then KeepQuiet().
    std::optional<HostEvent> Connect(const std::string& number = "5551234");
    // The remote side hangs up a connected call and the host, having read
    // the modem's NO CARRIER, ends it with the "Tarvik" signal. Returns the
    // host's CallDisconnected, once the line has read what the modem said.
    std::optional<HostEvent> RemoteHangsUp();

    RecordingLog log;  // before the line: the line creates its writer at construction
    RecordingReporter reporter;
    SimModem modem;
    std::string port;
    ComPtr<IModemLine> line;
    CModemLine* impl = nullptr;
    ComPtr<RecordingLineCallback> host;
    ComPtr<RecordingSession> session;
    ComPtr<ICommonData> modemData;
    LONG mediaId = 7;
};

// A bare line object, not initialised.
ComPtr<IModemLine> NewLine();

// Waits until the log holds `count` entries with `message` (and `function`,
// when given).
bool WaitForEntries(const RecordingLog& log, std::string_view message, size_t count,
                    std::chrono::milliseconds timeout = 5s, std::string_view function = {});

// Checks the markers of every entry in `log`: (0, 1) for the "ML::" entries,
// (-1, 1) for the closing "All goes well" of a few operations, (-1, 0) for
// all else.
void ExpectMarkersByRule(const RecordingLog& log);

// The text of the first notification with `code`, waiting up to `timeout`.
std::optional<std::string> WaitForReport(const RecordingReporter& reporter, LONG code,
                                         std::chrono::milliseconds timeout = 8s);

// The description of the calling thread's error information (taken).
std::u16string TakeErrorDescription();

// True when nobody holds the port `port` open (a probe can open it).
bool PortIsFree(const std::string& port);
// Everything about the calling thread's error information (taken).
struct ErrorInfoSeen {
    bool present = false;
    GUID iid{};
    std::u16string source;
    std::u16string description;
};
ErrorInfoSeen TakeErrorInfo();

}  // namespace tarvik::test

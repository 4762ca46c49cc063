// The Windows host test: a host program as a Windows host is one, run under
// Wine against tarvik-modemsim's pseudo-terminal mapped as a COM port. It
// creates the registered classes through CoCreateInstance and runs the calls
// that matter on a real port: dialling out with data both ways over the
// handed-over handle and a hang-up by either side, a busy number, an incoming
// call with caller ID answered, one refused, a host in a single-threaded
// apartment, and the modem unplugged.
//
// usage: tarvik-wintest PORT HIGH-PORT SIM-COMMAND-FILE EVENT-FILE
//   PORT               the COM port the simulator is mapped to (COM5)
//   HIGH-PORT          a second name for it above COM9 (COM12), which is
//                      opened through the "\\.\" device prefix
//   SIM-COMMAND-FILE   file the simulator reads its commands from (ring, vanish)
//   EVENT-FILE         where the event reporter writes (its TARVIK_EVENTS)
// The simulator answers 5551000 with CONNECT and 5552000 with BUSY, and sends
// caller ID with CALR=5551212 after the first RING.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PortIo.h"
#include "line/HostHandle.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"
#include "tarvik/registry.h"
#include "tarvik/serial.h"
#include "tarvik/sync.h"

using namespace tarvik;
using namespace std::chrono_literals;

namespace {

int g_failures = 0;

bool Check(bool ok, const char* scenario, const std::string& what) {
    std::printf("%s %s: %s\n", ok ? "  ok  " : "FAILED", scenario, what.c_str());
    if (!ok)
        ++g_failures;
    return ok;
}

struct HostEvent {
    enum Kind { Offering, Connected, Disconnected, Fatal, MediaClosed } kind;
    LONG a = 0;
    LONG b = 0;
    DWORD thread = 0;  // the thread the callback ran on
};

// What the host's callbacks saw, in order.
class Recorder {
  public:
    void Add(HostEvent e) {
        e.thread = GetCurrentThreadId();
        {
            std::lock_guard lock(mu_);
            events_.push_back(e);
        }
        SetEvent(changed_.Get());
    }
    // Runs the waiting thread's messages meanwhile: a host in a
    // single-threaded apartment receives its callbacks through them.
    std::optional<HostEvent> WaitFor(HostEvent::Kind kind, DWORD timeoutMs) {
        const uint64_t until = wintest::NowMs() + timeoutMs;
        for (;;) {
            {
                std::lock_guard lock(mu_);
                for (auto e = events_.rbegin(); e != events_.rend(); ++e)
                    if (e->kind == kind)
                        return *e;
            }
            const uint64_t now = wintest::NowMs();
            if (now >= until)
                return std::nullopt;
            HANDLE h = changed_.Get();
            if (MsgWaitForMultipleObjects(1, &h, FALSE, static_cast<DWORD>(until - now),
                                          QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
                DispatchSentMessages();
        }
    }
    size_t Count(HostEvent::Kind kind) {
        std::lock_guard lock(mu_);
        size_t n = 0;
        for (const HostEvent& e : events_)
            n += e.kind == kind;
        return n;
    }

  private:
    std::mutex mu_;
    UniqueHandle changed_{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::vector<HostEvent> events_;
};

class LineCallback final : public ComObject<LineCallback, IModemLineCallback> {
  public:
    explicit LineCallback(Recorder* r) : r_(r) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_IModemLineCallback) ? this : nullptr;
    }
    HRESULT STDMETHODCALLTYPE CallOffering() override { return Add({HostEvent::Offering}); }
    HRESULT STDMETHODCALLTYPE CallDisconnected(LONG cause) override {
        return Add({HostEvent::Disconnected, cause});
    }
    HRESULT STDMETHODCALLTYPE CallConnected(LONG incoming, LONG handle) override {
        return Add({HostEvent::Connected, incoming, handle});
    }
    HRESULT STDMETHODCALLTYPE FatalError(LONG cause, LONG error, LONG) override {
        return Add({HostEvent::Fatal, cause, error});
    }

  private:
    HRESULT Add(HostEvent e) {
        r_->Add(e);
        return S_OK;
    }
    Recorder* r_;
};

class SessionCallback final : public ComObject<SessionCallback, IModemSessionCallback> {
  public:
    explicit SessionCallback(Recorder* r) : r_(r) {}
    IUnknown* FindInterface(REFIID iid) noexcept override {
        return IsEqualIID(iid, IID_IModemSessionCallback) ? this : nullptr;
    }
    HRESULT STDMETHODCALLTYPE MediaClosed(LONG id) override {
        r_->Add({HostEvent::MediaClosed, id});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MediaInService(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MediaOutOfService(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MediaRemove(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FatalError(LONG, LONG, LONG) override { return S_OK; }

  private:
    Recorder* r_;
};

thread_local HRESULT t_created = S_OK;  // the result of the thread's last Create

template <class T>
ComPtr<T> Create(const CLSID& clsid, const IID& iid) {
    ComPtr<T> p;
    t_created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, p.PutVoid());
    if (FAILED(t_created))
        p.Reset();
    return p;
}

struct Field {
    const char16_t* name;
    Variant value;
};

ComPtr<ICommonData> Bag(const std::vector<Field>& fields) {
    auto bag = Create<ICommonData>(CLSID_CommonData, IID_ICommonData);
    for (const Field& f : fields)
        if (bag) {
            Bstr name(f.name);
            bag->SetData(name.Get(), f.value);
        }
    return bag;
}

std::string g_port, g_highPort, g_simFile, g_eventFile;

// One host: a session with one modem, its line initialised and opened.
class Host {
  public:
    Host() = default;
    ~Host() {
        if (line) {
            line->CloseLine();
            line->Shutdown();
        }
        if (session)
            session->Shutdown();
    }
    bool Open(const char* scenario, std::vector<Field> extra = {},
              const std::string& portName = g_port) {
        if (!Start(scenario, portName))
            return false;
        HRESULT hr = OpenLine(std::move(extra), portName);
        return Check(
            hr == S_OK, scenario,
            "OpenLine on " + portName + " (LastError " + std::to_string(LastError()) + ")");
    }
    // Session, modem and line, not yet opened.
    bool Start(const char* scenario, const std::string& portName) {
        session = Create<IModemSession>(CLSID_ATModemSession, IID_IModemSession);
        line = Create<IModemLine>(CLSID_ATModemLine, IID_IModemLine);
        char hr[16];
        std::snprintf(hr, sizeof hr, "%08lx", static_cast<unsigned long>(t_created));
        if (!Check(session && line, scenario,
                   std::string("the classes are created through CoCreateInstance (") + hr + ")"))
            return false;
        ComPtr<IModemSessionCallback> sc;
        ComPtr<IModemLineCallback> lc;
        CreateComObject<SessionCallback>(nullptr, nullptr, IID_IModemSessionCallback, sc.PutVoid(),
                                         &events);
        CreateComObject<LineCallback>(nullptr, nullptr, IID_IModemLineCallback, lc.PutVoid(),
                                      &events);
        Bstr port(std::u16string(portName.begin(), portName.end()));
        ComPtr<ICommonData> modem;
        return Check(session->Initialize(sc.Get()) == S_OK &&
                         session->AddModem(port.Get(), modem.Put()) == S_OK &&
                         line->Initialize(modem.Get(), lc.Get()) == S_OK,
                     scenario, "session, modem and line are initialised");
    }
    HRESULT OpenLine(std::vector<Field> extra, const std::string& portName) {
        extra.push_back({u"COMPort", Variant::AnsiString(portName)});
        extra.push_back({u"ModemSetting", Variant::AnsiString("ATE0")});
        return line->OpenLine(Bag(extra).Get());
    }
    LONG LastError() {
        LONG e = -1;
        if (line)
            line->get_LastError(&e);
        return e;
    }
    HRESULT Dial(const char* number) {
        return line->MakeCall(Bag({{u"PhoneNumber", Variant::AnsiString(number)},
                                   {u"DialType", Variant::Bool(false)}})
                                  .Get());
    }

    Recorder events;
    ComPtr<IModemSession> session;
    ComPtr<IModemLine> line;
};

std::string ReadFileText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Waits until the event file holds `needle` (the reporter writes from the
// line's event threads).
bool EventFileHas(const std::string& needle, DWORD timeoutMs) {
    const uint64_t until = wintest::NowMs() + timeoutMs;
    for (;;) {
        if (ReadFileText(g_eventFile).find(needle) != std::string::npos)
            return true;
        if (wintest::NowMs() >= until)
            return false;
        wintest::SleepMs(50);
    }
}

// Data both ways over the handle the host was given: the simulator loops
// back what it receives in a data call.
void ExchangeData(const char* scenario, LONG handle) {
    Check(tarvik::test::HostPortIsOpen(handle), scenario,
          "the handle given to CallConnected is the port's Win32 handle");
    const std::string ping = "ping from the host\r\n";
    Check(tarvik::test::HostPortWrite(handle, ping), scenario, "the host writes on the handle");
    // The line stops reading at the CR of "CONNECT 9600": the LF after it is
    // the first byte the host reads, then the remote side's answer.
    const std::string expected = "\n" + ping;
    std::string back = tarvik::test::HostPortReadUntil(handle, expected, 5s);
    Check(back == expected, scenario,
          "the host reads what followed CONNECT, nothing lost (got \"" + back + "\")");
}

// The host's hang-up: the modem needs a quiet second before "+++" counts.
void HangUp(const char* scenario, Host& host) {
    wintest::SleepMs(1100);
    Check(host.line->DropCall() == S_OK, scenario, "DropCall succeeds");
    auto ended = host.events.WaitFor(HostEvent::Disconnected, 15000);
    Check(ended && ended->a == 2223, scenario,
          "CallDisconnected with cause 2223 (got " + std::to_string(ended ? ended->a : -1) + ")");
}

// A call that went as it should leaves no fatal error and no closed medium.
void NothingFailed(const char* scenario, Host& host) {
    Check(
        host.events.Count(HostEvent::Fatal) == 0 && host.events.Count(HostEvent::MediaClosed) == 0,
        scenario, "no FatalError and no MediaClosed");
}

void Classes() {
    const char* s = "classes";
    CLSID clsid{};
    Check(CLSIDFromProgID(u"Tarvik.ATModemSession", &clsid) == S_OK &&
              IsEqualCLSID(clsid, CLSID_ATModemSession),
          s, "the session's ProgID names its CLSID");
    Check(CLSIDFromProgID(u"Tarvik.ATModemLine.1", &clsid) == S_OK &&
              IsEqualCLSID(clsid, CLSID_ATModemLine),
          s, "the line's versioned ProgID names its CLSID");
    ComPtr<IModemLine> line;
    CLSID unknown = CLSID_ATModemLine;
    unknown.Data1 ^= 1;
    Check(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IModemLine,
                           line.PutVoid()) == REGDB_E_CLASSNOTREG,
          s, "an unregistered class is not created");
    auto session = Create<IModemSession>(CLSID_ATModemSession, IID_IModemSession);
    LONG max = 0;
    Check(session && session->get_MaxModems(&max) == S_OK && max == 4, s,
          "a session made by CLSID answers MaxModems 4");
    SetReportedVersion(4, 10);
    const DWORD overridden = GetVersion();
    SetReportedVersion(0, 0);
    Check(overridden == 0x0A04 && GetVersion() != overridden, s,
          "SetReportedVersion overrides the system's version until it is undone");
    Check(!SignalEndOfCall(g_port.c_str()) && GetLastError() == ERROR_FILE_NOT_FOUND, s,
          "with no call handed over, the end-of-call signal reaches no one");
}

void DialOut() {
    const char* s = "dial";
    Host host;
    if (!host.Open(s))
        return;
    Check(host.Dial("5551000") == S_OK, s, "MakeCall succeeds");
    auto connected = host.events.WaitFor(HostEvent::Connected, 15000);
    if (!Check(connected && connected->a == 0, s, "CallConnected for an outgoing call"))
        return;
    ExchangeData(s, connected->b);
    HangUp(s, host);
    NothingFailed(s, host);
}

// The remote side hangs up: the host reads the modem's NO CARRIER on its
// handle and tells the line, through the port's end-of-call event
// ("Tarvik.COM5"), that it has finished.
void RemoteHangUp() {
    const char* s = "remote hang-up";
    Host host;
    if (!host.Open(s))
        return;
    Check(host.Dial("5551000") == S_OK, s, "MakeCall succeeds");
    auto connected = host.events.WaitFor(HostEvent::Connected, 15000);
    if (!Check(connected.has_value(), s, "CallConnected"))
        return;
    Check(wintest::SimCommand(g_simFile, "drop"), s, "the simulator is told to drop the carrier");
    const std::string expected = "\n\r\nNO CARRIER\r\n";
    std::string got = tarvik::test::HostPortReadUntil(connected->b, expected, 5s);
    Check(got == expected, s, "the host reads NO CARRIER on its handle");
    Check(SignalEndOfCall(g_port.c_str()), s, "the host sets the port's end-of-call event");
    auto ended = host.events.WaitFor(HostEvent::Disconnected, 10000);
    Check(ended && ended->a == 2227, s,
          "CallDisconnected with cause 2227 (got " + std::to_string(ended ? ended->a : -1) + ")");
    // A call that ended while the host held the port closes the medium too.
    auto closed = host.events.WaitFor(HostEvent::MediaClosed, 5000);
    Check(closed && closed->a == 1, s, "the session reports MediaClosed for media 1");
    Check(host.events.Count(HostEvent::Fatal) == 0, s, "no FatalError");
}

void Busy() {
    const char* s = "busy";
    Host host;
    if (!host.Open(s, {}, g_highPort))
        return;
    Check(host.Dial("5552000") == S_OK, s, "MakeCall succeeds");
    auto ended = host.events.WaitFor(HostEvent::Disconnected, 15000);
    Check(ended && ended->a == 2221, s,
          "CallDisconnected with cause 2221 (got " + std::to_string(ended ? ended->a : -1) + ")");
    Check(host.events.Count(HostEvent::Connected) == 0, s, "no CallConnected");
    NothingFailed(s, host);
}

void MissingPort() {
    const char* s = "missing port";
    Host host;
    if (!host.Start(s, "COM9"))
        return;
    HRESULT hr = host.OpenLine({}, "COM9");
    Check(FAILED(hr) && host.LastError() == 3, s,
          "OpenLine on a port that does not exist fails with LastError 3 (got " +
              std::to_string(host.LastError()) + ")");
}

void Refuse() {
    const char* s = "refuse";
    Host host;
    if (!host.Open(s, {{u"NumRingsAnswer", Variant(LONG{2})}}))
        return;
    Check(wintest::SimCommand(g_simFile, "ring 2"), s, "the simulator is told to ring");
    if (!Check(host.events.WaitFor(HostEvent::Offering, 15000).has_value(), s,
               "CallOffering at the second RING"))
        return;
    Check(host.line->AnswerCall(FALSE) == S_OK, s, "AnswerCall(FALSE) succeeds");
    Check(EventFileHas("\"code\":1004", 5000), s, "the event reporter hears of the refusal");
    // Refused, the line is idle again: the next call goes out.
    Check(host.Dial("5552000") == S_OK, s, "MakeCall after the refusal succeeds");
    auto ended = host.events.WaitFor(HostEvent::Disconnected, 15000);
    Check(ended && ended->a == 2221, s, "that call ends BUSY");
    NothingFailed(s, host);
}

void Incoming() {
    const char* s = "incoming";
    Host host;
    if (!host.Open(s,
                   {{u"CallerIDEnabled", Variant(LONG{1})}, {u"NumRingsAnswer", Variant(LONG{3})}}))
        return;
    Check(wintest::SimCommand(g_simFile, "ring 8"), s, "the simulator is told to ring");
    if (!Check(host.events.WaitFor(HostEvent::Offering, 15000).has_value(), s,
               "CallOffering at the third RING"))
        return;
    Check(EventFileHas("5551212", 5000), s, "the caller's number reaches the event reporter");
    Check(host.line->AnswerCall(TRUE) == S_OK, s, "AnswerCall(TRUE) succeeds");
    auto connected = host.events.WaitFor(HostEvent::Connected, 20000);
    if (!Check(connected && connected->a == 1, s, "CallConnected for an incoming call"))
        return;
    ExchangeData(s, connected->b);
    HangUp(s, host);
    NothingFailed(s, host);
}

// Several log writers on one file, as several lines and processes share one
// log: every entry arrives whole, none overwrites another.
void SharedLog() {
    const char* s = "shared log";
    const std::string path = g_eventFile + ".shared.log";
    constexpr int kWriters = 8, kEntries = 1000;
    std::remove(path.c_str());
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                ComPtr<ILogWriter> log = Create<ILogWriter>(CLSID_LogWriter, IID_ILogWriter);
                Bstr file(std::u16string(path.begin(), path.end()));
                Bstr function(u"CModemLine::Test()"), message(u"entry"), detail(u"12:00:00");
                if (log && log->SetLogFile(file.Get()) == S_OK && log->SetEnabled(1) == S_OK)
                    for (int i = 0; i < kEntries; ++i)
                        log->WriteEntry(GetCurrentThreadId(), 0, 1, function.Get(), message.Get(),
                                        detail.Get());
            }
            CoUninitialize();
        });
    for (std::thread& t : writers)
        t.join();
    const std::string text = ReadFileText(path);
    size_t lines = 0;
    for (size_t at = text.find("entry"); at != std::string::npos; at = text.find("entry", at + 1))
        ++lines;
    Check(lines == kWriters * kEntries, s,
          std::to_string(lines) + " of " + std::to_string(kWriters * kEntries) + " entries kept");
}

// Windows gives a closed handle's value to the next object made. An event
// field closed while another thread sets it must never set the object that
// inherits the value (the reuse happens within a few handles here).
void LateSignals() {
    const char* s = "late signals";
    SharedEvent field;
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        while (!stop)
            field.Set();
    });
    int hits = 0, reused = 0;
    for (int i = 0; i < 5000; ++i) {
        HANDLE old = field.Get();
        field.Replace(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle bystander(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        reused += bystander.Get() == old;
        hits += WaitForSingleObject(bystander.Get(), 0) == WAIT_OBJECT_0;
    }
    stop = true;
    setter.join();
    Check(hits == 0, s,
          "no set reached an event made after the close (" + std::to_string(hits) + " did; " +
              std::to_string(reused) + " of 5000 reused the closed value)");
}

// The transmit path purges the receive buffer before every command, also
// while the modem speaks (a RING just before "ATA"). A purge that takes the
// byte a pending read was woken for must leave the port reading, not end it
// as if the modem were gone (the CONNECT that follows would never be read).
void PurgeWhileReading() {
    const char* s = "purge while reading";
    DWORD error = 0;
    std::shared_ptr<SerialDevice> dev = SerialDevice::Open(g_port.c_str(), &error);
    if (!Check(dev && dev->SetCommTimeouts({500, 0, 0, 0, 0}), s, "the port opens"))
        return;
    std::atomic<bool> stop{false};
    // Several purgers keep the machine busy, so a woken read often waits for
    // its thread while a purge runs.
    std::vector<std::thread> purgers;
    for (int i = 0; i < 3; ++i)
        purgers.emplace_back([&] {
            while (!stop)
                dev->PurgeComm(PURGE_RXCLEAR);
        });
    // Every "AT" has the modem answer OK at once: many answers meet a purge.
    const BYTE at[] = {'A', 'T', '\r'};
    int failed = 0, answers = 0;
    DWORD failure = 0;
    for (const uint64_t until = wintest::NowMs() + 4000; wintest::NowMs() < until && !failed;) {
        BYTE b = 0;
        IoCompletion done;
        if (!dev->WritePending() && dev->Write(at, sizeof at, &error) != IoStatus::Failed)
            ++answers;
        IoStatus r = dev->ReadByte(&b, &error);
        if (r == IoStatus::Failed)
            failure = error;
        else if (r == IoStatus::Pending &&
                 dev->Wait(0, nullptr, 50, false, &done) == WAIT_IO_COMPLETION &&
                 done.kind == IoCompletion::Read)
            failure = done.error;
        failed += failure != 0;
    }
    stop = true;
    for (std::thread& t : purgers)
        t.join();
    Check(failed == 0 && answers >= 20, s,
          "no read failed while the receive buffer was purged under it (" + std::to_string(failed) +
              " failed, with " + std::to_string(failure) + "; " + std::to_string(answers) +
              " commands)");
}

// Registration reads and changes only what its scripts name: registered
// again, a class loses a key left below its own, and the classes of others
// under CLSID stay.
void Reregister() {
    const char* s = "registration";
    const std::string root = "HKEY_CLASSES_ROOT\\CLSID\\";
    const std::string ours = root + GuidToString(CLSID_ATModemLine), stale = ours + "\\Stale";
    const std::string other = root + "{5E0C3A1B-7D2F-4B8E-9A61-0C4D2E8F7A13}";
    auto put = [&](bool add) {
        return registry::Update({{ours, other}, {}}, [&](registry::Key& keys) {
            if (add) {
                keys.Create(stale).SetString("", "old");
                keys.Create(other).SetString("", "another class");
            } else {
                keys.Remove(other);
            }
            return S_OK;
        });
    };
    std::string value;
    if (!Check(put(true) == S_OK && registry::QueryString(stale, "", &value), s,
               "keys are put in place for the test"))
        return;
    Check(wintest::CallDllEntry("Tarvik.dll", "DllRegisterServer") == S_OK, s,
          "DllRegisterServer succeeds again");
    Check(!registry::QueryString(stale, "", &value), s, "the stale key below the class is gone");
    Check(registry::QueryString(other, "", &value) && value == "another class", s,
          "another class's key is left alone");
    Check(registry::QueryString(ours + "\\InprocServer32", "ThreadingModel", &value) &&
              value == "Free",
          s, "the class is registered as before");
    put(false);
}

// A host in a single-threaded apartment, as every GUI and script host is:
// it reaches the free-threaded classes through proxies, and its callbacks
// come to its own thread while it pumps messages.
void Apartment() {
    const char* s = "apartment";
    std::thread thread([s] {
        if (!Check(CoInitialize(nullptr) == S_OK, s, "the host thread is an apartment of its own"))
            return;
        {
            Host host;
            if (host.Open(s) && Check(host.Dial("5551000") == S_OK, s, "MakeCall succeeds")) {
                auto connected = host.events.WaitFor(HostEvent::Connected, 15000);
                if (Check(connected && connected->a == 0, s, "CallConnected")) {
                    ExchangeData(s, connected->b);
                    HangUp(s, host);
                    NothingFailed(s, host);
                    auto ended = host.events.WaitFor(HostEvent::Disconnected, 0);
                    Check(connected->thread == GetCurrentThreadId() && ended &&
                              ended->thread == GetCurrentThreadId(),
                          s, "the callbacks ran on the host's own thread");
                }
            }
        }
        CoUninitialize();
    });
    thread.join();
}

void Unplug() {
    const char* s = "unplug";
    Host host;
    if (!host.Open(s))
        return;
    // A whole call first: whatever the open port would report on its own
    // has had its time.
    Check(host.Dial("5552000") == S_OK, s, "MakeCall succeeds");
    auto busy = host.events.WaitFor(HostEvent::Disconnected, 15000);
    Check(busy && busy->a == 2221, s, "the call ends BUSY");
    NothingFailed(s, host);
    Check(wintest::SimCommand(g_simFile, "vanish"), s, "the simulator is told to vanish");
    auto closed = host.events.WaitFor(HostEvent::MediaClosed, 15000);
    Check(closed && closed->a == 1, s, "the session reports MediaClosed for media 1");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: tarvik-wintest PORT HIGH-PORT SIM-COMMAND-FILE EVENT-FILE\n");
        return 2;
    }
    g_port = argv[1];
    g_highPort = argv[2];
    g_simFile = argv[3];
    g_eventFile = argv[4];
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "tarvik-wintest: COM does not start\n");
        return 2;
    }
    Classes();
    Reregister();
    SharedLog();
    LateSignals();
    MissingPort();
    DialOut();
    RemoteHangUp();
    Busy();
    Refuse();
    Incoming();
    PurgeWhileReading();
    Apartment();
    Unplug();  // last: the simulator is gone afterwards
    CoUninitialize();
    std::printf("%s: %d failed check(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
    return g_failures ? 1 : 0;
}

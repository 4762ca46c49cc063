// A minimal Tarvik host that answers one call: answerer COMn
//
// It opens the line, prints the caller ID the modem sends between the first
// two rings, waits for the call to be offered at the third ring, answers, says hello over the port
// it is handed, prints what comes back, hangs up and waits for the call to end. The component and
// its companions are reached by class, so register them once first:
//     tarvik register /opt/tarvik/lib/libtarvik-companions.so
//     tarvik register /opt/tarvik/lib/libtarvik.so
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include <tarvik/tarvik.h>

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

// What the line's callbacks report. They run on the line's own event
// threads, so they only record and wake the main thread, which does the work.
struct CallEvents {
    std::mutex mu;
    std::condition_variable changed;
    bool offered = false, connected = false, ended = false;
    int port = -1;
    LONG cause = 0;

    template <class Done>
    bool WaitFor(Done done, int seconds) {
        std::unique_lock lock(mu);
        return changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }
    void Record(bool CallEvents::*what) {
        std::lock_guard lock(mu);
        this->*what = true;
        changed.notify_all();
    }
};

// Only the callbacks this host needs; the base answers the others.
class LineCallback : public tarvik::LineCallbackBase {
  public:
    explicit LineCallback(CallEvents* events) : events_(events) {}
    HRESULT STDMETHODCALLTYPE CallOffering() override {
        std::printf("call offered\n");
        std::fflush(stdout);
        events_->Record(&CallEvents::offered);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CallConnected(LONG, LONG portHandle) override {
        {
            std::lock_guard lock(events_->mu);
            events_->port = portHandle;  // ours until DropCall
        }
        events_->Record(&CallEvents::connected);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CallDisconnected(LONG cause) override {
        {
            std::lock_guard lock(events_->mu);
            events_->cause = cause;
        }
        events_->Record(&CallEvents::ended);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FatalError(LONG cause, LONG error, LONG) override {
        std::fprintf(stderr, "answerer: the line reports a fatal error (%d, %d)\n", cause, error);
        return S_OK;
    }

  private:
    CallEvents* events_;
};

// Caller ID goes to the event reporter class. Serving that class in this
// process puts it in our hands (without this, the registered companion
// writes it to its event file, $TARVIK_EVENTS).
class CallerIdPrinter : public tarvik::EventReporterBase {
  public:
    void CallerIdReceived(const tarvik::CallerId& id, const std::string& port,
                          const std::string& raw) override {
        std::printf("caller ID on %s: number %s, name %s, date %s, time %s (%s)\n", port.c_str(),
                    id.number.c_str(), id.name.c_str(), id.date.c_str(), id.time.c_str(),
                    raw.c_str());
        std::fflush(stdout);
    }
};

static int Fail(const char* what, IModemLine* line = nullptr) {
    LONG lastError = 0;
    if (line)
        line->get_LastError(&lastError);
    std::fprintf(stderr, "answerer: %s (LastError %d)\n", what, lastError);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: answerer COMn\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    tarvik::ClassRegistration callerId = tarvik::ServeEventReporter<CallerIdPrinter>();

    // The session hands out the modem's shared data; the line takes it.
    ComPtr<IModemSession> session;
    ComPtr<IModemSessionCallback> sessionCallback =
        tarvik::MakeObject<tarvik::SessionCallbackBase>();
    ComPtr<ICommonData> modemData;
    if (FAILED(CoCreateInstance(CLSID_ATModemSession, nullptr, CLSCTX_ALL, IID_IModemSession,
                                session.PutVoid())))
        return Fail("no modem session: is libtarvik.so registered?");
    if (FAILED(session->Initialize(sessionCallback.Get())) ||
        FAILED(session->AddModem(Bstr::FromAnsi(argv[1]).Get(), modemData.Put())))
        return Fail("the session did not take the modem");

    CallEvents events;
    ComPtr<IModemLine> line;
    ComPtr<IModemLineCallback> lineCallback = tarvik::MakeObject<LineCallback>(&events);
    CoCreateInstance(CLSID_ATModemLine, nullptr, CLSCTX_ALL, IID_IModemLine, line.PutVoid());
    if (!line || FAILED(line->Initialize(modemData.Get(), lineCallback.Get())))
        return Fail("the line did not initialise", line.Get());

    ComPtr<ICommonData> settings = tarvik::MakeBag({
        {tarvik::field::COMPort, Variant::AnsiString(argv[1])},
        {tarvik::field::ModemSetting, Variant::AnsiString("ATZ")},
        {tarvik::field::BaudRate, Variant(LONG{9600})},
        // The modem sends caller ID between the first two rings; the line
        // reports it with the next ring. Offered at the third ring, the call
        // comes after its caller ID.
        {tarvik::field::NumRingsAnswer, Variant(LONG{3})},
        {tarvik::field::CallerIDEnabled, Variant(LONG{1})},
        {tarvik::field::EscapeGuardTime, Variant(LONG{1100})},
    });
    if (!settings)
        return Fail("no property bag: is libtarvik-companions.so registered?");
    if (FAILED(line->OpenLine(settings.Get())))
        return Fail("the line did not open", line.Get());
    std::printf("waiting for a call on %s\n", argv[1]);
    std::fflush(stdout);

    int status = 1;
    if (events.WaitFor([&] { return events.offered; }, 300)) {
        // AnswerCall blocks until the modem took the answer command; the
        // CONNECT comes later, as CallConnected.
        if (FAILED(line->AnswerCall(TRUE)))
            return Fail("the call was not answered", line.Get());
        events.WaitFor([&] { return events.connected || events.ended; }, 60);
    }
    if (events.connected && !events.ended) {
        // The port is a blocking descriptor, in raw mode, ours until DropCall.
        const std::string hello = "hello from the answerer\r\n";
        if (write(events.port, hello.data(), hello.size()) < 0)
            std::perror("answerer: write");
        // Whatever arrives until the line has been quiet for a second.
        std::string reply;
        pollfd p{events.port, POLLIN, 0};
        while (poll(&p, 1, 1000) > 0) {
            char buffer[256];
            ssize_t n = read(events.port, buffer, sizeof buffer);
            if (n <= 0)
                break;
            reply.append(buffer, static_cast<size_t>(n));
        }
        while (!reply.empty() && (reply[0] == '\r' || reply[0] == '\n'))
            reply.erase(0, 1);  // the end of the CONNECT line
        std::printf("connected; the caller says: %s", reply.c_str());
        // DropCall takes the port back, hangs up, and CallDisconnected follows.
        if (SUCCEEDED(line->DropCall()) && events.WaitFor([&] { return events.ended; }, 30))
            status = events.cause == DISCONNECT_NORMAL ? 0 : 1;
    }
    std::printf("call ended, cause %d\n", events.cause);
    line->CloseLine();
    line->Shutdown();
    session->Shutdown();
    return status;
}

// A minimal Tarvik host that dials out: dialer COMn NUMBER
//
// It opens the line, dials, says hello over the port it is handed when the
// call connects, prints what comes back, hangs up and waits for the call to
// end. The component and its companions are reached by class, so register
// them once first:
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
    bool connected = false, ended = false;
    int port = -1;
    LONG cause = 0;

    template <class Done>
    bool WaitFor(Done done, int seconds) {
        std::unique_lock lock(mu);
        return changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }
};

// Only the callbacks this host needs; the base answers the others.
class LineCallback : public tarvik::LineCallbackBase {
  public:
    explicit LineCallback(CallEvents* events) : events_(events) {}
    HRESULT STDMETHODCALLTYPE CallConnected(LONG, LONG portHandle) override {
        std::lock_guard lock(events_->mu);
        events_->connected = true;
        events_->port = portHandle;  // ours until DropCall
        events_->changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CallDisconnected(LONG cause) override {
        std::lock_guard lock(events_->mu);
        events_->ended = true;
        events_->cause = cause;
        events_->changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FatalError(LONG cause, LONG error, LONG) override {
        std::fprintf(stderr, "dialer: the line reports a fatal error (%d, %d)\n", cause, error);
        return S_OK;
    }

  private:
    CallEvents* events_;
};

static int Fail(const char* what, IModemLine* line = nullptr) {
    LONG lastError = 0;
    if (line)
        line->get_LastError(&lastError);
    std::fprintf(stderr, "dialer: %s (LastError %d)\n", what, lastError);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: dialer COMn NUMBER\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

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
        // Quiet time before "+++": a modem takes it as the escape only after
        // its guard time (S12, 1 s by default) without data.
        {tarvik::field::EscapeGuardTime, Variant(LONG{1100})},
    });
    if (!settings)
        return Fail("no property bag: is libtarvik-companions.so registered?");
    if (FAILED(line->OpenLine(settings.Get())))
        return Fail("the line did not open", line.Get());

    auto callData = tarvik::MakeBag({{tarvik::field::PhoneNumber, Variant::AnsiString(argv[2])}});
    if (!callData || FAILED(line->MakeCall(callData.Get())))
        return Fail("the call was not placed", line.Get());
    std::printf("dialling %s on %s\n", argv[2], argv[1]);
    std::fflush(stdout);
    events.WaitFor([&] { return events.connected || events.ended; }, 90);

    int status = 0;
    if (events.connected && !events.ended) {
        // The port is a blocking descriptor, in raw mode, ours until DropCall.
        const std::string hello = "hello from the dialer\r\n";
        if (write(events.port, hello.data(), hello.size()) < 0)
            std::perror("dialer: write");
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
        std::printf("connected; the remote side says: %s", reply.c_str());
        // DropCall takes the port back, hangs up, and CallDisconnected follows.
        if (FAILED(line->DropCall()))
            status = Fail("the hang-up failed", line.Get());
        events.WaitFor([&] { return events.ended; }, 30);
    } else {
        status = 1;
    }
    std::printf("call ended, cause %d%s\n", events.cause,
                events.cause == DISCONNECT_NORMAL ? " (hung up)"
                : events.cause == DISCONNECT_BUSY ? " (busy)"
                                                  : "");
    line->CloseLine();
    line->Shutdown();
    session->Shutdown();
    return events.cause == DISCONNECT_NORMAL ? status : 1;
}

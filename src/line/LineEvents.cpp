// Call events to the host: each raised event runs on a short-lived thread of
// its own, never on the port's threads, so a host that calls back into the
// line from a callback cannot stall frame delivery. Also the port's two other
// callbacks (fatal error, transmission done) and the link to the session.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::CriticalSectionLock;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using namespace tarvik::line;

namespace {

// Event threads running in the process. Counted down only after a thread has
// let go of its line, so a waiter knows no callback and no final release is
// still under way.
struct EventThreadCount {
    std::mutex lock;
    std::condition_variable done;
    int running = 0;
};

EventThreadCount& Threads() {
    static auto* count = new EventThreadCount;  // outlives every detached thread
    return *count;
}

// The line whose event this thread runs, if it is an event thread: a host
// that shuts the line down from inside a callback must not wait for the very
// thread it is on.
thread_local const CModemLine* t_eventLine = nullptr;

// How long a raise keeps trying to start the event's thread.
constexpr DWORD kEventThreadRetryMs = 2000;

struct EventThreadArgs {
    CModemLine* line;  // holds one reference
    RaisedEvent event;
};

}  // namespace

bool CModemLine::WaitForEventThreads(DWORD timeoutMs) {
    auto& threads = Threads();
    std::unique_lock lock(threads.lock);
    return threads.done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return threads.running == 0; });
}

void CModemLine::RaiseEvent(LONG code) {
    m_lPendingEvent = code;
    // The event carries its own code and the values it reports, so two raises
    // in quick succession each reach the host once, with their own values.
    auto args = std::make_unique<EventThreadArgs>();
    args->line = this;
    args->event.code = code;
    args->event.cause = m_nDisconnectCause;
    args->event.incoming = m_bIncoming;
    static_cast<IModemLine*>(this)->AddRef();
    {
        std::lock_guard lock(Threads().lock);
        ++Threads().running;
    }
    {
        std::lock_guard lock(m_eventsLock);
        if (m_eventThreads++ == m_eventThreadsWaiting)
            ResetEvent(m_hEventsDone);
    }
    // Threads run short for a moment when a whole bank of lines changes at
    // once (hundreds reaching CONNECT together): event threads end within
    // moments, so the event waits for one rather than being lost.
    HANDLE thread = nullptr;
    for (DWORD pause = 1, waited = 0;; waited += pause, pause *= 2) {
        thread = CreateThread(nullptr, 0, &CModemLine::RaiseEventThread, args.get(), 0, nullptr);
        if (thread || waited >= kEventThreadRetryMs)
            break;
        Sleep(pause);
    }
    if (thread) {
        args.release();
        CloseHandle(thread);
        return;
    }
    // Still none: the event runs on the raising thread. Its callback comes
    // late and on a thread that is not its own, but every call still ends in
    // its terminal callback.
    Log(-1, 0, "CModemLine::RaiseEvent()",
        ("No event thread (" + tarvik::SystemErrorReason(GetLastError()) + "); raised in place")
            .c_str());
    RaiseEventThread(args.release());
}

DWORD CModemLine::RaiseEventThread(void* param) {
    std::unique_ptr<EventThreadArgs> args(static_cast<EventThreadArgs*>(param));
    // Kept and put back: an event raised in place runs on a thread that may
    // already be running one of its own.
    const CModemLine* outer = std::exchange(t_eventLine, args->line);
    args->line->RunEvent(args->event);
    t_eventLine = outer;
    args->line->EventThreadEnded();
    static_cast<IModemLine*>(args->line)->Release();
    auto& threads = Threads();
    std::lock_guard lock(threads.lock);
    --threads.running;
    threads.done.notify_all();
    return 0;
}

void CModemLine::EventThreadEnded() {
    std::lock_guard lock(m_eventsLock);
    if (--m_eventThreads == m_eventThreadsWaiting)
        SetEvent(m_hEventsDone);
}

bool CModemLine::WaitForOwnEvents(DWORD timeoutMs) {
    // An event thread of this line that waits here (a callback that shuts
    // the line down) is not waited for: neither by itself, nor by another
    // such callback waiting at the same time.
    struct Excuse {
        CModemLine* line;
        bool on;
        Excuse(CModemLine* l, bool o) : line(l), on(o) { Step(+1); }
        ~Excuse() { Step(-1); }
        void Step(int by) {
            if (!on)
                return;
            std::lock_guard lock(line->m_eventsLock);
            line->m_eventThreadsWaiting += by;
            if (line->m_eventThreads == line->m_eventThreadsWaiting)
                SetEvent(line->m_hEventsDone);
            else
                ResetEvent(line->m_hEventsDone);
        }
    } excuse(this, t_eventLine == this);
    const uint64_t until = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard lock(m_eventsLock);
            if (m_eventThreads == m_eventThreadsWaiting)
                return true;
        }
        const uint64_t now = GetTickCount64();
        if (now >= until)
            return false;
        HANDLE done = m_hEventsDone;
        tarvik::PumpingWait(1, &done, static_cast<DWORD>(until - now));
    }
}

void CModemLine::RunEvent(const RaisedEvent& event) {
    switch (event.code) {
        case LINE_EVENT_CONNECTED:
            DoCallConnected(event.incoming);
            break;
        case LINE_EVENT_DISCONNECTED:
        case LINE_EVENT_CALL_ENDED:
            DoCallDisconnected(event.code, event.cause);
            break;
        case LINE_EVENT_OFFERING:
            CallOffering();
            break;
        case LINE_EVENT_FATAL:
            FatalError(0, 0, 0);
            break;
        case LINE_EVENT_REANSWER:
            ReanswerNow();
            break;
        case LINE_EVENT_OVERFLOW:
            if (ComPtr<IModemLineCallback> host = HostCallback())
                host->FatalError(SP_BAD_LENGTH, 0, 0);
            break;
        default:
            break;
    }
}

HRESULT CModemLine::CallConnected() {
    return DoCallConnected(m_bIncoming);
}

HRESULT CModemLine::CallDisconnected() {
    return DoCallDisconnected(m_lPendingEvent, m_nDisconnectCause);
}

HRESULT CModemLine::DoCallConnected(bool incoming) {
    return GuardedCall(m_pLog.Get(), kCallConnectedRow, [&] {
        // After Shutdown there is nobody to tell.
        ComPtr<IModemLineCallback> host = HostCallback();
        if (!host)
            return S_OK;
        LONG handle = 0;
        {
            std::lock_guard lock(m_handOverLock);
            if (m_lState != MODEM_CONNECTED) {
                // The call ended (NO CARRIER) or a hang-up took the line over
                // before the port could be handed out: the host must not get a
                // port the line is using, and the line needs it reading again.
                Log(-1, 0, "CModemLine::CallConnected()",
                    "The call ended before the port was handed over");
                ReclaimPortLocked();
                return S_OK;
            }
            m_port.ClosePort(false);
            m_bHandedOver = true;
            m_bReadStopped = false;
            handle = static_cast<LONG>(m_port.GetPortHandle());
        }
        HRESULT hr = host->CallConnected(incoming ? 1 : 0, handle);
        if (FAILED(hr))
            tarvik::frame::ThrowFromCallee(hr, host.Get(), IID_IModemLineCallback);
        Log(-1, 0, "CModemLine::CallConnected()", "All goes well");
        return hr;
    });
}

HRESULT CModemLine::DoCallDisconnected(LONG eventCode, SHORT cause) {
    return GuardedCall(m_pLog.Get(), kCallDisconnectedRow, [&] {
        ComPtr<IModemLineCallback> host = HostCallback();
        if (!host)
            return S_OK;
        // The host has finished with the port: the line takes it back at once,
        // so that what the modem said meanwhile is read while the line is idle
        // and not taken as the answer to the next command.
        if (eventCode == LINE_EVENT_CALL_ENDED)
            ReclaimPort();
        HRESULT hr = host->CallDisconnected(static_cast<LONG>(cause));
        // A failing host is not followed by the session message.
        if (FAILED(hr))
            throw ComError(hr);
        if (eventCode == LINE_EVENT_CALL_ENDED)
            TellSession("CModemLine::CallDisconnected()");
        Log(-1, 0, "CModemLine::CallDisconnected()", "All goes well");
        return hr;
    });
}

HRESULT CModemLine::CallOffering() {
    return GuardedCall(m_pLog.Get(), kCallOfferingRow, [&] {
        ComPtr<IModemLineCallback> host = HostCallback();
        if (!host)
            return S_OK;
        Log(-1, 0, "CModemLine::CallOffering()", "Calling calloffering callback");
        HRESULT hr = host->CallOffering();
        if (FAILED(hr))
            tarvik::frame::ThrowFromCallee(hr, host.Get(), IID_IModemLineCallback);
        Log(-1, 0, "CModemLine::CallOffering()", "All goes well");
        return S_OK;
    });
}

HRESULT CModemLine::FatalError(LONG lError, LONG lCause, LONG lParam) {
    return GuardedCall(m_pLog.Get(), kLineFatalErrorRow, [&] {
        LONG dialling = MODEM_CONNECTING;
        if (m_lState.compare_exchange_strong(dialling, MODEM_IDLE)) {
            // The call being dialled is over: the host hears it as a
            // disconnect, the session as a closed medium, and the line closes.
            m_nDisconnectCause = DISCONNECT_NO_CONNECTION;
            RaiseEvent(LINE_EVENT_CALL_ENDED);
            static_cast<IModemLine*>(this)->CloseLine();
            Log(-1, 1, "CModemLine::FatalError()", "All goes well");
            return S_OK;
        }
        if (!ModemData())
            return E_FAIL;
        HRESULT hr = S_OK;
        // Modem data that leads to no session (a bag of the host's own):
        // the host itself hears of the failure, never nobody.
        const bool told =
            m_bFatalReported && m_bPortOpen && TellSession("CModemLine::FatalError()");
        ComPtr<IModemLineCallback> host = told ? nullptr : HostCallback();
        if (host) {
            // The host receives the values each under its own name.
            hr = host->FatalError(lCause, lError, lParam);
            if (FAILED(hr))
                tarvik::frame::ThrowFromCallee(hr, host.Get(), IID_IModemLineCallback);
        }
        m_bFatalReported = false;
        Log(-1, 1, "CModemLine::FatalError()", "All goes well");
        return hr;
    });
}

bool CModemLine::TellSession(const char* function) {
    ComPtr<IUnknown> unknown;
    {
        CriticalSectionLock lock(&m_csModemData);
        if (!m_pModemData)
            return false;
        Variant value;
        Bstr field(u"ModemSession_IUnknown");
        if (SUCCEEDED(m_pModemData->GetData(field.Get(), &value)) &&
            (value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH))
            unknown = value.punkVal;
    }
    // Modem data that did not come from a session's AddModem has no way to
    // the session: the message is skipped, not guessed at.
    if (!unknown) {
        Log(-1, 0, function, "No ModemSession_IUnknown in the modem data: session not told");
        return false;
    }
    ComPtr<IModemSessionPrivate> session;
    if (FAILED(unknown->QueryInterface(IID_IModemSessionPrivate, session.PutVoid())) || !session) {
        Log(-1, 0, function, "ModemSession_IUnknown is not a modem session: session not told");
        return false;
    }
    LONG mediaId = 0;
    get_MediaID(&mediaId);
    session->HandleLineMessage(0, 0, 1, mediaId, 0);
    return true;
}

HRESULT CModemLine::FatalError(LONG lCause, LONG lError) {
    return GuardedCall(m_pLog.Get(), kPortFatalErrorRow, [&] {
        if (lCause == SP_BAD_LENGTH && lError == 0) {
            // A line longer than a frame (noise, a modem ending its lines
            // with LF alone): the port dropped it and reads on. The host
            // hears the overflow code; the port is fine, and nothing that
            // waits for it is woken.
            RaiseEvent(LINE_EVENT_OVERFLOW);
            Log(-1, 0, "CModemLine::FatalError()", "A line from the modem was too long");
            return S_OK;
        }
        // The port's error code explains a failed opening in its
        // description; it never reaches the host's callbacks or the session.
        if (!m_bPortFailed.load())
            m_lPortError = lCause;
        // Marked before the waits wake, so that they know the port, not the
        // modem, ended them.
        const bool first = !m_bPortFailed.exchange(true);
        // Wake the operation that may be waiting for this port.
        switch (m_lState.load()) {
            case MODEM_CONNECTING:
                m_hTransmitDone.Set();
                break;
            case MODEM_DISCONNECTING_START:
                // The answer to "+++" cannot come any more either.
                m_hTransmitDone.Set();
                m_hEscapeOK.Set();
                break;
            case MODEM_DISCONNECTING_FINISH:
                m_hTransmitDone.Set();
                m_hModemResponse.Set();
                break;
            case MODEM_INITIALIZING:
                // No answer can come from a port that failed.
                m_hTransmitDone.Set();
                m_bInitOK = 0;
                m_hInitResponse.Set();
                break;
            default:
                break;
        }
        // A failed device keeps failing until the line is opened again: one
        // report per failure, not one per failed read.
        if (first) {
            m_bFatalReported = true;
            RaiseEvent(LINE_EVENT_FATAL);
        }
        Log(-1, 0, "CModemLine::FatalError()", "A Fatal error has occurred.");
        return S_OK;
    });
}

void CModemLine::ReportPortLost() {
    if (m_bPortFailed.exchange(true))
        return;
    m_bFatalReported = true;
    RaiseEvent(LINE_EVENT_FATAL);
}

HRESULT CModemLine::TransmitDone() {
    return GuardedCall(m_pLog.Get(), kTransmitDoneRow, [&] {
        m_hTransmitDone.Set();
        Log(-1, 1, "CModemLine::TransmitDone()", "All goes well");
        return S_OK;
    });
}

bool CModemLine::ReclaimPort() {
    std::lock_guard lock(m_handOverLock);
    return ReclaimPortLocked();
}

bool CModemLine::ReclaimPortLocked() {
    if (m_bHandedOver) {
        if (m_port.OpenPort(true) != SP_OK)
            return false;
        m_bHandedOver = false;
        m_bReadStopped = false;
    } else if (m_bReadStopped) {
        // Reading stopped at CONNECT, but the call ended before the port was
        // handed out: cycle it once, so that it reads the modem again.
        m_port.ClosePort(false);
        if (m_port.OpenPort(true) != SP_OK)
            return false;
        m_bReadStopped = false;
    }
    return true;
}

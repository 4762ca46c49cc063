// Call teardown: DropCall lets one drop run at a time and hands the work to
// HangUpCall, which brings the modem back to command mode with "+++", falls
// back to dropping DTR when the modem does not answer, and hangs up with
// "ATH\r".
#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::ComPtr;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using tarvik::line::HangUpLock;
using tarvik::line::HangUpLockHold;
using namespace tarvik::line;

namespace {

constexpr const char* kFn = "CModemLine::HangUpCall()";

constexpr DWORD kAfterEscapeMs = 660;    // guard time after "+++"
constexpr DWORD kEscapeAnswerMs = 5700;  // wait for OK or NO CARRIER to "+++"
constexpr DWORD kDtrLowMs = 220;         // DTR held low
constexpr DWORD kAfterDtrMs = 55;        // before the second "+++"
constexpr DWORD kSecondEscapeMs = 5100;  // its answer is not used
constexpr DWORD kBeforeHangUpMs = 600;   // before the first "ATH\r"
constexpr DWORD kReopenPauseMs = 2000;   // between closing and reopening

bool IsOldSystem() {
    DWORD version = GetVersion();
    DWORD major = version & 0xFF;
    DWORD minor = (version >> 8) & 0xFF;
    return major == 4 && (minor == 0 || minor == 10);
}

}  // namespace

HRESULT CModemLine::DropCall() {
    HANDLE mutex = nullptr;
    bool owned = false;
    // The states a hang-up leaves behind. Anything else was set meanwhile by
    // a RING or a new call and is not this drop's to change.
    auto backToIdle = [this](std::initializer_list<LONG> from) {
        for (LONG state : from) {
            LONG expected = state;
            if (m_lState.compare_exchange_strong(expected, MODEM_IDLE))
                return;
        }
    };
    return GuardedCall(
        m_pLog.Get(), kDropCallRow,
        [&] {
            if (!m_bInitialized) {
                m_lLastError = 6;
                Log(-1, 0, "CModemLine::DropCall()", "Line not open");
                throw ComError(E_FAIL);
            }
            LONG state = m_lState;
            if (state != MODEM_CONNECTING && state != MODEM_CONNECTED) {
                m_lLastError = 9;
                Log(-1, 0, "CModemLine::DropCall()", "The line is busy");
                return S_OK;
            }
            // Dispatched inside a wait of a hang-up or close this thread is
            // running: that one is dropping the call already.
            if (m_csHangUp.HeldByThisThread()) {
                m_lLastError = 0;
                return S_OK;
            }
            // A try, never a wait: the loser of two drops returns at once.
            mutex = m_hDropMutex;
            for (;;) {
                DWORD r = MsgWaitForMultipleObjects(1, &mutex, FALSE, 0, QS_SENDMESSAGE);
                if (r == WAIT_OBJECT_0) {
                    owned = true;
                    break;
                }
                if (r == WAIT_OBJECT_0 + 1) {
                    tarvik::DispatchSentMessages();
                    continue;
                }
                // An abandoned mutex counts as held; the ownership it grants
                // is given back so that the next drop can run.
                if (r == WAIT_ABANDONED_0)
                    ReleaseMutex(mutex);
                m_lLastError = 0;
                return S_OK;
            }
            HRESULT hr = HangUpCall();
            if (FAILED(hr))
                throw ComError(hr);
            backToIdle({MODEM_DISCONNECTING_START, MODEM_DISCONNECTING_FINISH});
            owned = false;
            ReleaseMutex(mutex);
            Log(-1, 1, "CModemLine::DropCall()", "All goes well");
            return hr;
        },
        [&](HRESULT) {
            backToIdle({MODEM_DISCONNECTING_START, MODEM_DISCONNECTING_FINISH, MODEM_CONNECTED,
                        MODEM_CONNECTING});
            if (owned)
                ReleaseMutex(mutex);
        });
}

HRESULT CModemLine::HangUpCall() {
    return GuardedCall(m_pLog.Get(), kHangUpCallRow, [&] {
        if (m_csHangUp.Enter(kHangUpLockWaitMs) != HangUpLock::Entry::Entered) {
            m_lLastError = 9;
            Log(-1, 0, kFn, "Another hang-up or close is running");
            throw ComError(E_FAIL,
                           std::string_view("Another hang-up or close of the line is running"));
        }
        HangUpLockHold hold(m_csHangUp);
        return HangUpLocked();
    });
}

void CModemLine::EndCallWithLostPort(const char* why) {
    for (LONG state : {MODEM_DISCONNECTING_START, MODEM_DISCONNECTING_FINISH, MODEM_CONNECTED}) {
        LONG expected = state;
        if (m_lState.compare_exchange_strong(expected, MODEM_IDLE)) {
            m_nDisconnectCause = DISCONNECT_CARRIER_LOST;
            RaiseEvent(LINE_EVENT_DISCONNECTED);
            break;
        }
    }
    m_lLastError = 1;
    Log(-1, 0, kFn, why);
    throw ComError(E_FAIL, std::string_view(why));
}

HRESULT CModemLine::HangUpLocked() {
    LONG state = m_lState;
    if (state != MODEM_CONNECTING && state != MODEM_CONNECTED && state != MODEM_CALL_OFFERING) {
        Log(-1, 0, kFn, "Disconnect is not allowed");
        LONG initializing = MODEM_INITIALIZING;
        if (m_lState.compare_exchange_strong(initializing, MODEM_IDLE))
            m_hInitResponse.Set();  // ends a waiting initialisation step
        return S_OK;
    }
    m_port.SetBaudRate(m_lBaudRate);
    m_port.SetFrameTerminator(13);
    m_port.SetMaxFrameLength(100);

    LONG preHangUpState;
    {
        // Held across the port's reopen, which waits (dispatching) for the
        // port's event thread. Nothing dispatched to this thread takes it: a
        // call that would is refused first, as m_csHangUp is held.
        std::lock_guard lock(m_handOverLock);
        if (m_lState == MODEM_CONNECTED || m_bHandedOver || m_bReadStopped) {
            // Take the port back from the host (or restart one that a
            // CONNECT stopped before it was handed out).
            if (!ReclaimPortLocked()) {
                m_lLastError = 4;
                Log(-1, 0, "CModemLine::OpenLine()", "OpenPort() failed");
                // The device is gone from under the host's call: that is the
                // port's failure, and the call is over.
                ReportPortLost();
                LONG connected = MODEM_CONNECTED;
                if (m_lState.compare_exchange_strong(connected, MODEM_IDLE)) {
                    m_nDisconnectCause = DISCONNECT_CARRIER_LOST;
                    RaiseEvent(LINE_EVENT_DISCONNECTED);
                }
                throw ComError(E_FAIL);
            }
        }
        m_bPortOpen = true;
        preHangUpState = m_lState.exchange(MODEM_DISCONNECTING_START);
    }
    int pending = kDialPending;
    if (preHangUpState == MODEM_CONNECTING &&
        m_dialStep.compare_exchange_strong(pending, kDialCancelled)) {
        // Ended during MakeCall's pause: nothing was dialled, so the modem
        // is told nothing. The call was the host's all the same (MakeCall
        // returns S_OK) and ends as any call the host drops.
        LONG start = MODEM_DISCONNECTING_START;
        if (m_lState.compare_exchange_strong(start, MODEM_IDLE)) {
            m_nDisconnectCause = DISCONNECT_NORMAL;
            RaiseEvent(LINE_EVENT_DISCONNECTED);
        }
        m_lLastError = 0;
        Log(-1, 0, kFn, "All goes well");
        return S_OK;
    }
    m_hNoCarrier.Clear();
    m_hEscapeOK.Clear();
    HANDLE escapeOk = m_hEscapeOK.Get();
    HANDLE noCarrier = m_hNoCarrier.Get();

    // A "+++" that follows the host's last data closer than the modem's guard
    // time is data to the modem: keep the quiet the host asked for.
    if (LONG guard = m_lEscapeGuardMs; guard > 0)
        Sleep(static_cast<DWORD>(guard));
    if (SendCommand("+++", 3) != 0) {
        if (m_bPortFailed)
            EndCallWithLostPort("The modem was lost during the hang-up");
        Log(-1, 0, kFn, "Transmission of +++ failed");
        FatalError(0, 0, 0);
        m_lLastError = 1;
        throw ComError(E_FAIL);
    }
    Sleep(kAfterEscapeMs);
    Log(-1, 0, kFn, "Transmission of +++ success");

    HANDLE answers[2] = {escapeOk, noCarrier};
    DWORD r = tarvik::PumpingWait(2, answers, kEscapeAnswerMs,
                                  [this] { Log(-1, 0, kFn, "PeekMEssage Call"); });
    // The port's failure also ends this wait: no answer can come now.
    if (m_bPortFailed)
        EndCallWithLostPort("The modem was lost during the hang-up");
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) {
        Log(-1, 0, kFn, "recieved Ok From the modem...");
        Sleep(kBeforeHangUpMs);
        HangUpCommandSequence(true, preHangUpState);
    } else if (r == WAIT_TIMEOUT) {
        // The modem did not leave data mode: drop DTR, which a modem set
        // to &D2 takes as a hang-up, and try the escape once more.
        m_port.DTRClear();
        Sleep(kDtrLowMs);
        m_port.DTRSet();
        Sleep(kAfterDtrMs);
        if (SendCommand("+++", 3) == 0)
            GetResponseFromModem(kSecondEscapeMs);
        Log(-1, 0, kFn, "WAIT TIMEOUT HAPPENED");
        Sleep(kBeforeHangUpMs);
        HangUpCommandSequence(false, preHangUpState);
    } else {
        Log(-1, 0, kFn, "Tn Default case..Never this should happen");
    }
    m_lLastError = 0;
    Log(-1, 0, kFn, "MsgWait Over..");
    if (!ReopenOnOldSystems())
        return E_FAIL;
    Log(-1, 0, kFn, "All goes well");
    return S_OK;
}

HRESULT CModemLine::HangUpCommandSequence(bool firstForm, LONG preHangUpState) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        // After a NO CARRIER to the escape the line is idle, and a RING may
        // already have offered the next call: that call is not hung up. The
        // dropped one is over (its carrier went) and the host hears so.
        LONG expected = MODEM_DISCONNECTING_START;
        if (attempt == 0 &&
            !m_lState.compare_exchange_strong(expected, MODEM_DISCONNECTING_FINISH)) {
            expected = MODEM_IDLE;
            if (!m_lState.compare_exchange_strong(expected, MODEM_DISCONNECTING_FINISH)) {
                Log(-1, 0, kFn, "The line was taken by a new call; no hang-up command");
                m_nDisconnectCause = DISCONNECT_NORMAL;
                RaiseEvent(LINE_EVENT_DISCONNECTED);
                return S_OK;
            }
        }
        m_lState = MODEM_DISCONNECTING_FINISH;
        // Cleared before the command goes out: the OK of a quick modem can
        // arrive before the wait starts, and must not be lost.
        m_hModemResponse.Clear();
        if (SendCommand("ATH\r", 4) != 0) {
            if (m_bPortFailed)
                EndCallWithLostPort("The modem was lost during the hang-up");
            FatalError(0, 0, 0);
            if (firstForm)
                m_lState = preHangUpState;
            m_lLastError = 15;
            Log(-1, 0, kFn, "Transmission of ATH failed");
            throw ComError(E_FAIL);
        }
        if (!firstForm)
            Log(-1, 0, "CModemLine::HangUpCall() - WAIT_TIMEOUT", "Calling GetResponseFromModem");
        const bool answered = GetResponseFromModem(0, false);
        // The port's failure also wakes this wait; it is no OK.
        if (m_bPortFailed)
            EndCallWithLostPort("The modem was lost during the hang-up");
        if (answered)
            return S_OK;
    }
    Log(-1, 0, firstForm ? "HangupCall - WAIT_OBJECT_0" : "HangupCall",
        "Failed to get response for ATH.So cleanup anyway.");
    FatalError(0, 0, 0);
    m_lLastError = 1;
    Log(-1, 0, kFn, "Transmission of ATH failed");
    throw ComError(E_FAIL);
}

bool CModemLine::ReopenOnOldSystems() {
    if (!IsOldSystem() || !m_bPortOpen)
        return true;
    // m_csHangUp is held by this hang-up: the close is done in place.
    try {
        CloseLineLocked();
    } catch (const ComError&) {
        // As before the reopen: the opening below says whether the line works.
    }
    Sleep(kReopenPauseMs);
    ComPtr<ICommonData> settings;
    {
        std::lock_guard lock(m_lineDataLock);
        settings = m_pLineData;
    }
    if (FAILED(static_cast<IModemLine*>(this)->OpenLine(settings.Get()))) {
        m_lLastError = 1;
        return false;
    }
    return true;
}

// Call teardown: DropCall lets one drop run at a time and hands the work to
// HangUpCall, which brings the modem back to command mode with "+++", falls
// back to dropping DTR when the modem does not answer, and hangs up with
// "ATH\r".
#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::ComPtr;
using tarvik::CriticalSectionLock;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
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
            m_lState = MODEM_IDLE;
            owned = false;
            ReleaseMutex(mutex);
            Log(-1, 1, "CModemLine::DropCall()", "All goes well");
            return hr;
        },
        [&](HRESULT) {
            m_lState = MODEM_IDLE;
            if (owned)
                ReleaseMutex(mutex);
        });
}

HRESULT CModemLine::HangUpCall() {
    return GuardedCall(m_pLog.Get(), kHangUpCallRow, [&] {
        LONG state = m_lState;
        if (state != MODEM_CONNECTING && state != MODEM_CONNECTED && state != MODEM_CALL_OFFERING) {
            Log(-1, 0, kFn, "Disconnect is not allowed");
            LONG initializing = MODEM_INITIALIZING;
            if (m_lState.compare_exchange_strong(initializing, MODEM_IDLE))
                SetEvent(m_hInitResponse.load());  // ends a waiting initialisation step
            return S_OK;
        }
        m_port.SetBaudRate(300);
        m_port.SetFrameTerminator(13);
        m_port.SetMaxFrameLength(100);

        LONG preHangUpState;
        {
            std::lock_guard lock(m_handOverLock);
            if (m_lState == MODEM_CONNECTED || m_bHandedOver || m_bReadStopped) {
                // Take the port back from the host (or restart one that a
                // CONNECT stopped before it was handed out).
                if (!ReclaimPortLocked()) {
                    m_lLastError = 4;
                    Log(-1, 0, "CModemLine::OpenLine()", "OpenPort() failed");
                    throw ComError(E_FAIL);
                }
            }
            m_bPortOpen = true;
            preHangUpState = m_lState.exchange(MODEM_DISCONNECTING_START);
        }
        HANDLE escapeOk = m_hEscapeOK;
        HANDLE noCarrier = m_hNoCarrier;
        ResetEvent(noCarrier);
        ResetEvent(escapeOk);

        if (SendCommand("+++", 3) != 0) {
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
    });
}

HRESULT CModemLine::HangUpCommandSequence(bool firstForm, LONG preHangUpState) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        m_lState = MODEM_DISCONNECTING_FINISH;
        // Cleared before the command goes out: the OK of a quick modem can
        // arrive before the wait starts, and must not be lost.
        ResetEvent(m_hModemResponse.load());
        if (SendCommand("ATH\r", 4) != 0) {
            FatalError(0, 0, 0);
            if (firstForm)
                m_lState = preHangUpState;
            m_lLastError = 15;
            Log(-1, 0, kFn, "Transmission of ATH failed");
            throw ComError(E_FAIL);
        }
        if (!firstForm)
            Log(-1, 0, "CModemLine::HangUpCall() - WAIT_TIMEOUT", "Calling GetResponseFromModem");
        if (GetResponseFromModem(0, false))
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
    CriticalSectionLock hangUp(&m_csHangUp);
    if (!m_bPortOpen)
        return true;
    static_cast<IModemLine*>(this)->CloseLine();
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

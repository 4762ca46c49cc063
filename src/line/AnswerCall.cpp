// AnswerCall: the host accepts or refuses the call the line offered. Accepting
// sends the modem's answer command in one of three answering modes; what the
// modem says next (CONNECT, NO CARRIER, more RINGs) is the state machine's.
#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::CriticalSectionLock;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using tarvik::line::kAnswerCallRow;

namespace {

constexpr const char* kFn = "CModemLine::AnswerCall()";

// The modem needs a quiet moment around each command it gets while ringing.
constexpr DWORD kPauseMs = 300;
constexpr DWORD kOffHookReplyWaitMs = 600;
constexpr DWORD kAnswerReplyWaitMs = 300;

constexpr LONG kAnswerReportEvent = 1004;
constexpr LONG kAnswerReportValue = 80;
constexpr char kAnsweringText[] = "Answering the Incoming Call ";
constexpr char kRefusalText[] =
    "Received Incoming Call.Not answering since you have not set the unsolicited setting for "
    "this port";

// "ATH1" goes out without a carriage return: the modem executes it together
// with the answer command that follows, so nothing should answer it alone.
constexpr char kOffHook[] = "ATH1";

}  // namespace

void CModemLine::ReportAnswering() {
    ReportToEventReporter(kAnswerReportEvent, kAnsweringText, kAnswerReportValue);
}

HRESULT CModemLine::AnswerCall(LONG bAccept) {
    auto busy = [this]() {
        m_lLastError = 12;
        Log(-1, 0, kFn, "The line is busy");
        throw ComError(E_FAIL);
    };
    // Moves the line on from the offered call. Two host threads answering at
    // once may both see the call offered; only the one that moves the line
    // answers, the other finds it busy.
    auto claim = [this, &busy](LONG next) {
        LONG offering = MODEM_CALL_OFFERING;
        if (!m_lState.compare_exchange_strong(offering, next))
            busy();
    };
    return GuardedCall(
        m_pLog.Get(), kAnswerCallRow,
        [&]() -> HRESULT {
            if (!m_bInitialized) {
                m_lLastError = 6;
                Log(-1, 0, kFn, "Line not open");
                throw ComError(E_FAIL);
            }
            if (m_lState != MODEM_CALL_OFFERING)
                busy();
            CriticalSectionLock answer(&m_csAnswer);

            if (!bAccept) {
                claim(MODEM_IDLE);
                ReportToEventReporter(kAnswerReportEvent, kRefusalText, kAnswerReportValue);
                m_lRingCount = 0;
                return S_OK;
            }

            const char* command = "ATA\r";
            Log(-1, 0, kFn, "Answering the call...");
            bool offHookFailed = false;
            if (m_bKVRIncoming) {
                command = "ATD\r";
                claim(MODEM_ANSWERING);
            } else if (m_lAnsweringMode) {
                Log(-1, 0, kFn, "Smart modem.*** EXTRA LOGS ***");
                claim(MODEM_ANSWERING);
            } else {
                claim(MODEM_COMMAND_PENDING);
                Sleep(kPauseMs);
                const bool sent = SendCommand(kOffHook, 4) == 0;
                Sleep(kPauseMs);
                // Only a reply during this wait counts: it starts by resetting
                // the response event.
                offHookFailed = !sent || GetResponseFromModem(kOffHookReplyWaitMs);
                // A hang-up, a close or the caller's NO CARRIER may have moved
                // the line meanwhile; answering then would take a call that is
                // no longer there, so the host hears that the line is busy.
                LONG pending = MODEM_COMMAND_PENDING;
                if (!m_lState.compare_exchange_strong(pending, MODEM_ANSWERING))
                    busy();
            }

            if (!offHookFailed) {
                m_lAnswerRingCount = 0;
                m_bAnswerPending = false;
                Sleep(kPauseMs);
                const bool sent = SendCommand(command, 4) == 0;
                Sleep(kPauseMs);
                const bool replied = sent && GetResponseFromModem(kAnswerReplyWaitMs);
                m_bAnswerPending = true;
                if (sent && !replied) {
                    ReportAnswering();
                    m_lLastError = 0;
                    Log(-1, 1, kFn, "All goes well");
                    m_lRingCount = 0;
                    return S_OK;
                }
            }
            static_cast<IModemLinePrivate*>(this)->FatalError(0, 0, 0);
            Log(-1, 0, kFn, "The modem is not responding");
            m_lLastError = 15;
            Log(-1, 1, kFn, "All goes well");
            m_lRingCount = 0;
            return S_OK;
        },
        [this](HRESULT) { m_lRingCount = 0; });
}

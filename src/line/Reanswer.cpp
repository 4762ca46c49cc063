// RINGs after the line has answered: the modem did not take the answer (or
// the caller is still being connected). The first such RING answers once
// more; the sixth gives the call up.
#include "frame/Log.h"
#include "line/ModemLine.h"

using namespace tarvik::line;

namespace {

constexpr DWORD kOffHookPauseMs = 300;
constexpr DWORD kOffHookReplyWaitMs = 600;
constexpr DWORD kAnswerPauseMs = 200;
constexpr DWORD kAnswerReplyWaitMs = 200;
constexpr LONG kRingsBeforeGivingUp = 6;

}  // namespace

void CModemLine::Reanswer() {
    if (!m_bAnswerPending || m_lState == MODEM_CONNECTED)
        return;
    if (m_lAnswerRingCount == 0) {
        m_lAnswerRingCount = 1;
        // The re-answer waits for the modem's replies and for its commands to
        // be written, both of which this (the monitor) thread delivers: it
        // runs on a thread of its own, and frames keep flowing meanwhile.
        RaiseEvent(LINE_EVENT_REANSWER);
        return;
    }
    if (++m_lAnswerRingCount < kRingsBeforeGivingUp)
        return;
    m_lAnswerRingCount = 0;
    m_bAnswerPending = false;
    // A host hang-up that took the line meanwhile wins over the give-up.
    LONG answering = MODEM_ANSWERING;
    if (!m_lState.compare_exchange_strong(answering, MODEM_IDLE))
        return;
    m_nDisconnectCause = DISCONNECT_ANSWER_FAILED;
    RaiseEvent(LINE_EVENT_DISCONNECTED);
}

void CModemLine::ReanswerNow() {
    // The CONNECT (or the caller's NO CARRIER) may arrive while this runs:
    // a line no longer answering gets no further command.
    auto stillAnswering = [this] { return m_bAnswerPending && m_lState == MODEM_ANSWERING; };
    if (!stillAnswering())
        return;
    if (m_lAnsweringMode == 0) {
        const bool sent = SendCommand("ATH1", 4) == 0;
        Sleep(kOffHookPauseMs);
        if (sent)
            GetResponseFromModem(kOffHookReplyWaitMs);
    }
    // "ATA\r" even on a line that answers with "ATD\r": the modem has the
    // call ringing and only needs to take it.
    const char command[] = "ATA\r";
    Sleep(kAnswerPauseMs);
    if (!stillAnswering())
        return;
    const bool sent = SendCommand(command, 4) == 0;
    Sleep(kAnswerPauseMs);
    const bool replied = sent && GetResponseFromModem(kAnswerReplyWaitMs);
    if (sent && !replied) {
        ReportAnswering();
        return;
    }
    static_cast<IModemLinePrivate*>(this)->FatalError(0, 0, 0);
    Log(-1, 0, "CModemLine::AnswerCall()", "The modem is not responding");
    m_lLastError = 15;
}

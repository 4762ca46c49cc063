// The response state machine: every line of modem output arrives here as one
// frame, on the port's monitor thread, and is read according to the line
// state. The monitor thread must never wait here for long: no byte is read
// and no write completes while a frame is being handled.
#include <string>
#include <vector>

#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"
#include "line/Replies.h"

using tarvik::frame::GuardedCall;
using namespace tarvik::line;

namespace {

constexpr const char* kFn = "CModemLine::FrameReceived()";

// A caller is taken to have given up when no RING came for longer than this.
// Ring cycles are 6 s at the longest in the telephone networks we know of (2 s
// ringing, 4 s silence); 8 s leaves room for a late modem without mixing up
// two callers who ring in close succession.
constexpr uint64_t kRingGapMs = 8000;

// The port never hands out a frame longer than its maximum frame length;
// anything else is not a frame of ours.
constexpr LONG kMaxFrameLength = 500;

}  // namespace

HRESULT CModemLine::FrameReceived(LONG lFrameNumber, LONG lFrameLength) {
    return GuardedCall(m_pLog.Get(), kFrameReceivedRow, [&]() -> HRESULT {
        if (lFrameNumber == -1) {
            // The host has finished with the port it was handed. Only a
            // connected call ends; anywhere else the signal means nothing.
            LONG expected = MODEM_CONNECTED;
            if (m_lState.compare_exchange_strong(expected, MODEM_IDLE)) {
                m_nDisconnectCause = DISCONNECT_CARRIER_LOST;
                RaiseEvent(LINE_EVENT_CALL_ENDED);
            }
            return S_OK;
        }
        if (lFrameLength <= 0 || lFrameLength > kMaxFrameLength)
            return S_OK;
        std::vector<BYTE> buffer(static_cast<size_t>(lFrameLength));
        // A slot that holds no frame is ignored: nothing may be read from a
        // buffer the port did not fill.
        if (m_port.GetFrame(buffer.data(), lFrameLength, lFrameNumber) != SP_OK)
            return S_OK;
        std::string_view frame(reinterpret_cast<const char*>(buffer.data()), buffer.size());

        ForgetGoneCaller();
        // Caller-ID lines are also ordinary frames: the step only looks.
        CallerIdStep(frame);
        const LONG state = m_lState.load();
        // An initialisation text may itself contain "OK": its echo is no
        // answer.
        if (state == MODEM_INITIALIZING &&
            frame.find_first_not_of("\r\n ") != std::string_view::npos)
            m_initHeard |= kInitHeardAny;
        if (state == MODEM_INITIALIZING && IsInitEcho(frame)) {
            m_initHeard |= kInitHeardEcho;
            Log(-1, 1, kFn, "All goes well");
            return S_OK;
        }
        HRESULT result = InterpretFrame(state, frame);
        Log(-1, 1, kFn, "All goes well");
        return result;
    });
}

HRESULT CModemLine::InterpretFrame(LONG state, std::string_view frame) {
    // Each row changes the state only from the state it was chosen in: a host
    // thread that moved the line meanwhile (a hang-up, a new call) wins, and
    // the frame is then one that no longer means anything.
    auto moveFrom = [this](LONG from, LONG to) {
        return m_lState.compare_exchange_strong(from, to);
    };
    auto endCall = [&](LONG from, SHORT cause, const char* text) {
        if (!moveFrom(from, MODEM_IDLE))
            return;
        m_nDisconnectCause = cause;
        RaiseEvent(LINE_EVENT_DISCONNECTED);
        Log(-1, 0, kFn, text);
    };

    switch (MatchReply(state, frame)) {
        case ModemReply::None:
            return S_OK;
        case ModemReply::Ring:
            if (state == MODEM_IDLE)
                CountRing();
            else if (state == MODEM_ANSWERING)
                Reanswer();
            return S_OK;
        case ModemReply::Ok:
            switch (state) {
                case MODEM_INITIALIZING:
                    if (!moveFrom(state, MODEM_IDLE))
                        return S_OK;
                    m_bInitOK = 1;
                    m_hInitResponse.Set();
                    m_hModemResponse.Set();
                    Log(-1, 0, kFn, "MODEM_INITIALIZING : Received OK");
                    return S_OK;
                case MODEM_CONNECTING:
                    endCall(state, DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received OK");
                    return S_OK;
                case MODEM_DISCONNECTING_START:
                    m_hEscapeOK.Set();
                    Log(-1, 0, kFn, "MODEM_DISCONNECTING_START : Received OK to +++");
                    return S_OK;
                case MODEM_DISCONNECTING_FINISH:
                    if (!moveFrom(state, MODEM_IDLE))
                        return S_OK;
                    m_nDisconnectCause = DISCONNECT_NORMAL;
                    // Raised before the hang-up is woken: a host that shuts
                    // the line down the moment DropCall returns still gets it.
                    RaiseEvent(LINE_EVENT_DISCONNECTED);
                    m_hModemResponse.Set();
                    Log(-1, 0, kFn, "MODEM_DISCONNECTING_FINISH : Received OK");
                    return S_OK;
                case MODEM_COMMAND_PENDING:
                    m_hModemResponse.Set();
                    Log(-1, 0, kFn, "MODEM_DISCONNECTING_START : Received OK to Command");
                    return S_OK;
            }
            return S_OK;
        case ModemReply::Error:
            m_initHeard |= kInitHeardError;
            if (!moveFrom(state, MODEM_IDLE))
                return S_OK;
            m_bInitOK = 0;
            m_hInitResponse.Set();
            Log(-1, 0, kFn, "MODEM_INITIALIZING : Received ERROR");
            return S_OK;
        case ModemReply::Connect: {
            if (!moveFrom(state, MODEM_CONNECTED))
                return S_OK;
            const bool incoming = state == MODEM_ANSWERING;
            m_bIncoming = incoming;
            // Bytes after CONNECT are the host's: the port stops reading.
            m_port.m_bReadEnabled = 0;
            m_bReadStopped = true;
            // The rate and protocol ("CONNECT 33600/ARQ") reach a host only
            // through the log; printable characters only, as the modem's
            // bytes go into a text log, and without the line's own CR and LF.
            if (frame.size() > 7) {
                std::string text = "Connected: ";
                for (char c : frame.substr(0, 64)) {
                    if (c != '\r' && c != '\n')
                        text += (c >= 0x20 && c < 0x7f) ? c : '?';
                }
                Log(-1, 0, kFn, text);
            }
            if (incoming) {
                Log(-1, 0, kFn, "MODEM_CONNECTING : Received CONNECT");
                RaiseEvent(LINE_EVENT_CONNECTED);
            } else {
                RaiseEvent(LINE_EVENT_CONNECTED);
                Log(-1, 0, kFn, "MODEM_CONNECTING : Received CONNECT");
            }
            return S_FALSE;
        }
        case ModemReply::NoCarrier:
            switch (state) {
                case MODEM_CONNECTING:
                    endCall(state, DISCONNECT_NO_CONNECTION,
                            "MODEM_CONNECTING : Received NO CARRIER");
                    return S_OK;
                case MODEM_CONNECTED:
                    endCall(state, DISCONNECT_CARRIER_LOST,
                            "MODEM_CONNECTED : Received NO CARRIER");
                    return S_OK;
                case MODEM_ANSWERING:
                    endCall(state, DISCONNECT_CARRIER_LOST,
                            "MODEM_CONNECTING : Received NO CARRIER");
                    return S_OK;
                case MODEM_DISCONNECTING_START:
                case MODEM_COMMAND_PENDING: {
                    if (!moveFrom(state, MODEM_IDLE))
                        return S_OK;
                    {
                        std::lock_guard lock(m_accessCodeLock);
                        m_bstrAccessCode.clear();
                    }
                    m_hNoCarrier.Set();
                    Log(-1, 0, kFn,
                        state == MODEM_DISCONNECTING_START
                            ? "MODEM_DISCONNECTING_START : Received NO CARRIER"
                            : "MODEM_DISCONNECTING_START : Received NO CARRIER to command");
                    return S_OK;
                }
            }
            return S_OK;
        case ModemReply::Busy:
            endCall(state, DISCONNECT_BUSY, "MODEM_CONNECTING : Received BUSY");
            return S_OK;
        case ModemReply::NoAnswer:
            endCall(state, DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received NO ANSWER");
            return S_OK;
        case ModemReply::NoDialtone:
            endCall(state, DISCONNECT_NO_DIALTONE, "MODEM_CONNECTING : Received NO DIAL TONE");
            return S_OK;
        case ModemReply::Delayed:
            endCall(state, DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received DELAYED");
            return S_OK;
        case ModemReply::Blacklisted:
            endCall(state, DISCONNECT_NO_CONNECTION, "MODEM_CONNECTING : Received BLACKLISTED");
            return S_OK;
    }
    return S_OK;
}

void CModemLine::ForgetGoneCaller() {
    // Rings and caller ID belong to one call: those of a caller who stopped
    // ringing must count neither towards the next call nor as its caller ID.
    const uint64_t last = m_lastRingTick;
    if (last == 0 || m_lState != MODEM_IDLE || GetTickCount64() - last <= kRingGapMs)
        return;
    m_lastRingTick = 0;
    m_lRingCount = 0;
    ClearCallerId();
}

void CModemLine::CountRing() {
    m_lastRingTick = GetTickCount64();
    LONG count = ++m_lRingCount;
    if (m_lState != MODEM_IDLE) {
        Log(-1, 0, kFn, "MODEM_CALL_OFFERING : Modem State not idle...");
        return;
    }
    if (count >= m_lNumRingsAnswer) {
        LONG expected = MODEM_IDLE;
        if (m_lState.compare_exchange_strong(expected, MODEM_CALL_OFFERING)) {
            Log(-1, 0, kFn, "MODEM_CALL_OFFERING : Offering call");
            RaiseEvent(LINE_EVENT_OFFERING);
        }
    }
    Log(-1, 0, kFn, "MODEM_CALL_OFFERING : Received RING");
}

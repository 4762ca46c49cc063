// Sending a command and waiting for what the modem answers. Every wait pumps
// the calling thread's sent messages, so a host thread that serves calls from
// other threads stays responsive while the line blocks it.
#include "frame/Log.h"
#include "line/ModemLine.h"

namespace {

constexpr DWORD kTransmitTimeoutMs = 4000;
constexpr DWORD kResponseTimeoutMs = 4000;

}  // namespace

int CModemLine::SendCommand(const char* data, LONG length) {
    Log(-1, 0, "CModemLine::SendCommand()", "Function ENtry");
    // A port that failed takes nothing more: the command counts as not
    // transmitted, and its sender reports as for any lost command.
    if (m_bPortFailed) {
        Log(-1, 0, "CModemLine::SendCommand()", "The port has failed");
        return 15;
    }
    m_hTransmitDone.Clear();
    HANDLE done = m_hTransmitDone.Get();
    if (m_port.TransmitFrame(reinterpret_cast<const BYTE*>(data), length) != SP_OK) {
        Log(-1, 0, "CModemLine::SendCommand()", "TransmitFrame() failed");
        return 15;
    }
    if (tarvik::PumpingWait(1, &done, kTransmitTimeoutMs) == WAIT_OBJECT_0) {
        Log(-1, 0, "CModemLine::SendCommand()", "Data Received");
        return 0;
    }
    Log(-1, 0, "CModemLine::SendCommand()", "In default case..May be a timeout");
    return 15;
}

bool CModemLine::GetResponseForInitialization() {
    HANDLE response = m_hInitResponse.Get();
    DWORD result = tarvik::PumpingWait(1, &response, kResponseTimeoutMs, [this] {
        Log(0, 1, "ML::GetResponseForInitialization()", "Received message");
    });
    if (result == WAIT_OBJECT_0) {
        if (m_bInitOK == 1)
            return true;
        Log(0, 1, "ML::GetResponseForInitialization()", "Received error");
        return false;
    }
    // A wait that runs out is not yet a failure: the caller tries again, and
    // reports once when the initialisation has failed for good.
    return false;
}

bool CModemLine::GetResponseFromModem(DWORD timeoutMs, bool clearFirst) {
    if (timeoutMs == 0)
        timeoutMs = kResponseTimeoutMs;
    // A response signalled before this call is not the answer awaited now.
    if (clearFirst)
        m_hModemResponse.Clear();
    HANDLE response = m_hModemResponse.Get();
    DWORD result = tarvik::PumpingWait(1, &response, timeoutMs, [this] {
        Log(0, 1, "ML::GetResponseForInitialization()", "Received message");
    });
    if (result == WAIT_OBJECT_0) {
        Log(0, 1, "ML::GetResponseForInitialization()", "Received response");
        return true;
    }
    return false;
}

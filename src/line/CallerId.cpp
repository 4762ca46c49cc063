// Gathering caller-ID fields from the modem's output and handing them to the
// event reporter; also the one-shot reports of the answering code.
#include "line/CallerId.h"

#include <algorithm>

#include "frame/Log.h"
#include "line/ModemLine.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

namespace tarvik::line {

std::optional<std::string_view> FindCallerIdField(std::string_view frame) {
    if (frame.size() < 2)
        return std::nullopt;
    for (std::string_view label : kCallerIdLabels) {
        for (size_t at = frame.find(label, 1); at != std::string_view::npos;
             at = frame.find(label, at + 1)) {
            std::string_view rest = frame.substr(at + label.size());
            if (!rest.starts_with(" =") && !rest.starts_with("="))
                continue;
            size_t end = frame.find_first_of("\r\n", at);
            if (end == std::string_view::npos)
                end = frame.size();
            return frame.substr(at, end - at);
        }
    }
    return std::nullopt;
}

}  // namespace tarvik::line

namespace {

constexpr LONG kCallerIdEvent = 1000;
constexpr LONG kCallerIdValue = 81;

}  // namespace

bool CModemLine::ReportToEventReporter(LONG code, const std::string& data, LONG value) {
    // A reporter of its own for each report: these run on the monitor thread
    // and on host threads, and the instance MakeCall keeps is not shared.
    ComPtr<IEventReporter> reporter;
    if (FAILED(CoCreateInstance(CLSID_EventReporter, nullptr, CLSCTX_ALL, IID_IEventReporter,
                                reporter.PutVoid())) ||
        !reporter)
        return false;
    Bstr text = Bstr::FromAnsi(data);
    Bstr source = Bstr::FromAnsi(m_port.m_szPortName);
    Variant first(value);
    Variant second;
    reporter->Notify(code, text.Get(), first, second, source.Get());
    return true;
}

void CModemLine::ClearCallerId() {
    std::lock_guard lock(m_callerIdLock);
    m_bstrCallerID.clear();
}

void CModemLine::CallerIdStep(std::string_view frame) {
    if (!m_bCallerIDEnabled)
        return;
    const LONG rings = m_lRingCount;
    if (rings <= 1) {
        // Before the first RING (where the network sends caller ID first) and
        // between the first and the second: the caller-ID lines of this call.
        m_bCallerIdReported = false;
        if (rings == 0 && m_lState != MODEM_IDLE)
            return;
        auto field = tarvik::line::FindCallerIdField(frame);
        if (!field)
            return;
        bool added = false;
        {
            std::lock_guard lock(m_callerIdLock);
            size_t fields =
                static_cast<size_t>(std::count(m_bstrCallerID.begin(), m_bstrCallerID.end(), ';'));
            if (fields < tarvik::line::kMaxCallerIdFields &&
                m_bstrCallerID.size() + field->size() + 1 <= tarvik::line::kMaxCallerIdBytes) {
                m_bstrCallerID.append(*field);
                m_bstrCallerID += ';';
                added = true;
            }
        }
        // The field alone: logging all that was gathered on every line would
        // cost time in the square of the lines a call brings.
        Log(-1, 0, "CModemLine::FrameReceived() - Caller ID info",
            added ? std::string(*field) : std::string("(over the limit; dropped)"));
    } else if (!m_bCallerIdReported) {
        std::string gathered;
        {
            std::lock_guard lock(m_callerIdLock);
            gathered = m_bstrCallerID;
        }
        if (ReportToEventReporter(kCallerIdEvent, gathered, kCallerIdValue)) {
            // Once per call; the host's setting stays, so the next caller on
            // this opening is reported too.
            m_bCallerIdReported = true;
            // The fields belong to the call just reported: a later
            // notification must never carry them as well.
            ClearCallerId();
        }
        // Without a reporter the next frame tries again.
        Log(-1, 0, "CModemLine::FrameReceived() - Caller ID notification", gathered);
        Log(-1, 0, "CModemLine::FrameReceived() - on COM port", m_port.m_szPortName);
    }
}

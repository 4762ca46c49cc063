// Gathering caller-ID fields from the modem's output and handing them to the
// event reporter; also the one-shot reports of the answering code.
#include "line/CallerId.h"

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
        size_t start = frame.find(label, 1);
        if (start == std::string_view::npos)
            continue;
        size_t end = frame.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = frame.size();
        return frame.substr(start, end - start);
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
    if (rings == 1) {
        // Between the first and the second RING: the caller-ID lines.
        std::string gathered;
        {
            std::lock_guard lock(m_callerIdLock);
            if (auto field = tarvik::line::FindCallerIdField(frame)) {
                m_bstrCallerID.append(*field);
                m_bstrCallerID += ';';
            }
            gathered = m_bstrCallerID;
        }
        Log(-1, 0, "CModemLine::FrameReceived() - Caller ID info", gathered);
    } else if (rings > 1) {
        std::string gathered;
        {
            std::lock_guard lock(m_callerIdLock);
            gathered = m_bstrCallerID;
        }
        if (ReportToEventReporter(kCallerIdEvent, gathered, kCallerIdValue)) {
            m_bCallerIDEnabled = 0;
            // The fields belong to the call just reported: a later
            // notification must never carry them as well.
            ClearCallerId();
        }
        // Without a reporter the flag stays set and the next frame tries again.
        Log(-1, 0, "CModemLine::FrameReceived() - Caller ID notification", gathered);
        Log(-1, 0, "CModemLine::FrameReceived() - on COM port", m_port.m_szPortName);
    }
}

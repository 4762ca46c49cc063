#include "RecordingCallback.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace tarvik::test {

HRESULT RecordingCallback::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPassThroughCallback) {
        *out = static_cast<IPassThroughCallback*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT RecordingCallback::FatalError(LONG cause, LONG error) {
    events_.Add({PortEvent::Fatal, cause, error, {}, SP_OK, GetCurrentThreadId()});
    return S_OK;
}

HRESULT RecordingCallback::TransmitDone() {
    events_.Add({PortEvent::TransmitDone, 0, 0, {}, SP_OK, GetCurrentThreadId()});
    if (onTransmitDone)
        onTransmitDone();
    return S_OK;
}

HRESULT RecordingCallback::FrameReceived(LONG number, LONG length) {
    PortEvent e{PortEvent::Frame, number, length};
    bool kept;
    {
        std::lock_guard lock(mu_);
        kept = std::find(keep_.begin(), keep_.end(), number) != keep_.end();
    }
    if (port_ && !kept && length > 0) {
        std::string buf(static_cast<size_t>(length), '\0');
        e.fetch = port_->GetFrame(reinterpret_cast<BYTE*>(buf.data()), length, number);
        if (e.fetch == SP_OK)
            e.bytes = buf;
    }
    HRESULT hr = S_OK;
    if (port_ && !stopOn.empty() && e.bytes.find(stopOn) != std::string::npos) {
        port_->m_bReadEnabled = 0;
        hr = S_FALSE;
    }
    e.thread = GetCurrentThreadId();
    if (onFrame)
        onFrame(e);
    events_.Add(e);
    return hr;
}

bool RecordingCallback::WaitFor(PortEvent::Kind kind, size_t n,
                                std::chrono::milliseconds timeout) const {
    // The list shows each event to the predicate once, in order.
    size_t seen = 0;
    return events_
        .WaitFor([&](const PortEvent& e) { return (seen += e.kind == kind) >= n; }, timeout)
        .has_value();
}

bool RecordingCallback::WaitUnreferenced(std::chrono::milliseconds timeout) const {
    // Releases tell nobody; look again every few milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (refs_ > 1) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Sleep(5);
    }
    return true;
}

std::string UniqueComName() {
    static std::atomic<int> next{11};
    return "COM" + std::to_string(next++);
}

}  // namespace tarvik::test

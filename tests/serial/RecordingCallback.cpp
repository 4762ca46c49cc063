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

void RecordingCallback::Record(PortEvent e) {
    e.thread = GetCurrentThreadId();
    // Notified under the lock: a waiter that has seen the event may destroy
    // this object at once.
    std::lock_guard lock(mu_);
    events_.push_back(std::move(e));
    cv_.notify_all();
}

HRESULT RecordingCallback::FatalError(LONG cause, LONG error) {
    Record({PortEvent::Fatal, cause, error});
    return S_OK;
}

HRESULT RecordingCallback::TransmitDone() {
    Record({PortEvent::TransmitDone});
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
    Record(e);
    return hr;
}

std::vector<PortEvent> RecordingCallback::Events() const {
    std::lock_guard lock(mu_);
    return events_;
}

static std::vector<PortEvent> OfKind(const std::vector<PortEvent>& all, PortEvent::Kind k) {
    std::vector<PortEvent> out;
    for (const auto& e : all)
        if (e.kind == k)
            out.push_back(e);
    return out;
}

std::vector<PortEvent> RecordingCallback::Frames() const {
    return OfKind(Events(), PortEvent::Frame);
}
std::vector<PortEvent> RecordingCallback::Fatals() const {
    return OfKind(Events(), PortEvent::Fatal);
}
size_t RecordingCallback::TransmitDones() const {
    return OfKind(Events(), PortEvent::TransmitDone).size();
}

bool RecordingCallback::WaitFor(PortEvent::Kind kind, size_t n,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(
                   std::count_if(events_.begin(), events_.end(),
                                 [&](const PortEvent& e) { return e.kind == kind; })) >= n;
    });
}

bool RecordingCallback::WaitUnreferenced(std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mu_);
    // Releases do not notify; look again every few milliseconds.
    while (refs_ > 1) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        cv_.wait_for(lock, 5ms);
    }
    return true;
}

std::string UniqueComName() {
    static std::atomic<int> next{11};
    return "COM" + std::to_string(next++);
}

}  // namespace tarvik::test

// A line stand-in for port tests: records every callback (with the thread it
// came on) and, like the line, fetches each frame inside FrameReceived.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "recorders/RecordList.h"
#include "serial/SerialPort.h"
#include "tarvik/interfaces.h"

namespace tarvik::test {

struct PortEvent {
    enum Kind { Frame, TransmitDone, Fatal } kind = Frame;
    LONG a = 0;           // frame number / cause
    LONG b = 0;           // frame length / error value
    std::string bytes{};  // the fetched frame
    LONG fetch = SP_OK;   // GetFrame's answer
    DWORD thread = 0;
};

class RecordingCallback : public IPassThroughCallback {
  public:
    explicit RecordingCallback(CSerialPort* port = nullptr) : port_(port) {}
    void SetPort(CSerialPort* port) { port_ = port; }

    // Behaviour, set before the port runs.
    // Frames containing this text stop the port reading and answer S_FALSE,
    // as the line does on CONNECT.
    std::string stopOn = "CONNECT";
    // Frame numbers not fetched (the slot stays in use).
    void Keep(std::vector<LONG> numbers) {
        std::lock_guard lock(mu_);
        keep_ = std::move(numbers);
    }
    // Runs inside FrameReceived after recording (may block).
    std::function<void(const PortEvent&)> onFrame;
    // Runs inside TransmitDone after recording.
    std::function<void()> onTransmitDone;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    ULONG Refs() const { return refs_; }

    // IPassThroughCallback
    HRESULT STDMETHODCALLTYPE Disconnected(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Connected(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FatalError(LONG cause, LONG error) override;
    HRESULT STDMETHODCALLTYPE TransmitDone() override;
    HRESULT STDMETHODCALLTYPE FrameReceived(LONG number, LONG length) override;

    std::vector<PortEvent> Events() const { return events_.All(); }
    std::vector<PortEvent> Frames() const { return OfKind(PortEvent::Frame); }
    std::vector<PortEvent> Fatals() const { return OfKind(PortEvent::Fatal); }
    size_t TransmitDones() const { return OfKind(PortEvent::TransmitDone).size(); }
    // Waits until the port and its threads hold no reference any more.
    bool WaitUnreferenced(std::chrono::milliseconds timeout) const;
    // Waits until at least `n` events of `kind` have been recorded.
    bool WaitFor(PortEvent::Kind kind, size_t n, std::chrono::milliseconds timeout) const;

  private:
    std::vector<PortEvent> OfKind(PortEvent::Kind kind) const {
        return events_.Matching([kind](const PortEvent& e) { return e.kind == kind; });
    }
    CSerialPort* port_;
    std::atomic<ULONG> refs_{1};
    RecordList<PortEvent> events_;
    std::mutex mu_;  // keep_
    std::vector<LONG> keep_;
};

// A COM name no other port of this process uses.
std::string UniqueComName();

}  // namespace tarvik::test

// What a port thread shares with its port, and how it steps out to foreign
// code.
//
// There is no safe way to kill a thread here, so a thread that does not end in
// time is left behind instead. The gate makes that safe: the thread holds
// `mu` whenever it works on the port (waiting included) and lets go of it only
// while it runs foreign code (a callback into the line, sent messages). A port
// that gives up on the thread sets `abandoned` under `mu`; the thread, taking
// `mu` back, sees it and ends without touching the port, its buffers or its
// handles again. The gate itself lives as long as either side holds it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "serial/SerialPort.h"

struct CSerialPort::ThreadGate {
    std::mutex mu;
    bool abandoned = false;  // guarded by mu
    std::atomic<DWORD> threadId{0};
    CSerialPort* port = nullptr;
};

struct CSerialPort::ThreadRun {
    explicit ThreadRun(std::shared_ptr<ThreadGate> g) : gate(std::move(g)), lock(gate->mu) {
        gate->threadId.store(GetCurrentThreadId());
    }
    // A thread's start: takes over the gate the port passed as the thread
    // argument and, unless the port has already given up on the thread, the
    // port's device.
    static ThreadRun Adopt(void* arg) {
        std::unique_ptr<std::shared_ptr<ThreadGate>> holder(
            static_cast<std::shared_ptr<ThreadGate>*>(arg));
        ThreadRun run(std::move(*holder));
        if (!run.Abandoned())
            run.device = run.gate->port->m_hComm.Get();
        return run;
    }
    bool Abandoned() const { return gate->abandoned; }
    // Runs `f` without the gate; false when the port gave up on this thread
    // meanwhile (then nothing of the port may be touched any more).
    template <class F>
    bool CallOut(F&& f) {
        lock.unlock();
        f();
        lock.lock();
        return !gate->abandoned;
    }

    std::shared_ptr<ThreadGate> gate;
    std::unique_lock<std::mutex> lock;
    std::shared_ptr<tarvik::SerialDevice> device;
};

// Calls the line through a reference taken while the port is known to be
// alive; the reference is dropped before the gate is taken back, so even a
// last release that destroys the line (and this port) is safe.
template <class F>
bool CSerialPort::CallBack(ThreadRun& run, F&& call) {
    tarvik::ComPtr<IPassThroughCallback> cb = Callback();
    if (!cb)
        return true;
    return run.CallOut([&] {
        call(cb.Get());
        cb.Reset();
    });
}

// Log function texts.
inline constexpr const char* kFnOpenPort = "CSerialPort::OpenPort()";
inline constexpr const char* kFnClosePort = "CSerialPort::ClosePort()";
inline constexpr const char* kFnCloseHandles = "CSerialPort::CloseHandles()";
inline constexpr const char* kFnMonitor = "CSerialPort::MonitorThreadMain()";
inline constexpr const char* kFnEventThread = "CSerialPort::EventThread()";
inline constexpr const char* kFnTransmitFrame = "CSerialPort::TransmitFrame()";
inline constexpr const char* kFnStartTransmit = "CSerialPort::StartTransmit()";
inline constexpr const char* kFnDTRSet = "CSerialPort::DTRSet()";
inline constexpr const char* kFnDTRClear = "CSerialPort::DTRClear()";
inline constexpr const char* kFnToggleDTR = "CSerialPort::ToggleDTR()";

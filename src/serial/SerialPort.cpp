// CSerialPort: settings, opening, closing, hand-over and destruction.
#include "serial/SerialPort.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/Log.h"
#include "serial/PortThreads.h"

using tarvik::ComPtr;

CSerialPort::CSerialPort()
    : m_pLog(tarvik::frame::CreateLogWriter()), m_pTxStaging(new BYTE[kStagingSize]()) {}

CSerialPort::~CSerialPort() {
    // A line that forgot to close must not leave a thread running on freed
    // memory: stop whatever still runs (or leave it behind, gated) first.
    if (m_hMonitorThread)
        StopThread(&m_hMonitorThread, &m_monitorGate);
    StopEventThread();
    CloseHandles();
    if (auto dev = m_hComm.Get())
        dev->Close();
}

void CSerialPort::Log(const char* function, const char* message, const char* detail) const {
    tarvik::frame::LogEntry(m_pLog.Get(), -1, 0, function, message, detail);
}

LONG CSerialPort::SetBaudRate(LONG rate) {
    if (!tarvik::IsStandardBaudRate(rate))
        return SP_BAD_BAUD_RATE;
    m_dwBaudRate = static_cast<DWORD>(rate);
    return SP_OK;
}

void CSerialPort::SetFrameTerminator(BYTE terminator) {
    m_cTerminator.store(terminator);
}

LONG CSerialPort::SetMaxFrameLength(LONG length) {
    if (m_bOpen)
        return SP_BUSY;
    if (length < 1 || length > kStagingSize)
        return SP_BAD_LENGTH;
    m_lMaxFrameLength = length;
    return SP_OK;
}

LONG CSerialPort::GetMaxFrameLength() const {
    return m_lMaxFrameLength;
}

LONG CSerialPort::SetCallback(IPassThroughCallback* callback) {
    if (m_bOpen)
        return SP_BUSY;
    if (!callback)
        return SP_NULL_CALLBACK;
    ComPtr<IPassThroughCallback> old;
    {
        std::lock_guard lock(m_callbackLock);
        old = std::move(m_pCallback);
        m_pCallback = callback;
    }
    return SP_OK;
}

LONG CSerialPort::ReleaseCallback() {
    ComPtr<IPassThroughCallback> old;
    {
        std::lock_guard lock(m_callbackLock);
        if (!m_pCallback)
            return SP_NO_CALLBACK;
        old = std::move(m_pCallback);
    }
    // Released outside the lock: it may be the line's last reference.
    return SP_OK;
}

ComPtr<IPassThroughCallback> CSerialPort::Callback() const {
    std::lock_guard lock(m_callbackLock);
    return m_pCallback;
}

LONG CSerialPort::CreatePort(const char* name) {
    // m_szPortName holds 9 characters; a longer name is refused rather than
    // cut, since a cut name could open a different port.
    m_dwOpenError = 0;
    if (!name || std::strlen(name) >= sizeof m_szPortName) {
        m_dwOpenError = ERROR_INVALID_NAME;
        return SP_OPEN_FAILED;
    }
    // Replacing the device under a running thread would pull it away mid-use.
    if (m_bOpen || m_hEventThread)
        return SP_BUSY;
    std::memset(m_szPortName, 0, sizeof m_szPortName);
    std::memcpy(m_szPortName, name, std::strlen(name));
    size_t len = std::strlen(name);
    int number = len > 3 ? std::atoi(name + 3) : 0;
    // Above COM9 Windows needs the device prefix; the device map accepts both.
    std::string path = number > 9 ? std::string("\\\\.\\") + name : std::string(name);
    if (auto old = m_hComm.Get())
        old->Close();
    DWORD error = 0;
    m_hComm.Reset(tarvik::SerialDevice::Open(path.c_str(), &error));
    m_dwOpenError = m_hComm.Get() ? 0 : error;
    return m_hComm.Get() ? SP_OK : SP_OPEN_FAILED;
}

bool CSerialPort::CreateEvents() {
    // Completions of reads, writes and comm-event waits come from the
    // device's own wait; the one event the threads need is the shutdown
    // signal.
    if (!m_hShutdownEvent)
        m_hShutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return m_hShutdownEvent != nullptr;
}

void CSerialPort::CloseHandles() {
    if (m_hShutdownEvent) {
        CloseHandle(m_hShutdownEvent);
        m_hShutdownEvent = nullptr;
    }
    if (m_hMonitorThread) {
        CloseHandle(m_hMonitorThread);
        m_hMonitorThread = nullptr;
    }
}

bool CSerialPort::SetTimeouts(DWORD interval, DWORD readMultiplier, DWORD readConstant,
                              DWORD writeMultiplier, DWORD writeConstant) {
    tarvik::COMMTIMEOUTS t{interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
    auto dev = m_hComm.Get();
    return dev && dev->SetCommTimeouts(t);
}

bool CSerialPort::WriteCommState() {
    tarvik::DCB dcb{};
    auto dev = m_hComm.Get();
    if (!dev || !dev->GetCommState(&dcb))
        return false;
    dcb.BaudRate = m_dwBaudRate;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = tarvik::DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fRtsControl = tarvik::RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    // What the device held before is no setting of ours: a terminal left at
    // the kernel's defaults has XON/XOFF on, which would swallow 0x11 and 0x13
    // in both directions and let one 0x13 from the modem stop every command.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.XonLim = 100;
    dcb.XoffLim = 2048;
    dcb.ByteSize = 8;
    dcb.Parity = tarvik::NOPARITY;
    dcb.StopBits = tarvik::ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = static_cast<char>(0xFF);
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0;
    return dev->SetCommState(dcb);
}

LONG CSerialPort::StartThread(LPTHREAD_START_ROUTINE proc, HANDLE* thread,
                              std::shared_ptr<ThreadGate>* gate) {
    auto g = std::make_shared<ThreadGate>();
    g->port = this;
    auto* arg = new std::shared_ptr<ThreadGate>(g);
    // The new thread first takes the gate: holding it until the handle and
    // gate are stored means even a callback that stops its own thread finds
    // them in place.
    std::lock_guard lock(g->mu);
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, proc, arg, 0, &id);
    if (!h) {
        delete arg;
        return SP_THREAD_FAILED;
    }
    g->threadId.store(id);
    *thread = h;
    *gate = std::move(g);
    return SP_OK;
}

bool CSerialPort::StopThread(HANDLE* thread, std::shared_ptr<ThreadGate>* gate) {
    if (!*thread)
        return true;
    bool ended = false;
    if (*gate && (*gate)->threadId.load() == GetCurrentThreadId()) {
        // Called from inside one of this thread's callbacks: it cannot be
        // waited for here. It is left behind and ends when the callback returns.
    } else {
        SetEvent(m_hShutdownEvent);
        ended = tarvik::PumpingWait(1, thread, kThreadStopTimeoutMs) == WAIT_OBJECT_0;
    }
    if (*gate) {
        // Taking the gate also orders everything the thread did before this
        // point: its fields are ours from here on.
        std::lock_guard lock((*gate)->mu);
        (*gate)->abandoned = true;
    }
    if (!ended)
        Log(kFnClosePort, "Port thread did not stop in time; left behind");
    // A thread left behind never saw the signal; the next thread must not
    // stop at once because of it.
    if (m_hShutdownEvent)
        ResetEvent(m_hShutdownEvent);
    CloseHandle(*thread);
    *thread = nullptr;
    gate->reset();
    return ended;
}

void CSerialPort::StopEventThread() {
    if (m_hEventThread)
        StopThread(&m_hEventThread, &m_eventGate);
    CloseEndOfCallEvents();
}

namespace {
// Hand-overs that wait on the shared "Tarvik" event. Only the first of them
// clears it: a later one would wipe a signal meant for a call already
// handed over.
std::mutex g_sharedEventLock;
int g_sharedEventWaiters = 0;
}  // namespace

bool CSerialPort::OpenEndOfCallEvents() {
    {
        std::lock_guard lock(g_sharedEventLock);
        // Auto-reset, so that when several hand-overs wait on it one signal
        // wakes exactly one of them.
        m_hNamedEvent = CreateEventA(nullptr, FALSE, FALSE, "Tarvik");
        if (m_hNamedEvent) {
            if (g_sharedEventWaiters == 0)
                ResetEvent(m_hNamedEvent);
            ++g_sharedEventWaiters;
            m_bSharedWaiter = true;
        }
    }
    // The port's own event is nobody else's: a signal left from before this
    // hand-over is stale.
    std::string name = tarvik::EndOfCallEventName(m_szPortName);
    m_hPortEvent = name.empty() ? nullptr : CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    if (m_hPortEvent)
        ResetEvent(m_hPortEvent);
    return m_hNamedEvent || m_hPortEvent;
}

void CSerialPort::CloseEndOfCallEvents() {
    {
        std::lock_guard lock(g_sharedEventLock);
        if (m_bSharedWaiter) {
            --g_sharedEventWaiters;
            m_bSharedWaiter = false;
        }
        if (m_hNamedEvent) {
            CloseHandle(m_hNamedEvent);
            m_hNamedEvent = nullptr;
        }
    }
    if (m_hPortEvent) {
        CloseHandle(m_hPortEvent);
        m_hPortEvent = nullptr;
    }
}

LONG CSerialPort::OpenPort(bool reopen) {
    // Whatever the flag says, an event thread still waiting for the host's
    // signal is stopped before the port is used again.
    (void)reopen;
    StopEventThread();
    if (m_bOpen) {
        Log(kFnOpenPort, "Port already open");
        return SP_BUSY;
    }
    auto dev = m_hComm.Get();
    if (!dev) {
        Log(kFnOpenPort, "invalid handle");
        return SP_NO_HANDLE;
    }
    if (!Callback()) {
        Log(kFnOpenPort, "No callback");
        return SP_NO_CALLBACK;
    }
    // Missing events are created on every open, reopen included: a failed
    // earlier open has closed them, and a reopen must still find them working.
    m_dwOpenError = 0;
    if (!CreateEvents()) {
        m_dwOpenError = GetLastError();
        Log(kFnOpenPort, "Create events failed");
        m_dwOpenError = GetLastError();
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    // The port's own I/O is event driven; a descriptor the host had as a
    // blocking one is made non-blocking again before the monitor thread uses it.
    if (!dev->SetBlocking(false)) {
        m_dwOpenError = GetLastError();
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    dev->GetCommTimeouts(&m_savedTimeouts);
    dev->SetupComm(4096, 4096);
    // No port thread runs here, so closing the events on failure is safe.
    if (!WriteCommState()) {
        m_dwOpenError = GetLastError();
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    if (!SetTimeouts(500, 0, 0, 0, 0)) {
        m_dwOpenError = GetLastError();
        CloseHandles();
        return SP_TIMEOUTS_FAILED;
    }
    if (!dev->EscapeCommFunction(tarvik::SETDTR)) {
        m_dwOpenError = GetLastError();
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    m_rxBuffer.Init(m_lMaxFrameLength);
    m_rxBuffer.Reset();
    m_bDiscarding = false;
    {
        std::lock_guard lock(m_txLock);
        m_txBuffer.Init(m_lMaxFrameLength);
        m_txBuffer.Reset();
    }
    for (FrameSlot& slot : m_slots) {
        slot.Init(m_lMaxFrameLength);
        slot.Reset();
        slot.bInUse.store(0);
    }
    m_lFrameNumber = 0;
    dev->ResetIo();
    ResetEvent(m_hShutdownEvent);
    if (m_hMonitorThread) {
        CloseHandle(m_hMonitorThread);
        m_hMonitorThread = nullptr;
    }
    const BYTE wasOpen = m_bOpen, wasWatching = m_bWatchDSR;
    const LONG wasReading = m_bReadEnabled;
    m_bOpen = 1;
    m_bWatchDSR = 1;
    m_bReadEnabled = 1;
    if (StartThread(&CSerialPort::MonitorThreadMain, &m_hMonitorThread, &m_monitorGate) != SP_OK) {
        m_dwOpenError = GetLastError();
        m_bOpen = wasOpen;
        m_bWatchDSR = wasWatching;
        m_bReadEnabled = wasReading;
        Log(kFnCloseHandles, "Thread failed");
        CloseHandles();
        return SP_THREAD_FAILED;
    }
    return SP_OK;
}

LONG CSerialPort::ClosePort(bool destroy) {
    if (!m_bOpen)
        return SP_OK;
    StopThread(&m_hMonitorThread, &m_monitorGate);
    // The monitor thread has ended, or is left behind at its gate; either
    // way it does no further I/O.
    if (destroy) {
        if (auto dev = m_hComm.Get()) {
            dev->SetCommTimeouts(m_savedTimeouts);
            dev->PurgeComm(tarvik::PURGE_RXABORT);
            dev->PurgeComm(tarvik::PURGE_TXABORT);
            dev->PurgeComm(tarvik::PURGE_TXCLEAR);
            dev->PurgeComm(tarvik::PURGE_RXCLEAR);
        }
        m_bOpen = 0;
        CloseHandles();
        return SP_OK;
    }
    m_bOpen = 0;
    // The host is handed a blocking descriptor: one that simply read()s must
    // sleep in the kernel, not spin on EAGAIN. OpenPort makes it non-blocking
    // again when the port is taken back.
    if (auto dev = m_hComm.Get())
        dev->SetBlocking(true);
    // The end-of-call events are created and cleared here, before the caller
    // can hand the descriptor to the host: a host that finishes at once must
    // not have its signal cleared by a thread that starts late.
    OpenEndOfCallEvents();
    if (StartThread(&CSerialPort::EventThread, &m_hEventThread, &m_eventGate) != SP_OK) {
        CloseEndOfCallEvents();
        CloseHandles();
        return SP_THREAD_FAILED;
    }
    return SP_OK;
}

LONG CSerialPort::DestroyPort() {
    // Closing the device under a running thread would leave it polling a dead
    // (or reused) descriptor: stop the threads first.
    if (m_bOpen)
        ClosePort(true);
    StopEventThread();
    CloseHandles();
    if (auto dev = m_hComm.Get()) {
        dev->EscapeCommFunction(tarvik::CLRDTR);
        dev->Close();
    }
    m_hComm.Reset();
    m_bOpen = 0;
    return SP_OK;
}

LONG CSerialPort::ApplyCommState() {
    // A failure leaves the events alone: the monitor thread may be waiting on
    // them right now.
    return WriteCommState() ? SP_OK : SP_SETUP_FAILED;
}

LONG CSerialPort::GetPortHandle() const {
    auto dev = m_hComm.Get();
    return dev ? dev->Fd() : -1;
}

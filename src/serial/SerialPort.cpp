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
    if (m_hComm)
        m_hComm->Close();
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
    if (!name || std::strlen(name) >= sizeof m_szPortName)
        return SP_OPEN_FAILED;
    // Replacing the device under a running thread would pull it away mid-use.
    if (m_bOpen || m_hEventThread)
        return SP_BUSY;
    std::memset(m_szPortName, 0, sizeof m_szPortName);
    std::memcpy(m_szPortName, name, std::strlen(name));
    size_t len = std::strlen(name);
    int number = len > 3 ? std::atoi(name + 3) : 0;
    // Above COM9 Windows needs the device prefix; the device map accepts both.
    std::string path = number > 9 ? std::string("\\\\.\\") + name : std::string(name);
    if (m_hComm) {
        m_hComm->Close();
        m_hComm.reset();
    }
    DWORD error = 0;
    m_hComm = tarvik::SerialDevice::Open(path.c_str(), &error);
    return m_hComm ? SP_OK : SP_OPEN_FAILED;
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
    return m_hComm && m_hComm->SetCommTimeouts(t);
}

bool CSerialPort::WriteCommState() {
    tarvik::DCB dcb{};
    if (!m_hComm || !m_hComm->GetCommState(&dcb))
        return false;
    dcb.BaudRate = m_dwBaudRate;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = tarvik::DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fRtsControl = tarvik::RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
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
    return m_hComm->SetCommState(dcb);
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
    if (m_hNamedEvent) {
        CloseHandle(m_hNamedEvent);
        m_hNamedEvent = nullptr;
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
    if (!m_hComm) {
        Log(kFnOpenPort, "invalid handle");
        return SP_NO_HANDLE;
    }
    if (!Callback()) {
        Log(kFnOpenPort, "No callback");
        return SP_NO_CALLBACK;
    }
    // Missing events are created on every open, reopen included: a failed
    // earlier open has closed them, and a reopen must still find them working.
    if (!CreateEvents()) {
        Log(kFnOpenPort, "Create events failed");
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    m_hComm->GetCommTimeouts(&m_savedTimeouts);
    m_hComm->SetupComm(4096, 4096);
    // No port thread runs here, so closing the events on failure is safe.
    if (!WriteCommState()) {
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    if (!SetTimeouts(500, 0, 0, 0, 0)) {
        CloseHandles();
        return SP_TIMEOUTS_FAILED;
    }
    if (!m_hComm->EscapeCommFunction(tarvik::SETDTR)) {
        CloseHandles();
        return SP_SETUP_FAILED;
    }
    m_rxBuffer.Init(m_lMaxFrameLength);
    m_rxBuffer.Reset();
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
    m_hComm->ResetIo();
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
        if (m_hComm) {
            m_hComm->SetCommTimeouts(m_savedTimeouts);
            m_hComm->PurgeComm(tarvik::PURGE_RXABORT);
            m_hComm->PurgeComm(tarvik::PURGE_TXABORT);
            m_hComm->PurgeComm(tarvik::PURGE_TXCLEAR);
            m_hComm->PurgeComm(tarvik::PURGE_RXCLEAR);
        }
        m_bOpen = 0;
        CloseHandles();
        return SP_OK;
    }
    m_bOpen = 0;
    // The end-of-call event is created and cleared here, before the caller
    // can hand the descriptor to the host: a host that finishes at once must
    // not have its signal cleared by a thread that starts late.
    m_hNamedEvent = CreateEventA(nullptr, TRUE, FALSE, "Tarvik");
    if (m_hNamedEvent)
        ResetEvent(m_hNamedEvent);
    if (StartThread(&CSerialPort::EventThread, &m_hEventThread, &m_eventGate) != SP_OK) {
        if (m_hNamedEvent) {
            CloseHandle(m_hNamedEvent);
            m_hNamedEvent = nullptr;
        }
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
    if (m_hComm) {
        m_hComm->EscapeCommFunction(tarvik::CLRDTR);
        m_hComm->Close();
        m_hComm.reset();
    }
    m_bOpen = 0;
    return SP_OK;
}

LONG CSerialPort::ApplyCommState() {
    // A failure leaves the events alone: the monitor thread may be waiting on
    // them right now.
    return WriteCommState() ? SP_OK : SP_SETUP_FAILED;
}

LONG CSerialPort::GetPortHandle() const {
    return m_hComm ? m_hComm->Fd() : -1;
}

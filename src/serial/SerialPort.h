// CSerialPort: the component's only path to a modem. One object per line,
// held by value in the line. It owns the serial device, the thread that serves
// it (the monitor thread while the port is open, the event thread while the
// port is handed to the host for a data call), the frame store and the
// transmit buffer. Results are the small SP_* codes, never exceptions.
//
// Phases: CreatePort (device opened) -> OpenPort(false) (configured, monitor
// thread reads and cuts frames) -> ClosePort(false) (handed over: the host
// uses GetPortHandle(), the file descriptor; the event thread waits for the
// host's end-of-call signal) -> OpenPort(true) (taken back) ->
// ClosePort(true) -> DestroyPort.
//
// End of a data call: the host calls tarvik::SignalEndOfCall(portName), which
// sets this port's own event "Tarvik.<PORT>" (tarvik/sync.h), or the shared
// tarvik::SignalNamedEvent("Tarvik"), which ends the hand-over of one of the
// handed-over ports. The event thread of a handed-over port then reports
// FrameReceived(-1, 0) to the line. A hand-over clears its own port's event,
// and the shared one only when no other port is handed over, so a signal
// still pending for another call is never lost.
//
// Callbacks (FrameReceived, TransmitDone, FatalError) run on the port's
// threads, one at a time; TransmitDone also runs on the caller's thread when a
// write completes at once. OpenPort(true) and ClosePort wait for a port thread
// to end, so they must not be called from inside a callback of that thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "serial/FrameBuffer.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/serial.h"
#include "tarvik/sync.h"

enum SerialPortResult : LONG {
    SP_OK = 0,
    SP_BAD_BAUD_RATE = 1,
    SP_OPEN_FAILED = 2,
    SP_BUSY = 3,
    SP_NO_HANDLE = 4,
    SP_SETUP_FAILED = 5,
    SP_TIMEOUTS_FAILED = 6,
    SP_THREAD_FAILED = 7,
    SP_NULL_CALLBACK = 9,
    SP_NO_CALLBACK = 11,
    SP_NO_FRAME = 12,
    SP_BAD_LENGTH = 13,
};

// The port's device. The line's threads transmit and raise DTR through it
// while another may be destroying the port: each use takes its own
// reference, so a device closed meanwhile fails its call instead of being
// freed under it.
class SerialDeviceHolder {
  public:
    std::shared_ptr<tarvik::SerialDevice> Get() const {
        std::lock_guard lock(mu_);
        return device_;
    }
    // The old device is released outside the lock (its destructor closes it).
    void Reset(std::shared_ptr<tarvik::SerialDevice> device = nullptr) {
        std::lock_guard lock(mu_);
        device_.swap(device);
    }

  private:
    mutable std::mutex mu_;
    std::shared_ptr<tarvik::SerialDevice> device_;
};

class CSerialPort {
  public:
    static constexpr int kSlotCount = 100;
    static constexpr LONG kStagingSize = 500;
    static constexpr DWORD kThreadStopTimeoutMs = 10000;
    static constexpr DWORD kMonitorIdleTimeoutMs = 85000;
    static constexpr DWORD kCommEventMask =
        tarvik::EV_CTS | tarvik::EV_DSR | tarvik::EV_BREAK | tarvik::EV_ERR;

    CSerialPort();
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Settings.
    LONG SetBaudRate(LONG rate);
    void SetFrameTerminator(BYTE terminator);
    // 1..kStagingSize; anything else is SP_BAD_LENGTH (a longer frame could
    // not be staged for the write).
    LONG SetMaxFrameLength(LONG length);
    LONG GetMaxFrameLength() const;
    LONG SetCallback(IPassThroughCallback* callback);
    LONG ReleaseCallback();

    // Lifecycle.
    LONG CreatePort(const char* name);
    LONG OpenPort(bool reopen);
    LONG ClosePort(bool destroy);
    LONG DestroyPort();
    LONG ApplyCommState();
    // The file descriptor of the device, -1 when there is none.
    LONG GetPortHandle() const;
    // The system's error code behind the last failed CreatePort or OpenPort
    // (ERROR_FILE_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES, ...); 0 when none is
    // known. Only the thread that opens the port reads it.
    DWORD OpenError() const { return m_dwOpenError; }

    // Frames and transmission. GetFrame copies the frame into `dest`, which
    // holds `destSize` bytes: a frame longer than that is SP_BAD_LENGTH and
    // stays where it is.
    LONG GetFrame(BYTE* dest, LONG destSize, LONG frameNumber);
    LONG TransmitFrame(const BYTE* bytes, LONG length);
    bool RetransmitFrame();
    bool DTRSet();
    bool DTRClear();
    bool ToggleDTR();

    // While non-zero the monitor thread goes on reading; the line clears it
    // when a data connection comes up, after which no further byte is taken
    // from the device.
    std::atomic<LONG> m_bReadEnabled{1};
    // The port name given to CreatePort (at most 9 characters).
    char m_szPortName[10] = {};

  private:
    DWORD m_dwOpenError = 0;
    friend class SerialPortTestAccess;
    struct ThreadGate;
    struct ThreadRun;

    bool CreateEvents();
    void CloseHandles();
    bool SetTimeouts(DWORD interval, DWORD readMultiplier, DWORD readConstant,
                     DWORD writeMultiplier, DWORD writeConstant);
    bool WriteCommState();
    LONG StartThread(LPTHREAD_START_ROUTINE proc, HANDLE* thread,
                     std::shared_ptr<ThreadGate>* gate);
    // Tells the thread to stop and waits for it (kThreadStopTimeoutMs, sent
    // messages served meanwhile). True when it ended; a late thread is left
    // behind and never touches the port again.
    bool StopThread(HANDLE* thread, std::shared_ptr<ThreadGate>* gate);
    void StopEventThread();
    tarvik::ComPtr<IPassThroughCallback> Callback() const;
    template <class F>
    bool CallBack(ThreadRun& run, F&& call);

    static DWORD MonitorThreadMain(void* arg);
    static DWORD EventThread(void* arg);
    void MonitorLoop(ThreadRun& run);
    void EventLoop(ThreadRun& run);
    bool ArmCommEvent(ThreadRun& run);
    bool PostRead(ThreadRun& run);
    // Reports an operation the device refused to start; false when the
    // thread is to end (the line let go, or the device is gone).
    bool ReportStartFailure(ThreadRun& run, DWORD error);
    bool ReceiveByte(ThreadRun& run, BYTE b);
    void StartTransmit();
    void Log(const char* function, const char* message, const char* detail = nullptr) const;
    // A port thread's log entry, written without the gate: a log writer that
    // stalls must not hold up a close that gives up on the thread. False when
    // the port gave up on the thread meanwhile.
    bool ThreadLog(ThreadRun& run, const char* function, const char* message);
    // The end-of-call events a hand-over waits on; see the comment at the top.
    bool OpenEndOfCallEvents();
    void CloseEndOfCallEvents();

    tarvik::ComPtr<ILogWriter> m_pLog;
    std::unique_ptr<BYTE[]> m_pTxStaging;
    tarvik::COMMTIMEOUTS m_savedTimeouts{};
    // The callback is read by the port's threads while the line may release
    // it; each call runs on a reference of its own.
    mutable std::mutex m_callbackLock;
    tarvik::ComPtr<IPassThroughCallback> m_pCallback;
    LONG m_lFrameNumber = 0;
    LONG m_lMaxFrameLength = kStagingSize;
    std::atomic<BYTE> m_bOpen{0};
    std::atomic<BYTE> m_bWatchDSR{1};
    HANDLE m_hMonitorThread = nullptr;
    std::shared_ptr<ThreadGate> m_monitorGate;
    HANDLE m_hShutdownEvent = nullptr;
    std::atomic<BYTE> m_cTerminator{13};
    DWORD m_dwBaudRate = 300;
    // The device; its pending read, write and comm-event wait stand in for
    // the three overlapped records. Shared with the port's threads, which
    // keep it alive for as long as they use it.
    SerialDeviceHolder m_hComm;
    FrameBuffer m_rxBuffer;
    // Set when a line overran the receive buffer: the overflow has been
    // reported and bytes are dropped up to the next terminator. Monitor
    // thread only (reset by OpenPort before it starts).
    bool m_bDiscarding = false;
    FrameBuffer m_txBuffer;
    // Guards m_txBuffer and m_pTxStaging: the caller's thread starts a frame,
    // the monitor thread ends it.
    mutable std::mutex m_txLock;
    FrameSlot m_slots[kSlotCount];
    HANDLE m_hEventThread = nullptr;
    std::shared_ptr<ThreadGate> m_eventGate;
    HANDLE m_hNamedEvent = nullptr;
    // This port's own end-of-call event, and whether the hand-over counts
    // among those waiting on the shared one.
    HANDLE m_hPortEvent = nullptr;
    bool m_bSharedWaiter = false;
};

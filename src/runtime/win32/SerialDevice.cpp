// Serial devices on Windows (tarvik/serial.h): overlapped I/O on a COM port.
#include <cstring>

#include "System.h"
#include "tarvik/serial.h"

namespace tarvik {
namespace {

namespace sys = tarvik::win32;

constexpr DWORD ERROR_BUSY_DEVICE = 170;  // ERROR_BUSY
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;
// How long ending an operation an earlier thread left pending may take
// before the device gives up on it.
constexpr DWORD kCancelWaitMs = 1000;
// WaitCommEvent completing at once again and again would keep the monitor
// thread from waiting at all; after this many it is left unarmed.
constexpr int kMaxImmediateCommEvents = 16;

enum Op { kComm = 0, kWrite = 1, kRead = 2 };

// The system ends I/O on a port whose device has gone with one of several
// codes (a USB adapter pulled out; under Wine, a pseudo-terminal whose other
// side closed: ERROR_BROKEN_PIPE for a read, ERROR_NOT_READY for the next
// comm-event wait). The port knows one code for it, after which it stops
// using the device instead of reporting each further failure.
DWORD DeviceError(DWORD e) {
    switch (e) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_REMOVED:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return e;
    }
}

}  // namespace

bool IsStandardBaudRate(LONG rate) {
    static constexpr LONG kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                      19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (LONG r : kRates)
        if (r == rate)
            return true;
    return false;
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const char* name, DWORD* error) {
    DWORD e = 0;
    void* h = name ? sys::OpenComm(name, &e) : nullptr;
    if (!h) {
        if (error)
            *error = name ? e : ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::shared_ptr<SerialDevice> dev(new (std::nothrow) SerialDevice(h, name));
    if (!dev || !dev->ovWait_ || !dev->ovWrite_ || !dev->ovRead_) {
        if (dev)
            dev->Close();
        else
            sys::CloseHandle(h);
        if (error)
            *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return dev;
}

SerialDevice::SerialDevice(HANDLE handle, std::string path)
    : handle_(handle),
      path_(std::move(path)),
      ovWait_(sys::NewOverlapped()),
      ovWrite_(sys::NewOverlapped()),
      ovRead_(sys::NewOverlapped()) {}

SerialDevice::~SerialDevice() {
    Close();
    if (keepRecords_) {
        // The records (with the read byte and the event mask) and the bytes
        // being written may still be used by the system: they are left to it.
        (void)writeBuf_.release();
        return;
    }
    sys::FreeOverlapped(ovWait_);
    sys::FreeOverlapped(ovWrite_);
    sys::FreeOverlapped(ovRead_);
}

int SerialDevice::Fd() const {
    HANDLE h = handle_.load();
    return h ? static_cast<int>(reinterpret_cast<intptr_t>(h)) : -1;
}

HANDLE SerialDevice::Handle() const {
    return handle_.load();
}

void SerialDevice::Close() {
    std::lock_guard lock(mu_);
    HANDLE h = handle_.load();
    if (!h)
        return;
    // The records and buffers of pending operations belong to this object;
    // the system must be done with them before the handle goes.
    // One the system does not give back in time stays the system's: its
    // record is never freed.
    if (commPending_ && !sys::CancelAndWait(h, ovWait_, kCancelWaitMs))
        keepRecords_ = true;
    if (writePending_ && !sys::CancelAndWait(h, ovWrite_, kCancelWaitMs))
        keepRecords_ = true;
    if (readPending_ && !sys::CancelAndWait(h, ovRead_, kCancelWaitMs))
        keepRecords_ = true;
    commPending_ = writePending_ = readPending_ = false;
    sys::CloseHandle(h);
    handle_.store(nullptr);
}

bool SerialDevice::SetBlocking(bool, DWORD*) {
    return true;
}

bool SerialDevice::GetCommState(DCB* dcb, DWORD* error) {
    sys::CommSettings s{};
    if (!sys::GetCommState(Handle(), &s, error))
        return false;
    *dcb = {s.BaudRate,     s.fBinary,       s.fParity,         s.fOutxCtsFlow,
            s.fOutxDsrFlow, s.fDtrControl,   s.fDsrSensitivity, s.fTXContinueOnXoff,
            s.fOutX,        s.fInX,          s.fErrorChar,      s.fNull,
            s.fRtsControl,  s.fAbortOnError, s.XonLim,          s.XoffLim,
            s.ByteSize,     s.Parity,        s.StopBits,        s.XonChar,
            s.XoffChar,     s.ErrorChar,     s.EofChar,         s.EvtChar};
    return true;
}

bool SerialDevice::SetCommState(const DCB& d, DWORD* error) {
    sys::CommSettings s{d.BaudRate,     d.fBinary,       d.fParity,         d.fOutxCtsFlow,
                        d.fOutxDsrFlow, d.fDtrControl,   d.fDsrSensitivity, d.fTXContinueOnXoff,
                        d.fOutX,        d.fInX,          d.fErrorChar,      d.fNull,
                        d.fRtsControl,  d.fAbortOnError, d.XonLim,          d.XoffLim,
                        d.ByteSize,     d.Parity,        d.StopBits,        d.XonChar,
                        d.XoffChar,     d.ErrorChar,     d.EofChar,         d.EvtChar};
    return sys::SetCommState(Handle(), s, error);
}

bool SerialDevice::GetCommTimeouts(COMMTIMEOUTS* t) {
    sys::CommTimeouts c{};
    if (!sys::GetCommTimeouts(Handle(), &c))
        return false;
    *t = {c.ReadIntervalTimeout, c.ReadTotalTimeoutMultiplier, c.ReadTotalTimeoutConstant,
          c.WriteTotalTimeoutMultiplier, c.WriteTotalTimeoutConstant};
    return true;
}

bool SerialDevice::SetCommTimeouts(const COMMTIMEOUTS& t) {
    return sys::SetCommTimeouts(
        Handle(), {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant});
}

bool SerialDevice::SetupComm(DWORD inQueue, DWORD outQueue) {
    return sys::SetupComm(Handle(), inQueue, outQueue);
}

bool SerialDevice::PurgeComm(DWORD flags, DWORD* error) {
    std::lock_guard lock(mu_);
    HANDLE h = Handle();
    // An aborted write is ended here, its result dropped, so the frame can be
    // written again at once: left to the monitor thread, the abort would be
    // reported as the port failing (and end its reading), and until then the
    // device would refuse the new write as busy. Wine's purge does not end a
    // pending write at all. One that does not end in time still holds its
    // record and bytes, and stays pending.
    if ((flags & PURGE_TXABORT) && writePending_ && h &&
        sys::CancelAndWait(h, ovWrite_, kCancelWaitMs)) {
        writePending_ = false;
        sys::ResetEvent(sys::OverlappedEvent(ovWrite_));
    }
    // An aborted read, though, is the owner's to hear of: it completes with
    // ERROR_OPERATION_ABORTED inside Wait, as on Windows. Wine's purge leaves
    // it pending, so it is cancelled here (on Windows it is already over).
    if ((flags & PURGE_RXABORT) && readPending_ && h)
        sys::CancelAndWait(h, ovRead_, kCancelWaitMs);
    return sys::PurgeComm(h, flags, error);
}

bool SerialDevice::EscapeCommFunction(DWORD func, DWORD* error) {
    HANDLE h = Handle();
    if (!h) {
        if (error)
            *error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (sys::EscapeCommFunction(h, func, error))
        return true;
    // Wine fault: Wine serves a COM port mapped to a pseudo-terminal, which
    // has no modem-control lines, and reports the TIOCMBIS/TIOCMBIC refusal
    // as a failed EscapeCommFunction. A real port's driver raises and drops
    // DTR, and a failure there stays a failure.
    const bool modemLine = func == SETDTR || func == CLRDTR || func == SETRTS || func == CLRRTS;
    return modemLine && sys::RunningUnderWine();
}

bool SerialDevice::SetCommMask(DWORD mask) {
    return sys::SetCommMask(Handle(), mask);
}

// Wine fault: a read that Wine has woken for a byte which a PurgeComm of the
// receive buffer then discards finds nothing, and Wine ends it with
// ERROR_BROKEN_PIPE, as for a modem that is gone, or with ERROR_TIMEOUT
// (on Windows a read that times out succeeds with fewer bytes). The transmit
// path purges before every command, so a modem that spoke at that moment (a
// RING just before "ATA") closed the medium and the CONNECT that followed was
// never read. A port that is still there answers ClearCommError (after an
// unplug it does not): such a read is taken as one that ended without a byte,
// and the next read is posted. A few a second at most without a byte between
// them, so a port that keeps failing so is still reported and never spun on.
constexpr int kMaxForgivenReads = 10;
constexpr uint64_t kForgivenWindowMs = 1000;

bool SerialDevice::ReadLostToPurge(uint32_t error) {
    if ((error != ERROR_BROKEN_PIPE && error != ERROR_TIMEOUT) || !sys::RunningUnderWine())
        return false;
    const uint64_t now = GetTickCount64();
    if (now - forgivenSince_ > kForgivenWindowMs) {
        forgivenSince_ = now;
        forgivenReads_ = 0;
    }
    if (forgivenReads_ >= kMaxForgivenReads || !sys::ClearCommError(Handle(), nullptr))
        return false;
    ++forgivenReads_;
    return true;
}

IoStatus SerialDevice::ReadByte(BYTE* out, DWORD* error) {
    std::lock_guard lock(mu_);
    if (readPending_)
        return IoStatus::Pending;
    uint32_t got = 0, e = 0;
    readPending_ = true;
    BYTE* target = static_cast<BYTE*>(sys::OverlappedScratch(ovRead_));
    switch (sys::ReadFile(Handle(), target, 1, ovRead_, &got, &e)) {
        case sys::Io::Pending:
            return IoStatus::Pending;
        case sys::Io::Done:
            readPending_ = false;
            sys::ResetEvent(sys::OverlappedEvent(ovRead_));
            if (got == 1) {
                forgivenReads_ = 0;
                *out = *target;
                return IoStatus::Completed;
            }
            // With the port's time-outs a read waits for its byte; one that
            // ends at once with none means the device has gone (as a read of
            // end-of-file does), and asking again would only spin.
            e = ERROR_DEVICE_NOT_CONNECTED;
            break;
        case sys::Io::Failed:
            readPending_ = false;
            e = DeviceError(e);
            break;
    }
    if (error)
        *error = e;
    return IoStatus::Failed;
}

IoStatus SerialDevice::Write(const BYTE* data, DWORD length, DWORD* error) {
    std::lock_guard lock(mu_);
    if (writePending_) {
        if (error)
            *error = ERROR_BUSY_DEVICE;
        return IoStatus::Failed;
    }
    // The bytes must outlive the call: the write may finish later.
    writeBuf_.reset(new (std::nothrow) BYTE[length ? length : 1]);
    if (!writeBuf_) {
        if (error)
            *error = ERROR_NOT_ENOUGH_MEMORY;
        return IoStatus::Failed;
    }
    if (length)
        std::memcpy(writeBuf_.get(), data, length);
    writeLength_ = length;
    uint32_t put = 0, e = 0;
    writePending_ = true;
    switch (sys::WriteFile(Handle(), writeBuf_.get(), length, ovWrite_, &put, &e)) {
        case sys::Io::Pending:
            return IoStatus::Pending;
        case sys::Io::Done:
            writePending_ = false;
            sys::ResetEvent(sys::OverlappedEvent(ovWrite_));
            return IoStatus::Completed;
        case sys::Io::Failed:
            break;
    }
    writePending_ = false;
    if (error)
        *error = DeviceError(e);
    return IoStatus::Failed;
}

IoStatus SerialDevice::WaitCommEvent(DWORD* error) {
    std::lock_guard lock(mu_);
    if (commPending_)
        return IoStatus::Pending;
    for (int i = 0; i < kMaxImmediateCommEvents; ++i) {
        sys::ClearCommError(Handle(), nullptr);
        uint32_t e = 0;
        commPending_ = true;
        auto* mask = static_cast<uint32_t*>(sys::OverlappedScratch(ovWait_));
        switch (sys::WaitCommEvent(Handle(), mask, ovWait_, &e)) {
            case sys::Io::Pending:
                return IoStatus::Pending;
            case sys::Io::Done:
                commPending_ = false;
                sys::ResetEvent(sys::OverlappedEvent(ovWait_));
                continue;  // events that complete at once are dropped
            case sys::Io::Failed:
                commPending_ = false;
                if (e == ERROR_NOT_SUPPORTED && sys::RunningUnderWine()) {
                    // Wine fault: Wine watches the modem-status lines with
                    // TIOCMGET, which a pseudo-terminal refuses, and fails
                    // the whole wait with ERROR_NOT_SUPPORTED. Line-status
                    // events only ever cause a log entry; the wait is left
                    // unarmed, as if it never completed, and the port's
                    // failures still arrive through its reads and writes.
                    return IoStatus::Pending;
                }
                if (error)
                    *error = DeviceError(e);
                return IoStatus::Failed;
        }
    }
    return IoStatus::Completed;
}

bool SerialDevice::ReadPending() const {
    std::lock_guard lock(mu_);
    return readPending_;
}

bool SerialDevice::WritePending() const {
    std::lock_guard lock(mu_);
    return writePending_;
}

void SerialDevice::ResetIo() {
    std::lock_guard lock(mu_);
    HANDLE h = Handle();
    struct {
        bool* pending;
        sys::Overlapped* ov;
    } ops[] = {{&commPending_, ovWait_}, {&writePending_, ovWrite_}, {&readPending_, ovRead_}};
    for (auto& op : ops) {
        if (*op.pending && h) {
            uint32_t done = 0, e = 0;
            if (sys::OverlappedResult(h, op.ov, &done, &e) == sys::Io::Pending)
                sys::CancelAndWait(h, op.ov, kCancelWaitMs);
        }
        *op.pending = false;
        sys::ResetEvent(sys::OverlappedEvent(op.ov));
    }
}

bool SerialDevice::Collect(int which, IoCompletion* out) {
    std::lock_guard lock(mu_);
    sys::Overlapped* ov = which == kComm ? ovWait_ : which == kWrite ? ovWrite_ : ovRead_;
    bool* pending = which == kComm    ? &commPending_
                    : which == kWrite ? &writePending_
                                      : &readPending_;
    void* event = sys::OverlappedEvent(ov);
    if (!*pending) {
        // Left signalled by an operation that completed at once.
        sys::ResetEvent(event);
        return false;
    }
    uint32_t done = 0, e = 0;
    sys::Io r = sys::OverlappedResult(Handle(), ov, &done, &e);
    if (r == sys::Io::Pending) {
        // Signalled yet not complete: clear the event, then look once more,
        // so a completion that came in between is not lost.
        sys::ResetEvent(event);
        r = sys::OverlappedResult(Handle(), ov, &done, &e);
        if (r == sys::Io::Pending)
            return false;
    }
    *pending = false;
    sys::ResetEvent(event);
    IoCompletion c;
    c.kind = which == kComm    ? IoCompletion::CommEvent
             : which == kWrite ? IoCompletion::Write
                               : IoCompletion::Read;
    c.error = r == sys::Io::Done ? 0 : e;
    c.bytes = r == sys::Io::Done ? done : 0;
    if (which == kRead && c.bytes == 1)
        forgivenReads_ = 0;
    else if (which == kRead && c.error != 0 && ReadLostToPurge(c.error))
        c.error = 0;
    c.error = DeviceError(c.error);
    c.byte = *static_cast<BYTE*>(sys::OverlappedScratch(ovRead_));
    c.mask = *static_cast<uint32_t*>(sys::OverlappedScratch(ovWait_));
    if (out)
        *out = c;
    return true;
}

DWORD SerialDevice::Wait(DWORD count, const HANDLE* handles, DWORD timeoutMs, bool pumpMessages,
                         IoCompletion* completion) {
    if (count > MAXIMUM_WAIT_OBJECTS - 3) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i)
        all[i] = handles[i];
    // In the order completions are reported: comm event, write, read.
    all[count + kComm] = sys::OverlappedEvent(ovWait_);
    all[count + kWrite] = sys::OverlappedEvent(ovWrite_);
    all[count + kRead] = sys::OverlappedEvent(ovRead_);
    const DWORD n = count + 3;
    if (pumpMessages)
        sys::ReceiveThreadMessages();
    const uint64_t start = GetTickCount64();
    for (;;) {
        DWORD left = timeoutMs;
        if (timeoutMs != INFINITE) {
            uint64_t spent = GetTickCount64() - start;
            left = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        }
        DWORD r = pumpMessages ? sys::MsgWaitForMultipleObjects(n, all, false, left, QS_SENDMESSAGE)
                               : sys::WaitForMultipleObjects(n, all, false, left);
        if (r < WAIT_OBJECT_0 + count)
            return r;
        if (r < WAIT_OBJECT_0 + n) {
            if (Collect(static_cast<int>(r - WAIT_OBJECT_0 - count), completion))
                return WAIT_IO_COMPLETION;
            continue;
        }
        if (pumpMessages && r == WAIT_OBJECT_0 + n)
            return WAIT_OBJECT_0 + count;
        if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count)
            return r;
        return r;  // WAIT_TIMEOUT or WAIT_FAILED
    }
}

}  // namespace tarvik

// Serial devices on termios, with overlapped-style reads and writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/CustomBaud.h"
#include "serial/SerialErrors.h"
#include "tarvik/serial.h"

namespace tarvik {

using serial_detail::Win32FromErrno;

namespace {

struct BaudEntry {
    LONG rate;
    speed_t constant;  // 0: no Bxxx constant, set through BOTHER
};

constexpr BaudEntry kBaudRates[] = {
    {110, B110},   {300, B300},     {600, B600},       {1200, B1200},   {2400, B2400},
    {4800, B4800}, {9600, B9600},   {14400, 0},        {19200, B19200}, {38400, B38400},
    {56000, 0},    {57600, B57600}, {115200, B115200}, {128000, 0},     {256000, 0},
};

const BaudEntry* FindBaud(LONG rate) {
    for (const auto& e : kBaudRates)
        if (e.rate == rate)
            return &e;
    return nullptr;
}

void SetError(DWORD* error, DWORD code) {
    if (error)
        *error = code;
    SetLastError(code);
}

bool Fail(DWORD* error, int err) {
    SetError(error, Win32FromErrno(err));
    return false;
}

}  // namespace

bool IsStandardBaudRate(LONG rate) {
    return FindBaud(rate) != nullptr;
}

SerialDevice::SerialDevice(int fd, std::string path, HANDLE wake)
    : fd_(fd), path_(std::move(path)), wake_(wake) {}

SerialDevice::~SerialDevice() {
    Close();
    if (wake_)
        CloseHandle(wake_);
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const char* name, DWORD* error) {
    std::string path = ResolvePortName(name);
    if (path.empty()) {
        SetError(error, ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(error, errno);
        return nullptr;
    }
    // TIOCEXCL keeps other (unprivileged) openers out; root passes it, so the
    // advisory lock is what stops a second port object of any user. Devices
    // that are no terminal refuse TIOCEXCL; they fail later at configuration.
    ::ioctl(fd, TIOCEXCL);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        Fail(error, err == EWOULDBLOCK ? EBUSY : err);
        return nullptr;
    }
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wake) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        SetError(error, ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (error)
        *error = ERROR_SUCCESS;
    return std::shared_ptr<SerialDevice>(new SerialDevice(fd, std::move(path), wake));
}

void SerialDevice::Close() {
    // Every call on the descriptor holds the lock: closed under it, the number
    // can never be closed (and given to another file) under a read or a write.
    std::lock_guard lock(mu_);
    int fd = fd_.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0)
        return;
    // The exclusive flag belongs to the terminal, not to this descriptor: clear
    // it, or a descriptor someone else keeps open would lock us out next time.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    readPending_ = writePending_ = commPending_ = false;
    storedComm_ = storedRead_ = false;
    writeBuf_.clear();
}

bool SerialDevice::SetBlocking(bool blocking, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0)
        return Fail(error, EBADF);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return Fail(error, errno);
    int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0)
        return Fail(error, errno);
    return true;
}

bool SerialDevice::GetCommState(DCB* dcb, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    termios t{};
    if (fd < 0)
        return Fail(error, EBADF);
    if (::tcgetattr(fd, &t) != 0)
        return Fail(error, errno);
    *dcb = DCB{};
    unsigned rate = 0;
    if (!serial_detail::GetNumericBaud(fd, &rate)) {
        speed_t s = ::cfgetospeed(&t);
        for (const auto& e : kBaudRates)
            if (e.constant && e.constant == s)
                rate = static_cast<unsigned>(e.rate);
    }
    dcb->BaudRate = rate;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
    }
    dcb->Parity = !(t.c_cflag & PARENB) ? NOPARITY : (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb->EofChar = static_cast<char>(t.c_cc[VEOF]);
    dcb->XonLim = xonLim_;
    dcb->XoffLim = xoffLim_;
    dcb->ErrorChar = errorChar_;
    dcb->EvtChar = evtChar_;
    return true;
}

bool SerialDevice::SetCommState(const DCB& dcb, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0)
        return Fail(error, EBADF);
    const BaudEntry* baud = FindBaud(static_cast<LONG>(dcb.BaudRate));
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > EVENPARITY ||
        (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS))
        return Fail(error, EINVAL);
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return Fail(error, errno);
    // Every flag comes from the settings, none from what the device held
    // before (a terminal starts cooked: echo, line editing, signals, CR/LF
    // translation, XON/XOFF): raw bytes both ways, the modem's text reaching
    // the port exactly as sent. Only the line discipline and the speeds are
    // kept from what was read; the speeds are set below.
    termios old = t;
    t = termios{};
    t.c_line = old.c_line;
    ::cfsetispeed(&t, ::cfgetispeed(&old));
    ::cfsetospeed(&t, ::cfgetospeed(&old));
    // CLOCAL: a missing carrier must not block opens or reads. No HUPCL: the
    // port drops DTR itself when it means to, and closing stays fast.
    t.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    if (dcb.Parity == ODDPARITY)
        t.c_cflag |= PARENB | PARODD;
    if (dcb.Parity == EVENPARITY)
        t.c_cflag |= PARENB;
    // Parity checking only means something with a parity bit on the wire.
    if (dcb.fParity && dcb.Parity != NOPARITY)
        t.c_iflag |= INPCK;
    if (dcb.StopBits == TWOSTOPBITS)
        t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow)
        t.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VEOF] = static_cast<cc_t>(dcb.EofChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (baud && baud->constant) {
        ::cfsetispeed(&t, baud->constant);
        ::cfsetospeed(&t, baud->constant);
    }
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return Fail(error, errno);
    if ((!baud || !baud->constant) && !serial_detail::SetCustomBaud(fd, dcb.BaudRate))
        return Fail(error, errno);
    xonLim_ = dcb.XonLim;
    xoffLim_ = dcb.XoffLim;
    errorChar_ = dcb.ErrorChar;
    evtChar_ = dcb.EvtChar;
    return true;
}

bool SerialDevice::GetCommTimeouts(COMMTIMEOUTS* t) {
    if (Fd() < 0)
        return Fail(nullptr, EBADF);
    std::lock_guard lock(mu_);
    *t = timeouts_;
    return true;
}

bool SerialDevice::SetCommTimeouts(const COMMTIMEOUTS& t) {
    if (Fd() < 0)
        return Fail(nullptr, EBADF);
    std::lock_guard lock(mu_);
    timeouts_ = t;
    return true;
}

bool SerialDevice::SetupComm(DWORD, DWORD) {
    return Fd() >= 0;
}

bool SerialDevice::PurgeComm(DWORD flags, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0)
        return Fail(error, EBADF);
    if ((flags & PURGE_TXABORT) && writePending_) {
        writePending_ = false;
        writeBuf_.clear();
        KickLocked();
    }
    if ((flags & PURGE_RXABORT) && readPending_) {
        readPending_ = false;
        storedRead_ = true;
        storedReadResult_ = IoCompletion{};
        storedReadResult_.kind = IoCompletion::Read;
        storedReadResult_.error = ERROR_OPERATION_ABORTED;
        KickLocked();
    }
    int queue = -1;
    if ((flags & PURGE_TXCLEAR) && (flags & PURGE_RXCLEAR))
        queue = TCIOFLUSH;
    else if (flags & PURGE_TXCLEAR)
        queue = TCOFLUSH;
    else if (flags & PURGE_RXCLEAR)
        queue = TCIFLUSH;
    if (queue >= 0 && ::tcflush(fd, queue) != 0)
        return Fail(error, errno);
    return true;
}

bool SerialDevice::EscapeCommFunction(DWORD func, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0)
        return Fail(error, EBADF);
    int bits = 0;
    unsigned long request = 0;
    switch (func) {
        case SETDTR:
            bits = TIOCM_DTR, request = TIOCMBIS;
            break;
        case CLRDTR:
            bits = TIOCM_DTR, request = TIOCMBIC;
            break;
        case SETRTS:
            bits = TIOCM_RTS, request = TIOCMBIS;
            break;
        case CLRRTS:
            bits = TIOCM_RTS, request = TIOCMBIC;
            break;
        default:
            return Fail(error, EINVAL);
    }
    if (::ioctl(fd, request, &bits) == 0)
        return true;
    // Pseudo-terminals and some cheap adapters have no modem-control lines
    // and refuse the request; that must not stop them working as ports.
    if (errno == ENOTTY || errno == EINVAL)
        return true;
    return Fail(error, errno);
}

bool SerialDevice::SetCommMask(DWORD mask) {
    if (Fd() < 0)
        return Fail(nullptr, EBADF);
    std::lock_guard lock(mu_);
    commMask_ = mask;
    if (mask == 0 && commPending_) {
        commPending_ = false;
        storedComm_ = true;
        storedCommResult_ = IoCompletion{};
        storedCommResult_.kind = IoCompletion::CommEvent;
        KickLocked();
    }
    return true;
}

IoStatus SerialDevice::ReadByte(BYTE* out, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0) {
        Fail(error, EBADF);
        return IoStatus::Failed;
    }
    if (readPending_)
        return IoStatus::Pending;
    for (;;) {
        ssize_t n = ::read(fd, out, 1);
        if (n == 1)
            return IoStatus::Completed;
        if (n == 0) {
            // A terminal in raw mode with VMIN 1 only reads nothing at hang-up.
            SetError(error, ERROR_DEVICE_NOT_CONNECTED);
            return IoStatus::Failed;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            readPending_ = true;
            KickLocked();
            SetError(error, ERROR_IO_PENDING);
            return IoStatus::Pending;
        }
        Fail(error, errno);
        return IoStatus::Failed;
    }
}

IoStatus SerialDevice::Write(const BYTE* data, DWORD length, DWORD* error) {
    std::lock_guard lock(mu_);
    int fd = Fd();
    if (fd < 0) {
        Fail(error, EBADF);
        return IoStatus::Failed;
    }
    if (writePending_) {
        SetError(error, ERROR_INVALID_PARAMETER);
        return IoStatus::Failed;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        Fail(error, n < 0 ? errno : EIO);
        return IoStatus::Failed;
    }
    if (done == length)
        return IoStatus::Completed;
    writeBuf_.assign(data, data + length);
    writeOffset_ = done;
    writePending_ = true;
    KickLocked();
    SetError(error, ERROR_IO_PENDING);
    return IoStatus::Pending;
}

IoStatus SerialDevice::WaitCommEvent(DWORD* error) {
    if (Fd() < 0) {
        Fail(error, EBADF);
        return IoStatus::Failed;
    }
    std::lock_guard lock(mu_);
    if (commMask_ == 0) {
        SetError(error, ERROR_INVALID_PARAMETER);
        return IoStatus::Failed;
    }
    storedComm_ = false;
    commPending_ = true;
    KickLocked();
    SetError(error, ERROR_IO_PENDING);
    return IoStatus::Pending;
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
    readPending_ = writePending_ = commPending_ = false;
    storedComm_ = storedRead_ = false;
    writeBuf_.clear();
    ResetEvent(wake_);
}

void SerialDevice::KickLocked() {
    // Only a thread inside Wait needs telling; the owner thread itself starts
    // most operations between two waits and needs no extra system call.
    if (waiting_)
        SetEvent(wake_);
}

bool SerialDevice::TakeStoredLocked(IoCompletion* out) {
    if (storedComm_) {
        storedComm_ = false;
        *out = storedCommResult_;
        return true;
    }
    if (storedRead_) {
        storedRead_ = false;
        *out = storedReadResult_;
        return true;
    }
    return false;
}

// Moves pending operations on after poll reported `revents`; at most one
// completes per call, so nothing completed is ever left unreported.
bool SerialDevice::ProgressLocked(short revents, IoCompletion* out) {
    int fd = Fd();
    *out = IoCompletion{};
    auto complete = [&](IoCompletion::Kind kind, DWORD err) {
        out->kind = kind;
        out->error = err;
        return true;
    };
    if (fd < 0 || (revents & POLLNVAL)) {
        if (commPending_)
            return commPending_ = false, complete(IoCompletion::CommEvent, ERROR_INVALID_HANDLE);
        if (writePending_)
            return writePending_ = false, complete(IoCompletion::Write, ERROR_INVALID_HANDLE);
        if (readPending_)
            return readPending_ = false, complete(IoCompletion::Read, ERROR_INVALID_HANDLE);
        return false;
    }
    if (writePending_ && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n;
        do {
            n = ::write(fd, writeBuf_.data() + writeOffset_, writeBuf_.size() - writeOffset_);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            writeOffset_ += static_cast<size_t>(n);
            if (writeOffset_ == writeBuf_.size()) {
                writePending_ = false;
                out->bytes = static_cast<DWORD>(writeBuf_.size());
                writeBuf_.clear();
                return complete(IoCompletion::Write, 0);
            }
        } else if (n < 0 && errno != EAGAIN) {
            writePending_ = false;
            writeBuf_.clear();
            return complete(IoCompletion::Write, Win32FromErrno(errno));
        }
    }
    if (readPending_ && (revents & (POLLIN | POLLERR | POLLHUP))) {
        ssize_t n;
        do {
            n = ::read(fd, &out->byte, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) {
            readPending_ = false;
            out->bytes = 1;
            return complete(IoCompletion::Read, 0);
        }
        if (n == 0 || errno != EAGAIN) {
            readPending_ = false;
            return complete(IoCompletion::Read,
                            n == 0 ? ERROR_DEVICE_NOT_CONNECTED : Win32FromErrno(errno));
        }
    }
    if (revents & (POLLHUP | POLLERR)) {
        // The device went away (a pseudo-terminal's master closed, a USB
        // adapter unplugged). Every pending operation fails, one per call.
        DWORD code = (revents & POLLHUP) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
        if (commPending_)
            return commPending_ = false, complete(IoCompletion::CommEvent, code);
        if (writePending_) {
            writePending_ = false;
            writeBuf_.clear();
            return complete(IoCompletion::Write, code);
        }
        if (readPending_)
            return readPending_ = false, complete(IoCompletion::Read, code);
    }
    return false;
}

DWORD SerialDevice::Wait(DWORD count, const HANDLE* handles, DWORD timeoutMs, bool pumpMessages,
                         IoCompletion* completion) {
    if (count + 1 > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i)
        all[i] = handles[i];
    all[count] = wake_;
    const uint64_t start = GetTickCount64();
    for (;;) {
        DWORD remaining = timeoutMs;
        if (timeoutMs != INFINITE) {
            uint64_t spent = GetTickCount64() - start;
            remaining = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        }
        WaitFd wfd{-1, 0, 0};
        size_t nfds = 0;
        bool stored;
        {
            std::lock_guard lock(mu_);
            stored = storedComm_ || storedRead_;
            int fd = Fd();
            if (fd >= 0 && (readPending_ || writePending_ || commPending_)) {
                wfd.fd = fd;
                wfd.events =
                    static_cast<short>((readPending_ ? POLLIN : 0) | (writePending_ ? POLLOUT : 0));
                nfds = 1;
            }
            waiting_ = true;
        }
        // With a completion in store only look whether a handle is set: handles
        // come first, but the completion must not wait behind a time-out.
        DWORD r = WaitForHandlesAndFds(count + 1, all, nfds ? &wfd : nullptr, nfds,
                                       stored ? 0 : remaining, pumpMessages);
        std::lock_guard lock(mu_);
        waiting_ = false;
        if (r < WAIT_OBJECT_0 + count || (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count))
            return r;
        if (r == WAIT_OBJECT_0 + count) {
            ResetEvent(wake_);
            continue;
        }
        if (r == WAIT_OBJECT_0 + count + 1)
            return WAIT_OBJECT_0 + count;
        if (r == WAIT_IO_FD) {
            if (ProgressLocked(wfd.revents, completion))
                return WAIT_IO_COMPLETION;
            if (TakeStoredLocked(completion))
                return WAIT_IO_COMPLETION;
            continue;
        }
        if (r == WAIT_TIMEOUT) {
            if (TakeStoredLocked(completion))
                return WAIT_IO_COMPLETION;
            if (!stored)
                return WAIT_TIMEOUT;
            continue;
        }
        return r;
    }
}

}  // namespace tarvik

// Serial devices: the runtime's stand-in for the Win32 communications API.
//
// Ports keep their Windows names (COM1, \\.\COM12). A device map resolves them:
// a folder of symbolic links comN -> /dev/ttyXXX, $TARVIK_DOSDEVICES, else
// $XDG_DATA_HOME/tarvik/dosdevices, else ~/.local/share/tarvik/dosdevices. An
// unmapped COMn falls back to /dev/ttyS{n-1}. Names are compared without case.
//
// Reads and writes are event driven, in the manner of overlapped I/O: an
// operation either completes at once or is left pending with the device, and a
// pending operation completes inside SerialDevice::Wait, which the owning
// thread uses for all of its waiting. A read takes exactly one byte from the
// driver and only when it is asked for, so the device never reads ahead of its
// user: bytes the user does not ask for stay in the driver for whoever takes
// the descriptor next.
//
// Errors carry Win32-style codes derived from errno:
//   ENOENT, ENOTDIR          -> ERROR_FILE_NOT_FOUND
//   EACCES, EPERM            -> ERROR_ACCESS_DENIED
//   EBUSY, EWOULDBLOCK       -> ERROR_SHARING_VIOLATION (another opener holds it)
//   EBADF                    -> ERROR_INVALID_HANDLE
//   ENOMEM                   -> ERROR_NOT_ENOUGH_MEMORY
//   EINVAL                   -> ERROR_INVALID_PARAMETER
//   ENOTTY, EOPNOTSUPP       -> ERROR_NOT_SUPPORTED
//   EIO, ENXIO, ENODEV, hang-up, end of file after readable
//                            -> ERROR_DEVICE_NOT_CONNECTED (the device vanished)
//   anything else            -> ERROR_GEN_FAILURE
#pragma once

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarvik/sync.h"
#include "tarvik/types.h"

namespace tarvik {

// Purge flags (PurgeComm).
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Modem-control functions (EscapeCommFunction).
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

// Comm-event mask bits (SetCommMask).
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

// The line settings, with the members of the Win32 DCB that have a meaning
// here. GetCommState fills them from termios; SetCommState writes them back.
struct DCB {
    DWORD BaudRate;
    DWORD fBinary;
    DWORD fParity;
    DWORD fOutxCtsFlow;
    DWORD fOutxDsrFlow;
    DWORD fDtrControl;
    DWORD fDsrSensitivity;
    DWORD fOutX;
    DWORD fInX;
    DWORD fRtsControl;
    DWORD fAbortOnError;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};

// The fifteen standard Win32 baud rates; true when `rate` is one of them.
bool IsStandardBaudRate(LONG rate);

// The device map.
struct DeviceMapEntry {
    std::string name;    // "COM3"
    std::string target;  // "/dev/ttyUSB0"
};
// The folder of the device map (it need not exist).
std::string DeviceMapFolder();
// The device a port name opens: through the map, else the COMn fallback.
// Accepts "COMn" and "\\.\COMn" in any case; empty when the name is no port.
std::string ResolvePortName(const char* name);
// Entries of the map, sorted by port number.
std::vector<DeviceMapEntry> ListDeviceMap();
// Adds or replaces comN -> target; false with errno-derived code in *error.
bool AddDeviceMapEntry(const std::string& name, const std::string& target, DWORD* error);
bool RemoveDeviceMapEntry(const std::string& name, DWORD* error);

// Outcome of an I/O operation.
enum class IoStatus {
    Completed,  // done at once; the result is in the arguments
    Pending,    // left with the device; completes inside Wait
    Failed,     // *error holds the code
};

// A completion reported by SerialDevice::Wait.
struct IoCompletion {
    enum Kind { None, CommEvent, Write, Read } kind = None;
    DWORD error = 0;  // 0 on success
    DWORD bytes = 0;  // bytes transferred (read: 0 or 1)
    BYTE byte = 0;    // the byte a read took
    DWORD mask = 0;   // comm events seen
};

// Wait result for a completion (IoCompletion filled in).
constexpr DWORD WAIT_IO_COMPLETION = 0x000000C0;

// One open serial device. Shared ownership lets a thread keep the device valid
// for as long as it still uses it; Close() ends the use of the descriptor for
// everybody at once.
class SerialDevice {
  public:
    // Opens by Windows-style port name (or by path when the name starts with
    // '/'). Exclusive: TIOCEXCL and flock(LOCK_EX | LOCK_NB), so a second
    // opener fails even as root (who passes TIOCEXCL).
    static std::shared_ptr<SerialDevice> Open(const char* name, DWORD* error);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // The descriptor; -1 once closed.
    int Fd() const { return fd_.load(std::memory_order_acquire); }
    const std::string& Path() const { return path_; }
    // Closes the descriptor; pending operations are forgotten.
    void Close();
    // The descriptor's O_NONBLOCK flag. The device's own operations need it
    // set; a descriptor handed to a host for its data call is blocking.
    bool SetBlocking(bool blocking, DWORD* error = nullptr);

    bool GetCommState(DCB* dcb, DWORD* error = nullptr);
    bool SetCommState(const DCB& dcb, DWORD* error = nullptr);
    // Time-outs are kept with the device (reads and writes here are event
    // driven); the ones found at open are those the device reports first.
    bool GetCommTimeouts(COMMTIMEOUTS* t);
    bool SetCommTimeouts(const COMMTIMEOUTS& t);
    // Driver queue sizes are the kernel's own; accepted and ignored.
    bool SetupComm(DWORD inQueue, DWORD outQueue);
    // RXABORT/TXABORT drop a pending read or write (a dropped read completes
    // with ERROR_OPERATION_ABORTED; a dropped write completes with nothing, so
    // the next write can take its place); RXCLEAR/TXCLEAR flush the driver.
    bool PurgeComm(DWORD flags, DWORD* error = nullptr);
    // SETDTR/CLRDTR/SETRTS/CLRRTS. A pseudo-terminal has no modem-control
    // lines and refuses with ENOTTY/EINVAL: that counts as success.
    bool EscapeCommFunction(DWORD func, DWORD* error = nullptr);
    // Mask 0 completes a pending comm-event wait (with mask 0).
    bool SetCommMask(DWORD mask);

    // Reads one byte: Completed with *out set, Pending when none is there yet
    // (the byte arrives as a Read completion), or Failed. One read at a time:
    // asking again while one is pending leaves that one pending.
    IoStatus ReadByte(BYTE* out, DWORD* error);
    // Writes all of `data`: Completed when the driver took every byte at once,
    // else Pending (the rest is written inside Wait, which reports a Write
    // completion when the last byte is taken), or Failed. One write at a time.
    IoStatus Write(const BYTE* data, DWORD length, DWORD* error);
    // Waits for a comm event. Line-status changes are not observable on every
    // device, so the wait stays pending until the mask is cleared (completes
    // with mask 0) or the device fails or hangs up (completes with an error).
    IoStatus WaitCommEvent(DWORD* error);
    bool ReadPending() const;
    bool WritePending() const;
    // Forgets pending operations and unreported completions (a fresh start
    // for a new owner thread). A pending read has taken no byte, so nothing
    // is lost.
    void ResetIo();

    // The owner's wait: any of `handles`, a completion of a pending operation,
    // a message sent to this thread (pumpMessages), or the time-out. Results:
    // WAIT_OBJECT_0 + i, WAIT_IO_COMPLETION (*completion filled),
    // WAIT_OBJECT_0 + count for a sent message, WAIT_TIMEOUT, WAIT_FAILED.
    // Handles come first, then completions in the order comm event, write,
    // read. Another thread may start a write meanwhile: the wait picks it up.
    DWORD Wait(DWORD count, const HANDLE* handles, DWORD timeoutMs, bool pumpMessages,
               IoCompletion* completion);

  private:
    SerialDevice(int fd, std::string path, HANDLE wake);
    void KickLocked();
    bool ProgressLocked(short revents, IoCompletion* out);
    bool TakeStoredLocked(IoCompletion* out);

    std::atomic<int> fd_;
    std::string path_;
    // Set when another thread changes what the waiting thread must watch.
    HANDLE wake_ = nullptr;

    // Also held by every call on the descriptor, and by Close().
    mutable std::mutex mu_;
    bool waiting_ = false;
    COMMTIMEOUTS timeouts_{};
    // DCB members without a termios meaning, kept so a state read back
    // equals the state written.
    WORD xonLim_ = 0;
    WORD xoffLim_ = 0;
    char errorChar_ = 0;
    char evtChar_ = 0;
    DWORD commMask_ = 0;
    bool readPending_ = false;
    bool writePending_ = false;
    bool commPending_ = false;
    std::vector<BYTE> writeBuf_;
    size_t writeOffset_ = 0;
    // Completions produced outside Wait (cancellations), reported by the next
    // Wait.
    bool storedComm_ = false;
    IoCompletion storedCommResult_;
    bool storedRead_ = false;
    IoCompletion storedReadResult_;
};

}  // namespace tarvik

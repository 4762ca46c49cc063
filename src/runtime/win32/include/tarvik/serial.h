// Serial devices on Windows: the Win32 communications API with overlapped
// I/O, behind the same SerialDevice the port uses on every platform.
//
// Ports are opened by name with CreateFileA ("COM5", "\\.\COM12"). Reads,
// writes and the comm-event wait are overlapped operations, each with an
// OVERLAPPED record and event of its own owned by the device, so their
// buffers stay valid until they complete or are cancelled, whichever thread
// started them. Completions are collected inside SerialDevice::Wait, which
// waits on the owner's handles, the three events and (when asked) sent
// messages with MsgWaitForMultipleObjects.
//
// Error codes are the system's own (GetLastError).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "tarvik/sync.h"
#include "tarvik/types.h"

namespace tarvik {

namespace win32 {
struct Overlapped;
}

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

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

// The members of the Win32 DCB, one field per bit field. GetCommState fills
// all of them; SetCommState writes them into the DCB the driver holds, so
// DCBlength and the reserved members keep the driver's values.
struct DCB {
    DWORD BaudRate;
    DWORD fBinary;
    DWORD fParity;
    DWORD fOutxCtsFlow;
    DWORD fOutxDsrFlow;
    DWORD fDtrControl;
    DWORD fDsrSensitivity;
    DWORD fTXContinueOnXoff;
    DWORD fOutX;
    DWORD fInX;
    DWORD fErrorChar;
    DWORD fNull;
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

bool IsStandardBaudRate(LONG rate);

enum class IoStatus { Completed, Pending, Failed };

struct IoCompletion {
    enum Kind { None, CommEvent, Write, Read } kind = None;
    DWORD error = 0;
    DWORD bytes = 0;
    BYTE byte = 0;
    DWORD mask = 0;
};

constexpr DWORD WAIT_IO_COMPLETION = 0x000000C0;

class SerialDevice {
  public:
    // CreateFileA(name, GENERIC_READ | GENERIC_WRITE, no sharing,
    // OPEN_EXISTING, overlapped | write-through | no buffering).
    static std::shared_ptr<SerialDevice> Open(const char* name, DWORD* error);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // The Win32 handle as a number (kernel handles are 32-bit values even in
    // 64-bit processes); -1 once closed.
    int Fd() const;
    HANDLE Handle() const;
    const std::string& Path() const { return path_; }
    // Cancels what is pending and closes the handle.
    void Close();
    // A Win32 handle opened for overlapped I/O stays so: a host handed the
    // port reads and writes it with OVERLAPPED records. Accepted, changes
    // nothing.
    bool SetBlocking(bool blocking, DWORD* error = nullptr);

    bool GetCommState(DCB* dcb, DWORD* error = nullptr);
    bool SetCommState(const DCB& dcb, DWORD* error = nullptr);
    bool GetCommTimeouts(COMMTIMEOUTS* t);
    bool SetCommTimeouts(const COMMTIMEOUTS& t);
    bool SetupComm(DWORD inQueue, DWORD outQueue);
    bool PurgeComm(DWORD flags, DWORD* error = nullptr);
    bool EscapeCommFunction(DWORD func, DWORD* error = nullptr);
    bool SetCommMask(DWORD mask);

    // Overlapped one-byte read: Completed with *out set, Pending (the byte
    // comes as a Read completion), or Failed.
    IoStatus ReadByte(BYTE* out, DWORD* error);
    IoStatus Write(const BYTE* data, DWORD length, DWORD* error);
    // ClearCommError and WaitCommEvent, again while the wait completes at
    // once (such events are dropped), until one is left pending.
    IoStatus WaitCommEvent(DWORD* error);
    bool ReadPending() const;
    bool WritePending() const;
    // Ends what an earlier owner thread left pending (cancelled, its result
    // dropped), for a fresh start.
    void ResetIo();

    DWORD Wait(DWORD count, const HANDLE* handles, DWORD timeoutMs, bool pumpMessages,
               IoCompletion* completion);

  private:
    SerialDevice(HANDLE handle, std::string path);
    bool Collect(int which, IoCompletion* out);
    // A read that ended with ERROR_BROKEN_PIPE on a port that is still
    // there (see SerialDevice.cpp); called under mu_.
    bool ReadLostToPurge(uint32_t error);

    std::atomic<HANDLE> handle_{nullptr};
    std::string path_;
    mutable std::mutex mu_;
    win32::Overlapped* ovWait_ = nullptr;
    win32::Overlapped* ovWrite_ = nullptr;
    win32::Overlapped* ovRead_ = nullptr;
    bool commPending_ = false;
    bool writePending_ = false;
    bool readPending_ = false;
    std::unique_ptr<BYTE[]> writeBuf_;
    DWORD writeLength_ = 0;
    // Set when an operation did not end when cancelled.
    bool keepRecords_ = false;
    // Reads forgiven by ReadLostToPurge since forgivenSince_ (a tick count);
    // a byte read clears it.
    int forgivenReads_ = 0;
    uint64_t forgivenSince_ = 0;
};

}  // namespace tarvik

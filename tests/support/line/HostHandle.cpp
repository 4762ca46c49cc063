#include "line/HostHandle.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>

#include "pty/PtyPair.h"
#endif

namespace tarvik::test {

#ifdef _WIN32

namespace {
HANDLE AsHandle(int32_t handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

// One overlapped transfer (the line opens its port for overlapped I/O) of up
// to `timeoutMs`, then cancelled; the bytes moved. A cancelled operation the
// system does not give back keeps its record and bytes (on the heap).
DWORD Transfer(HANDLE port, bool write, char* data, DWORD size, DWORD timeoutMs) {
    struct Op {
        OVERLAPPED ov{};
        std::string bytes;
    };
    auto* op = new Op{{}, std::string(data, size)};
    op->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = op->ov.hEvent && (write ? WriteFile(port, op->bytes.data(), size, nullptr, &op->ov)
                                      : ReadFile(port, op->bytes.data(), size, nullptr, &op->ov));
    DWORD done = 0;
    if (ok || (op->ov.hEvent && GetLastError() == ERROR_IO_PENDING)) {
        if (WaitForSingleObject(op->ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(port, &op->ov);
            if (WaitForSingleObject(op->ov.hEvent, 5000) != WAIT_OBJECT_0)
                return 0;  // still the system's: op is not freed
        }
        if (!GetOverlappedResult(port, &op->ov, &done, FALSE))
            done = 0;
        if (!write)
            op->bytes.copy(data, done);
    }
    if (op->ov.hEvent)
        CloseHandle(op->ov.hEvent);
    delete op;
    return done;
}
}  // namespace

bool HostPortWrite(int32_t handle, std::string_view bytes) {
    std::string copy(bytes);
    return Transfer(AsHandle(handle), true, copy.data(), static_cast<DWORD>(copy.size()), 10000) ==
           copy.size();
}

std::string HostPortReadUntil(int32_t handle, const std::string& text,
                              std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string got;
    // A byte at a time: a read completes as soon as anything has come.
    while (got.find(text) == std::string::npos && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        char c = 0;
        if (Transfer(AsHandle(handle), false, &c, 1, static_cast<DWORD>(left.count() + 1)) == 1)
            got += c;
        else
            Sleep(10);  // a read of a gone device fails at once, every time
    }
    return got;
}

bool HostPortIsOpen(int32_t handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(AsHandle(handle), &dcb) != FALSE;
}

long HostPortSpeed(int32_t handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(AsHandle(handle), &dcb) ? static_cast<long>(dcb.BaudRate) : 0;
}

#else

bool HostPortWrite(int32_t handle, std::string_view bytes) {
    return WriteFd(handle, bytes);
}

std::string HostPortReadUntil(int32_t handle, const std::string& text,
                              std::chrono::milliseconds timeout) {
    return ReadFdUntil(handle, text, timeout);
}

bool HostPortIsOpen(int32_t handle) {
    termios t{};
    return fcntl(handle, F_GETFD) != -1 && tcgetattr(handle, &t) == 0;
}

long HostPortSpeed(int32_t handle) {
    termios t{};
    if (tcgetattr(handle, &t) != 0)
        return 0;
    switch (cfgetospeed(&t)) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

#endif

}  // namespace tarvik::test

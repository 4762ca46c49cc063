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

// One overlapped transfer (the line opens its port for overlapped I/O),
// waiting up to `timeoutMs`; the bytes moved.
DWORD Transfer(HANDLE port, bool write, char* data, DWORD size, DWORD timeoutMs) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return 0;
    BOOL ok = write ? WriteFile(port, data, size, nullptr, &ov)
                    : ReadFile(port, data, size, nullptr, &ov);
    DWORD done = 0;
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0)
            CancelIoEx(port, &ov);
        if (!GetOverlappedResult(port, &ov, &done, TRUE))
            done = 0;
    }
    CloseHandle(ov.hEvent);
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

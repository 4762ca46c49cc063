// The host's end of a simulated modem: the slave side of the pseudo-terminal,
// opened as the component opens a serial port, with reads that wait for a
// text up to a time-out.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "pty/PtyPair.h"

namespace tarvik::test {

class HostPort {
  public:
    using Clock = std::chrono::steady_clock;

    // Raw, as the component sets its port: the simulator leaves the terminal
    // at the kernel's cooked defaults, as a real device would be.
    explicit HostPort(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~HostPort() { Close(); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    bool Write(std::string_view bytes) { return WriteFd(fd_, bytes); }
    // Sends `bytes`, then reads until `until` has arrived.
    bool SendUntil(std::string_view bytes, std::string_view until) {
        return Write(bytes) && ReadUntil(until);
    }

    // Reads until everything read so far (since the last Take) contains
    // `text`, or `timeout` passes. Returns whether it did.
    bool ReadUntil(std::string_view text,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        for (const auto deadline = Clock::now() + timeout;
             buffer_.find(text) == std::string::npos;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            std::string more = left.count() > 0 ? ReadFd(fd_, 1, left) : std::string();
            if (more.empty())
                return false;
            buffer_ += more;
        }
        return true;
    }

    // Reads whatever arrives within `window` (for checking that nothing
    // more comes).
    void Drain(std::chrono::milliseconds window) {
        for (const auto deadline = Clock::now() + window;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            std::string more = left.count() > 0 ? ReadFd(fd_, 0, left) : std::string();
            if (more.empty())
                return;
            buffer_ += more;
        }
    }

    // What was read since the last Take, and forgets it.
    std::string Take() {
        std::string out;
        out.swap(buffer_);
        return out;
    }
    const std::string& Buffer() const { return buffer_; }

    int fd() const { return fd_; }

  private:
    int fd_;
    std::string buffer_;
};

}  // namespace tarvik::test

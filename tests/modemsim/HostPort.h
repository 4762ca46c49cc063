// The host's end of a simulated modem: the slave side of the pseudo-terminal,
// opened as the component opens a serial port, with reads that wait for a
// text up to a time-out; and a fixture with a started modem and that port.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "pty/PtyPair.h"
#include "sim/SimModem.h"

namespace tarvik::test {

class HostPort {
  public:
    using Clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

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
    ~HostPort() {
        if (fd_ >= 0)
            close(fd_);
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool Write(std::string_view bytes) { return WriteFd(fd_, bytes); }
    bool SendUntil(std::string_view bytes, std::string_view until) {
        return Write(bytes) && ReadUntil(until);
    }
    // Reads until what was read since the last Take contains `text`.
    bool ReadUntil(std::string_view text, ms timeout = ms(4000)) {
        for (const auto end = Clock::now() + timeout; buffer_.find(text) == std::string::npos;) {
            if (Clock::now() >= end)
                return false;
            buffer_ += ReadFd(fd_, 1, std::chrono::ceil<ms>(end - Clock::now()));
        }
        return true;
    }
    // Reads whatever arrives within `window`, for checking that nothing more comes.
    void Drain(ms window) {
        for (const auto end = Clock::now() + window; Clock::now() < end;)
            buffer_ += ReadFd(fd_, 0, std::chrono::ceil<ms>(end - Clock::now()));
    }
    std::string Take() { return std::exchange(buffer_, {}); }

  private:
    int fd_;
    std::string buffer_;
};

// A modem whose number "1" gives a loopback call, and the host's port on it.
class SimTest : public ::testing::Test {
  protected:
    using State = SimModem::State;

    SimTest() { modem.SetOutcome("1", "CONNECT 9600"); }
    void Open(std::string_view init = "ATE0\r") {
        ASSERT_TRUE(modem.Start());
        host = std::make_unique<HostPort>(modem.SlavePath());
        ASSERT_TRUE(init.empty() || host->SendUntil(init, "OK\r\n"));
        host->Take();
    }
    void Connect() {
        ASSERT_TRUE(host->SendUntil("ATD1\r", "\r\nCONNECT 9600\r\n"));
        ASSERT_TRUE(modem.WaitForState(State::Online));
        host->Take();
    }

    SimModem modem;
    std::unique_ptr<HostPort> host;
};

}  // namespace tarvik::test

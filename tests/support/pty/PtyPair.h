// A pseudo-terminal pair for tests that play the modem: the test holds the
// master, the code under test opens the slave (by path, or by a COM name
// mapped to it in the sandbox's device map).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tarvik::test {

// A terminal's line settings as the device holds them, the same on every
// platform: its speeds in bits per second (-1: one no test uses), VMIN, and
// the flags that are set, by their stty names in the order of termios ("ixon
// cs8 cread clocal"); other bits show as "iflag+<number>".
struct TerminalSettings {
    long inSpeed = 0, outSpeed = 0;
    int minBytes = 0;
    std::string flags;
    bool Has(std::string_view flag) const {
        return (" " + flags + " ").find(" " + std::string(flag) + " ") != std::string::npos;
    }
};

class PtyPair {
  public:
    // keepSlaveOpen: hold a descriptor of the slave for the pair's lifetime,
    // so the master does not see a hang-up whenever the port closes, and so
    // FillSlaveOutput has a way in. The slave starts with the kernel's
    // default (cooked) settings; `sane` sets cooked settings explicitly, as
    // `stty sane` would, over whatever the device held.
    explicit PtyPair(bool keepSlaveOpen = true, bool sane = false);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Valid() const { return master_ >= 0; }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    // Maps COMn to the slave in the sandbox's device map.
    bool MapAs(const std::string& comName) const;

    // The slave's settings (what the port set through it), read at the master.
    TerminalSettings Settings() const;

    // Writes everything to the master (the modem talks).
    bool Write(const std::string& bytes) const;
    // What arrived at the master within `timeout` (stops early once `want`
    // bytes are there; 0: whatever arrived until a quiet 50 ms).
    std::string Read(size_t want, std::chrono::milliseconds timeout) const;
    // Reads until `text` has arrived or `timeout` passes; all bytes read.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds timeout) const;

    // Writes into the slave until its output toward the master is full, so a
    // further write on the slave stays pending. Returns the bytes written.
    size_t FillSlaveOutput() const;

    // Stops (and restarts) the slave's output toward the master, as a modem
    // holding off the computer would: writes on the slave stay pending even
    // after the port flushes its output queue.
    bool HoldSlaveOutput() const;
    bool ReleaseSlaveOutput() const;

    // Closes the master: the device vanishes for the slave side.
    void CloseMaster();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Reads from any descriptor with a time-out: up to `want` bytes; or until
// `text` has arrived.
std::string ReadFd(int fd, size_t want, std::chrono::milliseconds timeout);
std::string ReadFdUntil(int fd, const std::string& text, std::chrono::milliseconds timeout);
// Writes everything to a descriptor, waiting (up to 10 s) while it is full.
bool WriteFd(int fd, std::string_view bytes);

}  // namespace tarvik::test

// Serial port figures on pseudo-terminals:
//   receive throughput of the port (20-byte modem lines, counted at
//   FrameReceived, no log writer) beside plain blocking one-byte reads;
//   latency from the write of "OK\r" to FrameReceived (median, p99);
//   context switches of an open, quiet port over 10 s.
// A plain program: the figures are not what Google Benchmark's loop measures.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty/PtyPair.h"
#include "serial/SerialPort.h"
#include "tarvik/serial.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvik::test::PtyPair;

std::string ModemText(size_t bytes) {
    // 19 characters and CR: one 20-byte line of modem output.
    const std::string line = "+CME: 0123456789ABC\r";
    std::string out;
    while (out.size() + line.size() <= bytes)
        out += line;
    return out;
}

void Feed(const PtyPair& pty, const std::string& data) {
    int fd = pty.Master();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, std::min<size_t>(4096, data.size() - done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

// Counts frames like the line does: fetches each one inside FrameReceived.
class CountingCallback : public IPassThroughCallback {
  public:
    CSerialPort* port = nullptr;
    std::atomic<long> frames{0};
    std::atomic<long> bytes{0};
    std::mutex mu;
    std::condition_variable cv;
    Clock::time_point last;
    long target = 0;  // guarded by mu

    HRESULT QueryInterface(REFIID, void** out) override {
        *out = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Disconnected(LONG) override { return S_OK; }
    HRESULT Connected(LONG) override { return S_OK; }
    HRESULT FatalError(LONG cause, LONG) override {
        std::fprintf(stderr, "fatal error %d\n", cause);
        return S_OK;
    }
    HRESULT TransmitDone() override { return S_OK; }
    HRESULT FrameReceived(LONG number, LONG length) override {
        BYTE buf[512];
        port->GetFrame(buf, sizeof buf, number);
        // Wake the waiting thread only when its count is reached: a wake-up
        // per frame would cost the port time the limit does not pay.
        std::lock_guard lock(mu);
        last = Clock::now();
        bytes += length;
        if (++frames >= target)
            cv.notify_all();
        return S_OK;
    }
    bool WaitFrames(long n, std::chrono::seconds timeout) {
        std::unique_lock lock(mu);
        target = n;
        return cv.wait_for(lock, timeout, [&] { return frames >= n; });
    }
};

double PlainReads(size_t total) {
    PtyPair pty;
    int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    std::string data = ModemText(total);
    auto start = Clock::now();
    std::thread writer([&] { Feed(pty, data); });
    size_t got = 0;
    BYTE b;
    while (got < data.size() && read(fd, &b, 1) == 1)
        ++got;
    auto secs = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    close(fd);
    return static_cast<double>(got) / secs / 1e6;
}

struct PortRig {
    PtyPair pty;
    CountingCallback cb;
    CSerialPort port;
    PortRig() {
        static int next = 40;
        std::string com = "COM" + std::to_string(next++);
        pty.MapAs(com);
        cb.port = &port;
        port.CreatePort(com.c_str());
        port.SetCallback(&cb);
        port.SetMaxFrameLength(100);
        if (port.OpenPort(false) != SP_OK) {
            std::fprintf(stderr, "cannot open the port\n");
            std::exit(1);
        }
    }
    ~PortRig() {
        port.ClosePort(true);
        port.DestroyPort();
    }
};

double PortReads(size_t total) {
    PortRig rig;
    std::string data = ModemText(total);
    long lines = static_cast<long>(data.size() / 20);
    {
        std::lock_guard lock(rig.cb.mu);
        rig.cb.target = lines;
    }
    auto start = Clock::now();
    std::thread writer([&] { Feed(rig.pty, data); });
    if (!rig.cb.WaitFrames(lines, std::chrono::seconds(120)))
        std::fprintf(stderr, "frames missing\n");
    auto secs = std::chrono::duration<double>(rig.cb.last - start).count();
    writer.join();
    return static_cast<double>(rig.cb.bytes.load()) / secs / 1e6;
}

void Latency(int rounds) {
    PortRig rig;
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        long before = rig.cb.frames;
        auto t0 = Clock::now();
        if (write(rig.pty.Master(), "OK\r", 3) != 3)
            break;
        rig.cb.WaitFrames(before + 1, std::chrono::seconds(5));
        us.push_back(std::chrono::duration<double, std::micro>(rig.cb.last - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("latency \"OK\\r\" -> FrameReceived: median %.1f us, p99 %.1f us (%zu rounds)\n",
                us[us.size() / 2], us[us.size() * 99 / 100], us.size());
}

long ContextSwitches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

void QuietPort(int seconds) {
    PortRig rig;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long before = ContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long after = ContextSwitches();
    std::printf(
        "quiet open port: %ld context switches in %d s (the sleeping main thread included)\n",
        after - before, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/tarvik-bench-XXXXXX";
    const char* root = mkdtemp(tmpl);
    if (!root)
        return 2;
    setenv("TARVIK_DOSDEVICES", (fs::path(root) / "dosdevices").c_str(), 1);
    setenv("TARVIK_REGISTRY", (fs::path(root) / "registry.reg").c_str(), 1);
    size_t total = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 400000;
    int quiet = argc > 2 ? std::atoi(argv[2]) : 10;

    // Alternating rounds, so both sides see the same (shared, noisy) machine.
    std::vector<double> ratios;
    for (int round = 0; round < 5; ++round) {
        double plain = PlainReads(total);
        double port = PortReads(total);
        ratios.push_back(port / plain);
        std::printf("receive: plain 1-byte reads %.3f MB/s, port %.3f MB/s (%.0f%%), %zu bytes\n",
                    plain, port, 100.0 * port / plain, total);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("receive: median port/plain %.0f%%\n", 100.0 * ratios[ratios.size() / 2]);
    Latency(2000);
    if (quiet > 0)
        QuietPort(quiet);
    fs::remove_all(root);
    return 0;
}

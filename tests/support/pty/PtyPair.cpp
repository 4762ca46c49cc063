#include "pty/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "tarvik/serial.h"

namespace tarvik::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Names the bits of `value` found in `names`; the rest shows as one number.
void NameFlags(std::string* out, const char* field, tcflag_t value,
               std::initializer_list<std::pair<tcflag_t, const char*>> names) {
    for (const auto& [bit, name] : names) {
        if ((value & bit) == bit) {
            *out += (out->empty() ? "" : " ") + std::string(name);
            value &= ~bit;
        }
    }
    if (value != 0)
        *out += (out->empty() ? "" : " ") + std::string(field) + "+" + std::to_string(value);
}

}  // namespace

TerminalSettings PtyPair::Settings() const {
    TerminalSettings s;
    termios t{};
    if (master_ < 0 || tcgetattr(master_, &t) != 0)
        return s;
    auto bps = [](speed_t speed) {
        return speed == B300 ? 300 : speed == B9600 ? 9600 : speed == B115200 ? 115200 : -1;
    };
    s.inSpeed = bps(cfgetispeed(&t));
    s.outSpeed = bps(cfgetospeed(&t));
    s.minBytes = t.c_cc[VMIN];
    // clang-format off
    NameFlags(&s.flags, "iflag", t.c_iflag,
              {{INPCK, "inpck"}, {ICRNL, "icrnl"}, {IXON, "ixon"}, {IXOFF, "ixoff"}});
    NameFlags(&s.flags, "oflag", t.c_oflag, {{OPOST, "opost"}});
    NameFlags(&s.flags, "cflag", t.c_cflag & ~(CBAUD | CBAUDEX | CIBAUD),  // the speeds' bits
              {{CS8, "cs8"}, {CSTOPB, "cstopb"}, {CREAD, "cread"}, {PARENB, "parenb"},
               {HUPCL, "hupcl"}, {CLOCAL, "clocal"}, {CRTSCTS, "crtscts"}});
    NameFlags(&s.flags, "lflag", t.c_lflag, {{ISIG, "isig"}, {ICANON, "icanon"}, {ECHO, "echo"}});
    // clang-format on
    return s;
}

PtyPair::PtyPair(bool keepSlaveOpen, bool sane) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        close(master_);
        master_ = -1;
        return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    // The slave keeps the settings a terminal starts with (cooked: echo, line
    // editing, CR/LF translation, XON/XOFF), as a real device would: the
    // port must make it raw itself. `sane` applies such settings explicitly,
    // for a device that some earlier user left otherwise.
    int s = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s >= 0) {
        if (sane) {
            termios t{};
            tcgetattr(s, &t);
            t.c_iflag = BRKINT | ICRNL | IXON | IMAXBEL | IUTF8;
            t.c_oflag = OPOST | ONLCR;
            t.c_cflag = (t.c_cflag & (CBAUD | CBAUDEX)) | CS8 | CREAD | HUPCL;
            t.c_lflag = ISIG | ICANON | IEXTEN | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE;
            tcsetattr(s, TCSANOW, &t);
        }
        if (keepSlaveOpen)
            slave_ = s;
        else
            close(s);
    }
}

PtyPair::~PtyPair() {
    if (slave_ >= 0)
        close(slave_);
    CloseMaster();
}

bool PtyPair::MapAs(const std::string& comName) const {
    return AddDeviceMapEntry(comName, slavePath_, nullptr);
}

bool WriteFd(int fd, std::string_view bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
    }
    return true;
}

bool PtyPair::Write(const std::string& bytes) const {
    return WriteFd(master_, bytes);
}

std::string ReadFd(int fd, size_t want, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = Clock::now() + timeout;
    char buf[4096];
    while (want == 0 || out.size() < want) {
        int wait = MsLeft(deadline);
        if (want == 0 && !out.empty())
            wait = std::min(wait, 50);
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, wait);
        if (rc <= 0)
            break;
        size_t room = want == 0 ? sizeof buf : std::min(sizeof buf, want - out.size());
        ssize_t n = read(fd, buf, room);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::string PtyPair::Read(size_t want, std::chrono::milliseconds timeout) const {
    return ReadFd(master_, want, timeout);
}

std::string ReadFdUntil(int fd, const std::string& text, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = Clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
        int left = MsLeft(deadline);
        if (left == 0)
            break;
        std::string more = ReadFd(fd, 1, std::chrono::milliseconds(left));
        if (more.empty())
            break;
        out += more;
    }
    return out;
}

std::string PtyPair::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) const {
    return ReadFdUntil(master_, text, timeout);
}

size_t PtyPair::FillSlaveOutput() const {
    if (slave_ < 0)
        return 0;
    size_t total = 0;
    char buf[1024] = {};
    for (int quiet = 0; quiet < 3;) {
        ssize_t n = write(slave_, buf, sizeof buf);
        if (n > 0) {
            total += static_cast<size_t>(n);
            quiet = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        // The line discipline moves data along in the background; full means
        // still refusing after a short pause.
        ++quiet;
        usleep(20000);
    }
    return total;
}

bool PtyPair::HoldSlaveOutput() const {
    return slave_ >= 0 && tcflow(slave_, TCOOFF) == 0;
}

bool PtyPair::ReleaseSlaveOutput() const {
    return slave_ >= 0 && tcflow(slave_, TCOON) == 0;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

}  // namespace tarvik::test

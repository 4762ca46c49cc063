#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Kernel.h"

namespace tarvik::rt {

Signal::Signal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Signal::~Signal() {
    if (fd_ >= 0)
        close(fd_);
}

void Signal::Raise() {
    if (raised_ || fd_ < 0)
        return;
    uint64_t one = 1;
    // The counter is 0 here (Lower reads it back), so this cannot block or
    // overflow; EINTR is the only transient failure.
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    raised_ = true;
}

void Signal::Lower() {
    if (!raised_ || fd_ < 0)
        return;
    uint64_t value;
    while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
    raised_ = false;
}

}  // namespace tarvik::rt

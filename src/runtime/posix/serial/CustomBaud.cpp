#include "serial/CustomBaud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would pull in glibc's termios definitions, which clash with
// the kernel's termios2 above.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace tarvik::serial_detail {

bool SetCustomBaud(int fd, unsigned rate) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0)
        return false;
    t2.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t2.c_ispeed = rate;
    t2.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t2) == 0;
}

bool GetNumericBaud(int fd, unsigned* rate) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0)
        return false;
    *rate = t2.c_ospeed;
    return true;
}

}  // namespace tarvik::serial_detail

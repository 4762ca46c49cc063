// Baud rates without a Bxxx constant go through termios2 and BOTHER, which
// cannot share a translation unit with glibc's <termios.h>.
#pragma once

namespace tarvik::serial_detail {

// Sets input and output speed to `rate` with BOTHER; false with errno set.
bool SetCustomBaud(int fd, unsigned rate);
// The output speed as a number (whatever way it was set); false with errno set.
bool GetNumericBaud(int fd, unsigned* rate);

}  // namespace tarvik::serial_detail

// The POSIX file calls of the companions, mapped onto the C runtime of
// Windows (force-included by cmake/Windows.cmake).
#pragma once

#include <fcntl.h>
#include <io.h>

// Log and event lines are written as they are: no newline translation.
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_BINARY
#endif
// _commit flushes the C runtime's file to the disk (FlushFileBuffers).
#define fdatasync _commit

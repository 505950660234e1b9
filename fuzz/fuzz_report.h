// Failure reports of the fuzz targets. scripts/fuzz.sh runs the targets with
// standard error closed (-close_fd_mask=2) so that the code under test does
// not flood the log; a copy of it taken before main keeps the targets' own
// reports visible.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace kxfuzz {

inline int g_reportFd = dup(2);

// Prints the failed check and ends the run (libFuzzer saves the input).
[[noreturn]] inline void Fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vdprintf(g_reportFd, format, args);
    va_end(args);
    dprintf(g_reportFd, "\n");
    abort();
}

} // namespace kxfuzz

// The wide printf engine of coredll (format.cpp), shared by wsprintfW, the
// strsafe functions and debug output.
#pragma once

#include <windows.h>

#include <stdarg.h>

namespace kx {

// Formats `format` with Microsoft's wide rules into dest, writing at most
// `capacity` characters and never a terminator. Returns the length the
// whole result has (which may exceed capacity). Floating-point conversions
// are done through the C library when allowFloat is set; otherwise they are
// not supported and print their conversion letter, as wsprintfW does.
size_t FormatWide(WCHAR *dest, size_t capacity, const WCHAR *format, va_list args, bool allowFloat);

} // namespace kx

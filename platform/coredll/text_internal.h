// Shared pieces of coredll's text support: the wide printf engine and case
// mapping.
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

// Simple case mapping of the characters Windows CE maps (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic); others map to themselves.
WCHAR ToLower16(WCHAR c);
WCHAR ToUpper16(WCHAR c);

} // namespace kx

// Code-page conversion and wide-text helpers of the host platform.
//
// WCHAR is char16_t here, so the C library's wcs* functions (which take the
// host's 32-bit wchar_t) cannot serve. coredll provides the 16-bit versions
// that the target's C runtime has, as C++ overloads on WCHAR.
#pragma once

#include "windef.h"
#include <stdarg.h>
#ifdef __cplusplus
// The C library's wchar_t functions are declared (and brought into std)
// first, so that std:: keeps naming only them and our WCHAR overloads below
// stay out of the standard library's way.
#include <cwchar>
#include <cstdlib>
#include <cstring>
#endif

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define CP_LATIN1 28591
#define MB_PRECOMPOSED 0x00000001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

#ifdef __cplusplus
extern "C" {
#endif

// CP_ACP and CP_OEMCP are Windows-1252 (the target's Western code page);
// CP_LATIN1 is ISO 8859-1; CP_UTF8 is UTF-8. A count of -1 means "up to and
// including the terminating zero". A destination size of 0 asks for the size.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceCount, LPWSTR dest,
                        int destCount);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceCount, LPSTR dest,
                        int destCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);

int lstrlenW(LPCWSTR s);
LPWSTR lstrcpyW(LPWSTR dest, LPCWSTR source);
LPWSTR lstrcpynW(LPWSTR dest, LPCWSTR source, int max);
LPWSTR lstrcatW(LPWSTR dest, LPCWSTR source);
int lstrcmpW(LPCWSTR a, LPCWSTR b);
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
WCHAR towlower16(WCHAR c);
WCHAR towupper16(WCHAR c);

// Microsoft's formatting rules for wide formats: %s and %c take wide text,
// %hs and %hc 8-bit text, %ls and %lc wide text; %S is 8-bit text.
// wsprintfW writes at most 1024 characters, as on the target.
int wsprintfW(LPWSTR dest, LPCWSTR format, ...);
int wvsprintfW(LPWSTR dest, LPCWSTR format, va_list args);
// Writes at most count characters; returns the length, or -1 when the
// text did not fit (then dest holds count characters, not terminated).
int _snwprintf(WCHAR *dest, size_t count, const WCHAR *format, ...);
int _vsnwprintf(WCHAR *dest, size_t count, const WCHAR *format, va_list args);

#ifdef __cplusplus
}

// <cwchar> first: its `using ::wcstol;` and friends must see only the C
// library's functions, or std::stol and the like stop compiling.
#include <cwchar>

// The target C runtime's wide-string functions, for 16-bit WCHAR.
size_t wcslen(const WCHAR *s);
size_t wcsnlen(const WCHAR *s, size_t max);
WCHAR *wcscpy(WCHAR *dest, const WCHAR *source);
WCHAR *wcsncpy(WCHAR *dest, const WCHAR *source, size_t count);
WCHAR *wcscat(WCHAR *dest, const WCHAR *source);
WCHAR *wcsncat(WCHAR *dest, const WCHAR *source, size_t count);
int wcscmp(const WCHAR *a, const WCHAR *b);
int wcsncmp(const WCHAR *a, const WCHAR *b, size_t count);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t count);
const WCHAR *wcschr(const WCHAR *s, WCHAR c);
WCHAR *wcschr(WCHAR *s, WCHAR c);
const WCHAR *wcsrchr(const WCHAR *s, WCHAR c);
WCHAR *wcsrchr(WCHAR *s, WCHAR c);
const WCHAR *wcsstr(const WCHAR *s, const WCHAR *find);
WCHAR *wcsstr(WCHAR *s, const WCHAR *find);
unsigned long wcstoul(const WCHAR *s, WCHAR **end, int base);
long wcstol(const WCHAR *s, WCHAR **end, int base);
int swprintf(WCHAR *dest, size_t count, const WCHAR *format, ...);
#endif

// Safe string functions (strsafe) for wide text on the host platform.
#pragma once

#include "windef.h"
#include <stdarg.h>

#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)
#define STRSAFE_MAX_CCH 2147483647

#ifdef __cplusplus
extern "C" {
#endif

// Each writes at most cchDest characters including the terminator and
// always terminates (unless cchDest is 0). A result that did not fit is cut
// and STRSAFE_E_INSUFFICIENT_BUFFER returned.
HRESULT StringCchPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, ...);
HRESULT StringCchVPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list args);
HRESULT StringCchCopyW(LPWSTR dest, size_t cchDest, LPCWSTR source);
HRESULT StringCchCopyNW(LPWSTR dest, size_t cchDest, LPCWSTR source, size_t cchSource);
HRESULT StringCchCatW(LPWSTR dest, size_t cchDest, LPCWSTR source);
HRESULT StringCchLengthW(LPCWSTR s, size_t cchMax, size_t *length);
HRESULT StringCchPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, ...);
HRESULT StringCchCopyA(LPSTR dest, size_t cchDest, LPCSTR source);
HRESULT StringCchLengthA(LPCSTR s, size_t cchMax, size_t *length);

#ifdef __cplusplus
}
#endif

// Text in tests that build for both WCHARs from the same source: this
// platform's (char16_t) and Windows' own (wchar_t, the Wine lane). Literals
// are written TEXT("...") and TEXT('x'), strings kxtest::WString.
//
// The same tests also tell which platform they run on:
//   KX_TEST_HOOKS       1 where the kxtest hooks (kx_platform_test.h and the
//                       rest) and the POSIX host are there; tests that need
//                       them are inside #if KX_TEST_HOOKS.
//   KX_CE_BEHAVIOUR(t)  true on this platform, which follows Windows CE,
//                       false on a desktop Win32; t is the title of the
//                       Microsoft document that describes the CE behaviour
//                       that the test then checks (docs/wine-differences.md).
#pragma once

#include <windows.h>

#include <string>

#if defined(_WIN32)
#define KX_TEST_HOOKS 0
#else
#define KX_TEST_HOOKS 1
#endif

#define KX_CE_BEHAVIOUR(document_title) (KX_TEST_HOOKS != 0)

namespace kxtest {

using WString = std::basic_string<WCHAR>;

} // namespace kxtest

#if !KX_TEST_HOOKS
// The platform's UTF-16 case mapping (winnls.h) is user32's on Windows
// (CharLowerW and CharUpperW of one character), so the same expectations
// hold against both.
inline WCHAR towlower16(WCHAR c) {
    return WCHAR(reinterpret_cast<ULONG_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(ULONG_PTR(c)))));
}
inline WCHAR towupper16(WCHAR c) {
    return WCHAR(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(ULONG_PTR(c)))));
}
// The platform names ISO 8859-1 by its code page identifier.
#define CP_LATIN1 28591
#endif

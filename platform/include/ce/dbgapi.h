// Debug output of Windows CE: printf-style, wide format (Microsoft's rules:
// %s wide, %hs 8-bit). On the host it goes to KX_DEBUG_LOG (UTF-8, appended)
// or standard error.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

void NKDbgPrintfW(const WCHAR *format, ...);

#ifdef __cplusplus
}
#endif

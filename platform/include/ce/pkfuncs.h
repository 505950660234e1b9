// Kernel functions of Windows CE available to drivers and applets.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Passes a control code to the kernel / OEM adaptation layer. TRUE on
// success; FALSE with the last error set otherwise (ERROR_NOT_SUPPORTED for
// a code the platform does not know).
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);

#ifdef __cplusplus
}
#endif

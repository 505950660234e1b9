// cecore.dll for the Wine lane: the target kernel's calls that desktop
// Windows lacks (on the handheld they are part of coredll). KernelIoControl
// answers the platform question that control-panel applets ask when they
// start (0x01012A50, a 4-byte input, a 4-byte answer: 5, the handheld's
// platform); every other code is not supported. NKDbgPrintfW is shared with
// the link-time cecore.dll (windows/stubs/nk_debug_print.cpp).
#include <windows.h>

#include <pkfuncs.h>

#include <string.h>

namespace {
const DWORD kPlatformQuestion = 0x01012A50;
const DWORD kPlatformAnswer = 5;
} // namespace

extern "C" BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                                LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    if (lpBytesReturned != NULL)
        *lpBytesReturned = 0;
    if (dwIoControlCode != kPlatformQuestion) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (lpInBuf == NULL || nInBufSize < sizeof(DWORD) || lpOutBuf == NULL ||
        nOutBufSize < sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memcpy(lpOutBuf, &kPlatformAnswer, sizeof(kPlatformAnswer));
    if (lpBytesReturned != NULL)
        *lpBytesReturned = sizeof(kPlatformAnswer);
    return TRUE;
}

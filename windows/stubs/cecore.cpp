// Link-time stand-in for the target kernel's calls that desktop Windows does
// not have (on the target they live in coredll beside the rest of the
// kernel). KernelIoControl fails; NKDbgPrintfW is in nk_debug_print.cpp.
#include <windows.h>

#if __has_include(<pkfuncs.h>)
#include <pkfuncs.h>
#endif

extern "C" {

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = 0;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

} // extern "C"

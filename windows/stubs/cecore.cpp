// Link-time stand-in for the target kernel's calls that desktop Windows does
// not have (on the target they live in coredll beside the rest of the
// kernel). KernelIoControl fails; the debug output goes to the debugger.
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

// Microsoft's format rules (%s wide, %hs 8-bit), as on the target; output
// longer than wvsprintfW's 1024 characters is cut.
void NKDbgPrintfW(const WCHAR *format, ...) {
    WCHAR text[1025];
    va_list args;
    va_start(args, format);
    wvsprintfW(text, format, args);
    va_end(args);
    OutputDebugStringW(text);
}

} // extern "C"

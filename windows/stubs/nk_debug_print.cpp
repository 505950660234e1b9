// NKDbgPrintfW, the target kernel's debug output, on Windows: formatted and
// handed to the debugger (OutputDebugStringW). Shared by the link-time
// cecore.dll and the Wine lane's.
#include <windows.h>

#include <stdarg.h>

extern "C" {

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

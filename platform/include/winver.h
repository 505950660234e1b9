// Version resources of the host platform (coredll), with Win32 semantics.
//
// A file name beginning with "\" names a file under the device root
// (KX_DEVICE_ROOT; names compare case-insensitively). A file carries a
// version resource when it is a library built with a .rc file (the compiled
// resources sit in its ".kxrsrc" section), a compiled resource file (.res)
// itself, or a PE image with a resource directory.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FF_DEBUG 0x00000001L
#define VOS_WINCE 0x00050000L
#define VOS__WINDOWS32 0x00000004L
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L

typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

// Size in bytes of the file's version resource; 0 (with the error set) when
// the file is missing or has none. *handle is set to 0.
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// Copies the version resource (at most size bytes) into data.
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
// "\" gives the VS_FIXEDFILEINFO, "\VarFileInfo\Translation" the language
// and code-page pairs (length in bytes), "\StringFileInfo\<lang><cp>\<name>"
// a string (length in characters, terminator included). Keys compare
// case-insensitively. The pointer points into block.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID *buffer, PUINT length);

#define GetFileVersionInfoSize GetFileVersionInfoSizeW
#define GetFileVersionInfo GetFileVersionInfoW
#define VerQueryValue VerQueryValueW

#ifdef __cplusplus
}
#endif

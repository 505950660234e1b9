// Windows Mobile shell (aygshell): the menu bar of a dialog or window.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

// 36 bytes on the 32-bit target.
typedef struct tagSHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;

// Creates the menu bar window (class "menu_worker") at the bottom of the
// screen, owned by hwndParent; stores it in hwndMB. With SHCMBF_EMPTYBAR no
// tool-bar resource is read.
BOOL SHCreateMenuBar(SHMENUBARINFO *pmbi);

#ifdef __cplusplus
}
#endif

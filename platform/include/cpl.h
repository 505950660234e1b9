// Control-panel applets: the messages a control-panel host sends to an
// applet's CPlApplet entry and the record that describes an entry.
#pragma once

#include "windef.h"

#define WM_CPL_LAUNCH (0x0400 + 1000)
#define WM_CPL_LAUNCHED (0x0400 + 1001)

#define CPL_DYNAMIC_RES 0
#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8
#define CPL_STARTWPARMSA 9
#define CPL_STARTWPARMSW 10
#define CPL_STARTWPARMS CPL_STARTWPARMSW
#define CPL_SETUP 200

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG(APIENTRY *APPLET_PROC)(HWND hwndCpl, UINT msg, LPARAM lParam1, LPARAM lParam2);

// Both records are byte-packed, as in Windows' own cpl.h: 20 and 476 bytes
// on x86-64, 16 and 468 on the 32-bit target.
#pragma pack(push, 1)
typedef struct tagCPLINFO {
    int idIcon;
    int idName;
    int idInfo;
    LONG_PTR lData;
} CPLINFO, *LPCPLINFO;

typedef struct tagNEWCPLINFOW {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwHelpContext;
    LONG_PTR lData;
    HICON hIcon;
    WCHAR szName[32];
    WCHAR szInfo[64];
    WCHAR szHelpFile[128];
} NEWCPLINFOW, *LPNEWCPLINFOW;
#pragma pack(pop)
typedef NEWCPLINFOW NEWCPLINFO;
typedef LPNEWCPLINFOW LPNEWCPLINFO;

#ifdef __cplusplus
}
#endif

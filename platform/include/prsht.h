// Property sheets of the host platform (commctrl), with Windows CE
// semantics: PropertySheetW runs the sheet modally on the calling thread.
//
// On the host there is no user: the sheet follows a script of user actions
// when one is set (see platform/testing/kx_sheet_test.h, or the environment
// variable KX_SHEET_SCRIPT), else it is closed at once after it was shown.
#pragma once

#include "windef.h"
#include "winuser.h"
#include "ce/prshtce.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _PSP;
typedef struct _PSP *HPROPSHEETPAGE;

// Flags of a page.
#define PSP_DEFAULT 0x00000000
#define PSP_DLGINDIRECT 0x00000001
#define PSP_USEHICON 0x00000002
#define PSP_USEICONID 0x00000004
#define PSP_USETITLE 0x00000008
#define PSP_RTLREADING 0x00000010
#define PSP_HASHELP 0x00000020
#define PSP_USEREFPARENT 0x00000040
#define PSP_USECALLBACK 0x00000080
#define PSP_PREMATURE 0x00000400

struct _PROPSHEETPAGEW;
typedef UINT(CALLBACK *LPFNPSPCALLBACKW)(HWND hwnd, UINT message, struct _PROPSHEETPAGEW *page);

// 40 bytes on the 32-bit target.
typedef struct _PROPSHEETPAGEW {
    DWORD dwSize;
    DWORD dwFlags;
    HINSTANCE hInstance;
    union {
        LPCWSTR pszTemplate;
        LPCDLGTEMPLATE pResource;
    };
    union {
        HICON hIcon;
        LPCWSTR pszIcon;
    };
    LPCWSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;
    LPFNPSPCALLBACKW pfnCallback;
    UINT *pcRefParent;
} PROPSHEETPAGEW, *LPPROPSHEETPAGEW;
typedef const PROPSHEETPAGEW *LPCPROPSHEETPAGEW;
typedef PROPSHEETPAGEW PROPSHEETPAGE;
typedef LPPROPSHEETPAGEW LPPROPSHEETPAGE;
typedef LPCPROPSHEETPAGEW LPCPROPSHEETPAGE;

// Flags of a sheet.
#define PSH_DEFAULT 0x00000000
#define PSH_PROPTITLE 0x00000001
#define PSH_USEHICON 0x00000002
#define PSH_USEICONID 0x00000004
#define PSH_PROPSHEETPAGE 0x00000008
#define PSH_WIZARD 0x00000020
#define PSH_USEPSTARTPAGE 0x00000040
#define PSH_NOAPPLYNOW 0x00000080
#define PSH_USECALLBACK 0x00000100
#define PSH_HASHELP 0x00000200
#define PSH_MODELESS 0x00000400

typedef int(CALLBACK *PFNPROPSHEETCALLBACK)(HWND hwnd, UINT message, LPARAM lParam);

// Sheet callback messages (PSCB_GETVERSION and PSCB_GETTITLE: ce/prshtce.h).
#define PSCB_INITIALIZED 1
#define PSCB_PRECREATE 2

// 40 bytes on the 32-bit target.
typedef struct _PROPSHEETHEADERW {
    DWORD dwSize;
    DWORD dwFlags;
    HWND hwndParent;
    HINSTANCE hInstance;
    union {
        HICON hIcon;
        LPCWSTR pszIcon;
    };
    LPCWSTR pszCaption;
    UINT nPages;
    union {
        UINT nStartPage;
        LPCWSTR pStartPage;
    };
    union {
        LPCPROPSHEETPAGEW ppsp;
        HPROPSHEETPAGE *phpage;
    };
    PFNPROPSHEETCALLBACK pfnCallback;
} PROPSHEETHEADERW, *LPPROPSHEETHEADERW;
typedef const PROPSHEETHEADERW *LPCPROPSHEETHEADERW;
typedef PROPSHEETHEADERW PROPSHEETHEADER;
typedef LPPROPSHEETHEADERW LPPROPSHEETHEADER;
typedef LPCPROPSHEETHEADERW LPCPROPSHEETHEADER;

// Notifications a page gets through WM_NOTIFY.
#define PSN_FIRST (0U - 200U)
#define PSN_LAST (0U - 299U)
#define PSN_SETACTIVE (PSN_FIRST - 0)
#define PSN_KILLACTIVE (PSN_FIRST - 1)
#define PSN_APPLY (PSN_FIRST - 2)
#define PSN_RESET (PSN_FIRST - 3)
#define PSN_HELP (PSN_FIRST - 5)
#define PSN_QUERYCANCEL (PSN_FIRST - 9)
#define PSNRET_NOERROR 0
#define PSNRET_INVALID 1

typedef struct _PSHNOTIFY {
    NMHDR hdr;
    LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;

#define ID_PSRESTARTWINDOWS 0x2
#define ID_PSREBOOTSYSTEM (ID_PSRESTARTWINDOWS | 0x1)

// Runs the sheet modally. Result: 1 when the sheet was closed with OK,
// 0 when cancelled or closed, -1 on failure (bad record, template missing).
INT_PTR PropertySheetW(LPCPROPSHEETHEADERW header);
#define PropertySheet PropertySheetW

#ifdef __cplusplus
}
#endif

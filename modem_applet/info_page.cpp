// The information sheet, its page and the HAC audio option.
#include "ModemAbout.h"
#include "resource_ids.h"

#include <string.h>

static const int RowX = 20;
static const int RowWidth = 400;
static const int RowHeight = 40;
static const LONG FirstRowY = 10;
static const int CommonControlsVersion = 0x20E;

static const WCHAR HacKey[] = TEXT("Software\\RIL\\Audio");
static const WCHAR HacValue[] = TEXT("HACMode");

void ShowInfoSheet(void) {
    PROPSHEETPAGEW page;
    memset(&page, 0, sizeof(page));
    page.dwSize = sizeof(page);
    page.dwFlags = 0;
    page.hInstance = Applet.moduleInstance;
    page.pszTemplate = MAKEINTRESOURCEW(IDD_INFO_PAGE);
    page.hIcon = NULL;
    page.pszTitle = TEXT("ModemAbout");
    page.pfnDlgProc = InfoPageProc;
    page.lParam = 0;
    page.pfnCallback = NULL;
    page.pcRefParent = NULL;

    PROPSHEETHEADERW sheet;
    memset(&sheet, 0, sizeof(sheet));
    sheet.dwSize = sizeof(sheet);
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK | PSH_MAXIMIZE;
    sheet.hwndParent = NULL;
    sheet.hInstance = Applet.moduleInstance;
    sheet.hIcon = NULL;
    sheet.pszCaption = TEXT("ModemAbout");
    sheet.nPages = 1;
    sheet.nStartPage = 0;
    sheet.ppsp = &page;
    sheet.pfnCallback = SheetCallback;

    PropertySheetW(&sheet);
}

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam) {
    switch (message) {
    case PSCB_PRECREATE: {
        // The template need not be aligned: its style is read and written
        // byte by byte (little-endian).
        BYTE *style = (BYTE *)lParam;
        DWORD value = (DWORD)style[0] | ((DWORD)style[1] << 8) | ((DWORD)style[2] << 16) |
                      ((DWORD)style[3] << 24);
        value &= ~(DWORD)WS_POPUP;
        style[0] = (BYTE)value;
        style[1] = (BYTE)(value >> 8);
        style[2] = (BYTE)(value >> 16);
        style[3] = (BYTE)(value >> 24);
        return 0;
    }
    case PSCB_GETVERSION:
        return CommonControlsVersion;
    case PSCB_GETTITLE: {
        static const WCHAR title[] = TEXT("RIL Information");
        memcpy((WCHAR *)lParam, title, sizeof(title));
        return 0;
    }
    default:
        return 0;
    }
}

INT_PTR CALLBACK InfoPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SHMENUBARINFO menuBar;
        memset(&menuBar, 0, sizeof(menuBar));
        menuBar.cbSize = sizeof(menuBar);
        menuBar.hwndParent = page;
        menuBar.dwFlags = SHCMBF_EMPTYBAR;
        SHCreateMenuBar(&menuBar);
        FillInfoPage(page);
        CreateHacOption(page);
        return TRUE;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            // The automatic checkbox has toggled itself; store what it shows.
            LRESULT state = SendMessageW((HWND)lParam, BM_GETCHECK, 0, 0);
            RegistrySetDWORD(HKEY_LOCAL_MACHINE, HacKey, HacValue, state == BST_CHECKED ? 1 : 0);
        }
        return TRUE;
    case WM_NOTIFY:
        return TRUE;
    case WM_CLOSE:
    case WM_DESTROY:
        EndDialog(page, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

void AddInfoRow(HWND page, LPCWSTR text) {
    HWND row = CreateWindowExW(0, TEXT("STATIC"), NULL, WS_CHILD | WS_VISIBLE | SS_LEFT, RowX,
                               Applet.nextRowY, RowWidth, RowHeight, page, (HMENU)0,
                               Applet.moduleInstance, NULL);
    if (row == NULL)
        return; // the next row takes this one's place
    SetWindowTextW(row, text);
    Applet.nextRowY += RowHeight;
}

void FillInfoPage(HWND page) {
    // Each building of the page starts at the top; a page built again during
    // the same load (after CPL_EXIT) must not continue below the last one.
    Applet.nextRowY = FirstRowY;
    QueryModemIdentification(page);
    ShowDriverVersions(page);
}

void CreateHacOption(HWND page) {
    HWND option = CreateWindowExW(0, TEXT("BUTTON"), TEXT("Use HAC Audio Mode"),
                                  WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, RowX, Applet.nextRowY,
                                  RowWidth, RowHeight, page, (HMENU)0, Applet.moduleInstance, NULL);
    if (option == NULL) {
        NKDbgPrintfW(TEXT("ModemAboutUI: Failed to create option for HAC audio mode.\r\n"));
        return;
    }
    DWORD mode = 0;
    RegistryGetDWORD(HKEY_LOCAL_MACHINE, HacKey, HacValue, &mode);
    if (mode == 1)
        SendMessageW(option, BM_SETCHECK, BST_CHECKED, 0);
}

// ModemAbout: the control-panel applet that shows the module's
// identification, the versions of the radio drivers and the HAC audio
// option. One static record, AppletState, holds the whole module state.
//
// Threads: the control-panel host's thread runs CPlApplet, the sheet and
// its page; the RIL's thread runs RilResultCallback, which writes
// ResponseText and ModemInfoLines and then sets responseEvent. The page's
// thread reads ModemInfoLines only after that event was signalled, so no
// lock is needed.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <cpl.h>
#include <strsafe.h>
#include <tapi.h>

#include <aygshell.h>
#include <extapi.h>
#include <kxexport.h>
#include <pkfuncs.h>
#include <prshtce.h>
#include <regext.h>
#include <ril.h>

// Lines of the module's answer that are kept (entry 0 is never shown).
#define MODEM_INFO_LINES 5
#define MODEM_INFO_LINE_CHARS 260
#define RESPONSE_TEXT_BYTES 2048

struct AppletState {
    HINSTANCE moduleInstance; // saved at load; the instance of every resource and window
    BYTE initCount;           // 1 after CPL_INIT, until CPL_EXIT
    BYTE openCount;           // 1 once the sheet was opened, until CPL_EXIT
    HLINEAPP lineApp;         // 0 = none
    HLINE cellularLine;       // 0 = none
    LONG nextRowY;            // y of the next row inside the page, in pixels
    HANDLE responseEvent;     // auto-reset; only while the page is being built
    WCHAR ModemInfoLines[MODEM_INFO_LINES][MODEM_INFO_LINE_CHARS];
    char ResponseText[RESPONSE_TEXT_BYTES];
    const WORD *translation; // into the version buffer, during one GetFileVersionString
};

extern AppletState Applet;

// The request handed to the RIL's device-specific call: the command code
// and the command text, 8-bit, zero-terminated and zero-padded.
struct ModemCommandRequest {
    DWORD commandCode;
    char commandText[1024];
};

// Applet entry and page.
void ShowInfoSheet(void);
int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam);
INT_PTR CALLBACK InfoPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
void AddInfoRow(HWND page, LPCWSTR text);
void FillInfoPage(HWND page);
void CreateHacOption(HWND page);

// Information sources.
BOOL OpenCellularLine(void);
void CloseCellularLine(void);
void QueryModemIdentification(HWND page);
void ShowDriverVersions(HWND page);
int GetFileVersionString(LPCWSTR path, WCHAR *out, DWORD capacity);
void CALLBACK RilResultCallback(DWORD resultCode, HRESULT commandId, const void *data, DWORD size,
                                DWORD_PTR parameter);
void CALLBACK RilNotifyCallback(DWORD notificationCode, const void *data, DWORD size,
                                DWORD_PTR parameter);

extern "C" KX_EXPORT LONG APIENTRY CPlApplet(HWND hwndCPl, UINT message, LPARAM lParam1,
                                             LPARAM lParam2);

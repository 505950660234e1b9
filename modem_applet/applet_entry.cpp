// The applet's library entry and its control-panel entry point.
#include "ModemAbout.h"
#include "resource_ids.h"

#include <string.h>

// Everything zero at load except the first row's position.
AppletState Applet = {NULL, 0, 0, 0, 0, 10, NULL, {{0}}, {0}, NULL};

// Control code of the platform question asked at CPL_INIT (device type
// 0x0101, function 2708, buffered) and the answer that lets the applet on.
static const DWORD PlatformQuestionCode = 0x01012A50;
static const DWORD PlatformQuestionInput = 4;
static const DWORD PlatformQuestionAnswer = 5;

static const LONG_PTR AppletEntryData = 2;

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Applet.moduleInstance = (HINSTANCE)instance;
        DisableThreadLibraryCalls((HMODULE)instance);
    }
    return TRUE;
}

static LONG InitApplet(void) {
    if (Applet.initCount != 0)
        return 0;
    Applet.initCount = 1;
    DWORD input = PlatformQuestionInput;
    DWORD output = 0;
    DWORD returned = 0;
    if (!KernelIoControl(PlatformQuestionCode, &input, sizeof(input), &output, sizeof(output),
                         &returned) ||
        output != PlatformQuestionAnswer)
        return 0;
    return OpenCellularLine() ? 1 : 0;
}

static void DescribeEntry(NEWCPLINFO *info) {
    memset(info, 0, sizeof(*info));
    info->dwSize = sizeof(NEWCPLINFO);
    info->dwFlags = 0;
    info->dwHelpContext = 0;
    info->lData = AppletEntryData;
    info->hIcon = LoadIconW(Applet.moduleInstance, MAKEINTRESOURCEW(IDI_APPLET));
    LoadStringW(Applet.moduleInstance, IDS_APPLET_NAME, info->szName,
                sizeof(info->szName) / sizeof(info->szName[0]));
}

extern "C" KX_EXPORT LONG APIENTRY CPlApplet(HWND hwndCPl, UINT message, LPARAM lParam1,
                                             LPARAM lParam2) {
    switch (message) {
    case CPL_INIT:
        return InitApplet();
    case CPL_GETCOUNT:
        return 1;
    case CPL_DBLCLK:
        if (Applet.openCount == 0) {
            Applet.openCount = 1;
            ShowInfoSheet();
        } else {
            // The low bit asks the platform for the window's last active popup.
            SetForegroundWindow((HWND)((ULONG_PTR)hwndCPl | 1));
        }
        return 0;
    case CPL_EXIT:
        CloseCellularLine();
        // An exit without an init or an open must not wrap a count around:
        // openCount at 255 would keep the sheet closed for the whole load.
        if (Applet.initCount > 0)
            Applet.initCount--;
        if (Applet.openCount > 0)
            Applet.openCount--;
        return 0;
    case CPL_NEWINQUIRE:
        if (lParam1 == 0 && lParam2 != 0)
            DescribeEntry((NEWCPLINFO *)lParam2);
        return 0;
    default:
        return 0;
    }
}

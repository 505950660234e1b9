// tapi32.dll for the Wine lane: the handheld's TAPI as far as ModemAbout.dll
// uses it. Wine's own TAPI has no line devices; this one offers the
// handheld's single line device, "Cellular Line" (device 0), which
// applications open with lineOpen as on the handheld. The lane loads it in
// place of Wine's (WINEDLLOVERRIDES tapi32=n).
//
// Lock: tableLock guards the tables of initialized applications and open
// lines (a leaf).
#include <windows.h>
#include <tapi.h>

#include <string.h>

namespace {

const WCHAR kLineName[] = L"Cellular Line";
const DWORD kDeviceCount = 1;
const DWORD kLowestVersion = 0x00010003;
const DWORD kHighestVersion = 0x00020000;
const DWORD kMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM;
const int kSlots = 16;

struct App {
    bool used;
    HANDLE event; // with LINEINITIALIZEEXOPTION_USEEVENT, else NULL
};
struct Line {
    bool used;
    int app; // index into apps
};

CRITICAL_SECTION tableLock;
App apps[kSlots];   // handle = index + 1; guarded by tableLock
Line lines[kSlots]; // handle = index + 1; guarded by tableLock

struct TableInit {
    TableInit() { InitializeCriticalSection(&tableLock); }
    ~TableInit() { DeleteCriticalSection(&tableLock); }
} tableInit;

// With tableLock held: the index of an initialized application, or -1.
int AppIndex(HLINEAPP handle) {
    if (handle == 0 || handle > (HLINEAPP)kSlots || !apps[handle - 1].used)
        return -1;
    return (int)handle - 1;
}

bool VersionSupported(DWORD version) {
    return version >= kLowestVersion && version <= kHighestVersion;
}

} // namespace

extern "C" {

LONG WINAPI lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCWSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs,
                              LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    if (lphLineApp == NULL || lpdwNumDevs == NULL || lpdwAPIVersion == NULL)
        return LINEERR_INVALPOINTER;
    if (*lpdwAPIVersion < kLowestVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (*lpdwAPIVersion > kHighestVersion)
        *lpdwAPIVersion = kHighestVersion;
    bool useEvent = false;
    if (lpLineInitializeExParams != NULL) {
        if (lpLineInitializeExParams->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS))
            return LINEERR_STRUCTURETOOSMALL;
        DWORD option = lpLineInitializeExParams->dwOptions & 0x3;
        if (option == LINEINITIALIZEEXOPTION_USECOMPLETIONPORT)
            return LINEERR_INVALPARAM;
        useEvent = option == LINEINITIALIZEEXOPTION_USEEVENT;
        lpLineInitializeExParams->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
        lpLineInitializeExParams->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
    }
    HANDLE event = NULL;
    if (useEvent) {
        // Signalled when a message waits; this line sends none.
        event = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (event == NULL)
            return LINEERR_NOMEM;
    }
    EnterCriticalSection(&tableLock);
    int slot = 0;
    while (slot < kSlots && apps[slot].used)
        slot++;
    if (slot == kSlots) {
        LeaveCriticalSection(&tableLock);
        if (event != NULL)
            CloseHandle(event);
        return LINEERR_NOMEM;
    }
    apps[slot].used = true;
    apps[slot].event = event;
    LeaveCriticalSection(&tableLock);
    if (useEvent)
        lpLineInitializeExParams->Handles.hEvent = event;
    *lphLineApp = (HLINEAPP)(slot + 1);
    *lpdwNumDevs = kDeviceCount;
    return 0;
}

LONG WINAPI lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                            DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps) {
    EnterCriticalSection(&tableLock);
    bool known = AppIndex(hLineApp) >= 0;
    LeaveCriticalSection(&tableLock);
    if (!known)
        return LINEERR_INVALAPPHANDLE;
    if (dwDeviceID >= kDeviceCount)
        return LINEERR_BADDEVICEID;
    if (!VersionSupported(dwAPIVersion))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (lpLineDevCaps == NULL)
        return LINEERR_INVALPOINTER;
    const DWORD total = lpLineDevCaps->dwTotalSize;
    if (total < sizeof(LINEDEVCAPS))
        return LINEERR_STRUCTURETOOSMALL;
    // The fixed part is rewritten whole; the variable part (the line's name)
    // follows it when the caller's buffer holds it.
    memset(lpLineDevCaps, 0, sizeof(LINEDEVCAPS));
    lpLineDevCaps->dwTotalSize = total;
    lpLineDevCaps->dwNeededSize = sizeof(LINEDEVCAPS) + sizeof(kLineName);
    lpLineDevCaps->dwUsedSize = sizeof(LINEDEVCAPS);
    lpLineDevCaps->dwPermanentLineID = 1;
    lpLineDevCaps->dwStringFormat = STRINGFORMAT_UNICODE;
    lpLineDevCaps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    lpLineDevCaps->dwNumAddresses = 1;
    lpLineDevCaps->dwBearerModes = LINEBEARERMODE_VOICE;
    lpLineDevCaps->dwMediaModes = kMediaModes;
    lpLineDevCaps->dwMaxNumActiveCalls = 1;
    if (total >= lpLineDevCaps->dwNeededSize) {
        memcpy((BYTE *)lpLineDevCaps + sizeof(LINEDEVCAPS), kLineName, sizeof(kLineName));
        lpLineDevCaps->dwLineNameOffset = sizeof(LINEDEVCAPS);
        lpLineDevCaps->dwLineNameSize = sizeof(kLineName);
        lpLineDevCaps->dwUsedSize = lpLineDevCaps->dwNeededSize;
    }
    return 0;
}

LONG WINAPI lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                      DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
                      DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    if (lphLine == NULL)
        return LINEERR_INVALPOINTER;
    if (dwDeviceID >= kDeviceCount)
        return LINEERR_BADDEVICEID;
    if (!VersionSupported(dwAPIVersion))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    const DWORD privileges =
        LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
    if ((dwPrivileges & ~privileges) != 0)
        return LINEERR_INVALPRIVSELECT;
    if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) && (dwMediaModes & ~kMediaModes) != 0)
        return LINEERR_INVALMEDIAMODE;
    EnterCriticalSection(&tableLock);
    int app = AppIndex(hLineApp);
    int slot = 0;
    while (slot < kSlots && lines[slot].used)
        slot++;
    if (app < 0 || slot == kSlots) {
        LeaveCriticalSection(&tableLock);
        return app < 0 ? LINEERR_INVALAPPHANDLE : LINEERR_NOMEM;
    }
    lines[slot].used = true;
    lines[slot].app = app;
    LeaveCriticalSection(&tableLock);
    *lphLine = (HLINE)(slot + 1);
    return 0;
}

LONG WINAPI lineClose(HLINE hLine) {
    EnterCriticalSection(&tableLock);
    LONG result = LINEERR_INVALLINEHANDLE;
    if (hLine != 0 && hLine <= (HLINE)kSlots && lines[hLine - 1].used) {
        lines[hLine - 1].used = false;
        result = 0;
    }
    LeaveCriticalSection(&tableLock);
    return result;
}

// Ends the application's use of TAPI; its lines that are still open close.
LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    EnterCriticalSection(&tableLock);
    int app = AppIndex(hLineApp);
    HANDLE event = NULL;
    if (app >= 0) {
        for (int i = 0; i < kSlots; i++) {
            if (lines[i].used && lines[i].app == app)
                lines[i].used = false;
        }
        apps[app].used = false;
        event = apps[app].event;
        apps[app].event = NULL;
    }
    LeaveCriticalSection(&tableLock);
    if (app < 0)
        return LINEERR_INVALAPPHANDLE;
    if (event != NULL)
        CloseHandle(event);
    return 0;
}

} // extern "C"

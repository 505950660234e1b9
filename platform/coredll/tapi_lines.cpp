// TAPI line functions over the host's configured line devices. By default
// there is one device, "Cellular Line", that opens; tests replace the list.
//
// Lock: tapiLock guards the device list, the line applications and the open
// lines. No other lock is taken while it is held, except inside
// CreateEventW / CloseHandle (kernel objects), which take none of ours.
#include "kx_platform_ext.h"
#include "kx_window_test.h"

#include <cstring>
#include <map>
#include <mutex>

#include <tapi.h>
#include <windows.h>

namespace {

const DWORD kHighestApiVersion = 0x00020000;
const DWORD kLowestApiVersion = 0x00010004;

struct LineApp {
    HANDLE event = nullptr; // the notification event of LINEINITIALIZEEXOPTION_USEEVENT
};

struct OpenLine {
    HLINEAPP app;
    DWORD device;
};

std::mutex tapiLock;
std::vector<kxtest::LineDevice> devices{{u"Cellular Line", true}};
bool failInitialize = false;
std::map<HLINEAPP, LineApp> apps;
std::map<HLINE, OpenLine> lines;
DWORD nextHandle = 0x100; // handle values are never reused within a process
std::vector<DWORD> openAttempts;

} // namespace

extern "C" {

LONG WINAPI lineInitializeEx(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK, LPCWSTR,
                             LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                             LPLINEINITIALIZEEXPARAMS params) {
    if (!lphLineApp || !lpdwNumDevs || !lpdwAPIVersion)
        return LINEERR_INVALPOINTER;
    if (params && params->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS))
        return LINEERR_STRUCTURETOOSMALL;
    DWORD options = params ? params->dwOptions : LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    if (options < LINEINITIALIZEEXOPTION_USEHIDDENWINDOW ||
        options > LINEINITIALIZEEXOPTION_USECOMPLETIONPORT)
        return LINEERR_INVALPARAM;
    if (options == LINEINITIALIZEEXOPTION_USECOMPLETIONPORT)
        return LINEERR_OPERATIONUNAVAIL;
    HANDLE event = nullptr;
    if (options == LINEINITIALIZEEXOPTION_USEEVENT) {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!event)
            return LINEERR_NOMEM;
    }
    std::lock_guard<std::mutex> guard(tapiLock);
    if (failInitialize) {
        if (event)
            CloseHandle(event);
        return LINEERR_OPERATIONFAILED;
    }
    HLINEAPP app = nextHandle++;
    apps[app] = LineApp{event};
    *lphLineApp = app;
    *lpdwNumDevs = DWORD(devices.size());
    if (*lpdwAPIVersion == 0 || *lpdwAPIVersion > kHighestApiVersion)
        *lpdwAPIVersion = kHighestApiVersion;
    if (params) {
        params->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
        params->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
        params->Handles.hEvent = event;
    }
    return 0;
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    HANDLE event = nullptr;
    {
        std::lock_guard<std::mutex> guard(tapiLock);
        auto it = apps.find(hLineApp);
        if (it == apps.end())
            return LINEERR_INVALAPPHANDLE;
        event = it->second.event;
        apps.erase(it);
        // Lines still open by the application close with it.
        for (auto l = lines.begin(); l != lines.end();)
            l = l->second.app == hLineApp ? lines.erase(l) : std::next(l);
    }
    if (event)
        CloseHandle(event);
    return 0;
}

LONG WINAPI lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD,
                           LPLINEDEVCAPS caps) {
    std::lock_guard<std::mutex> guard(tapiLock);
    if (!apps.count(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    if (dwDeviceID >= devices.size())
        return LINEERR_BADDEVICEID;
    if (dwAPIVersion < kLowestApiVersion || dwAPIVersion > kHighestApiVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (!caps)
        return LINEERR_INVALPOINTER;
    DWORD total = caps->dwTotalSize;
    if (total < sizeof(LINEDEVCAPS))
        return LINEERR_STRUCTURETOOSMALL;
    const std::u16string &name = devices[dwDeviceID].name;
    DWORD nameBytes = DWORD((name.size() + 1) * sizeof(WCHAR));
    memset(reinterpret_cast<uint8_t *>(caps) + 4, 0, sizeof(LINEDEVCAPS) - 4);
    caps->dwTotalSize = total;
    caps->dwNeededSize = sizeof(LINEDEVCAPS) + nameBytes;
    caps->dwUsedSize = sizeof(LINEDEVCAPS);
    caps->dwPermanentLineID = dwDeviceID;
    caps->dwStringFormat = STRINGFORMAT_UNICODE;
    caps->dwAddressModes = 1; // LINEADDRESSMODE_ADDRESSID
    caps->dwNumAddresses = 1;
    caps->dwBearerModes = 0x2; // LINEBEARERMODE_VOICE
    caps->dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM;
    caps->dwMaxNumActiveCalls = 1;
    // Variable parts only when the whole of them fits, as TAPI does.
    if (total >= caps->dwNeededSize) {
        caps->dwLineNameOffset = sizeof(LINEDEVCAPS);
        caps->dwLineNameSize = nameBytes;
        memcpy(reinterpret_cast<uint8_t *>(caps) + sizeof(LINEDEVCAPS), name.c_str(), nameBytes);
        caps->dwUsedSize = caps->dwNeededSize;
    }
    return 0;
}

LONG WINAPI lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                     DWORD, DWORD_PTR, DWORD dwPrivileges, DWORD dwMediaModes,
                     const LINECALLPARAMS *) {
    std::lock_guard<std::mutex> guard(tapiLock);
    openAttempts.push_back(dwDeviceID);
    if (!apps.count(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    if (dwDeviceID >= devices.size())
        return LINEERR_BADDEVICEID;
    if (dwAPIVersion < kLowestApiVersion || dwAPIVersion > kHighestApiVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (!lphLine)
        return LINEERR_INVALPOINTER;
    const DWORD knownPrivileges =
        LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
    if (dwPrivileges & ~knownPrivileges)
        return LINEERR_INVALPRIVSELECT;
    if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) && dwMediaModes == 0)
        return LINEERR_INVALMEDIAMODE;
    if (!devices[dwDeviceID].opens)
        return LINEERR_RESOURCEUNAVAIL;
    HLINE line = nextHandle++;
    lines[line] = OpenLine{hLineApp, dwDeviceID};
    *lphLine = line;
    return 0;
}

LONG WINAPI lineClose(HLINE hLine) {
    std::lock_guard<std::mutex> guard(tapiLock);
    if (!lines.erase(hLine))
        return LINEERR_INVALLINEHANDLE;
    return 0;
}

// For cellcore: whether a line handle is open.
BOOL KxLineIsOpen(DWORD hLine) {
    std::lock_guard<std::mutex> guard(tapiLock);
    return lines.count(hLine) ? TRUE : FALSE;
}

} // extern "C"

namespace kxtest {

void SetLineDevices(const std::vector<LineDevice> &list) {
    std::lock_guard<std::mutex> guard(tapiLock);
    devices = list;
}

void ResetLineDevices() {
    SetLineDevices({{u"Cellular Line", true}});
}

void FailLineInitialize(bool fail) {
    std::lock_guard<std::mutex> guard(tapiLock);
    failInitialize = fail;
}

int OpenLineCount() {
    std::lock_guard<std::mutex> guard(tapiLock);
    return int(lines.size());
}

int LineAppCount() {
    std::lock_guard<std::mutex> guard(tapiLock);
    return int(apps.size());
}

std::vector<DWORD> LineOpenAttempts() {
    std::lock_guard<std::mutex> guard(tapiLock);
    return openAttempts;
}

void ClearLineOpenAttempts() {
    std::lock_guard<std::mutex> guard(tapiLock);
    openAttempts.clear();
}

} // namespace kxtest

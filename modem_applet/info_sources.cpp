// The sources behind the page's rows: the cellular TAPI line (is the radio
// on?), the module's identification through the RIL, and the version
// resources of the radio drivers.
#include "ModemAbout.h"

#include <stdlib.h>
#include <string.h>

#define DRIVER_PATH_CHARS 260
#define DRIVER_COUNT 6
// The display name of a driver is its path without "\windows\".
#define DRIVER_DIRECTORY_CHARS 9

static const WCHAR DriverFileTable[DRIVER_COUNT][DRIVER_PATH_CHARS] = {
    TEXT("\\windows\\radioif.dll"),  TEXT("\\windows\\radiohw.dll"),
    TEXT("\\windows\\KxUsbDrv.dll"), TEXT("\\windows\\KxCmdApi.dll"),
    TEXT("\\windows\\mbnlink.dll"),  TEXT("\\windows\\chanmux.dll"),
};

static const DWORD TapiVersion = 0x20000;
static const DWORD LineCapsBytes = 4096;
static const WCHAR CellularLineName[] = TEXT("Cellular Line");
static const DWORD ModemAnswerLimit = 5000; // ms
static const DWORD RilPortIndex = 1;
static const DWORD ModemCommandCode = 6;
static const char ModemCommand[] = "ATI1";

BOOL OpenCellularLine(void) {
    LINEINITIALIZEEXPARAMS params;
    memset(&params, 0, sizeof(params));
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD apiVersion = TapiVersion;
    DWORD deviceCount = 0;
    // The notification event TAPI provides is never waited on.
    if (lineInitializeEx(&Applet.lineApp, NULL, NULL, NULL, &deviceCount, &apiVersion, &params) !=
        0)
        return FALSE;
    if (deviceCount == 0)
        return FALSE;
    for (DWORD id = 0; id < deviceCount; id++) {
        union {
            LINEDEVCAPS caps;
            BYTE bytes[LineCapsBytes];
        } buffer;
        memset(&buffer, 0, sizeof(buffer));
        buffer.caps.dwTotalSize = LineCapsBytes;
        if (lineGetDevCaps(Applet.lineApp, id, TapiVersion, 0, &buffer.caps) != 0)
            continue;
        // The name must lie inside the buffer and end inside it.
        DWORD offset = buffer.caps.dwLineNameOffset;
        DWORD size = buffer.caps.dwLineNameSize;
        if (offset == 0 || offset % sizeof(WCHAR) != 0 || size < sizeof(WCHAR) ||
            offset > LineCapsBytes || size > LineCapsBytes - offset)
            continue;
        // Compared as text: up to its terminator, within its size.
        const WCHAR *name = (const WCHAR *)(buffer.bytes + offset);
        DWORD chars = size / sizeof(WCHAR);
        DWORD length = 0;
        while (length < chars && name[length] != 0)
            length++;
        const DWORD wanted = sizeof(CellularLineName) / sizeof(WCHAR) - 1;
        if (length != wanted || memcmp(name, CellularLineName, wanted * sizeof(WCHAR)) != 0)
            continue;
        if (lineOpen(Applet.lineApp, id, &Applet.cellularLine, TapiVersion, 0, 0,
                     LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                     LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, NULL) == 0)
            return TRUE;
        Applet.cellularLine = 0;
    }
    return FALSE;
}

void CloseCellularLine(void) {
    if (Applet.cellularLine != 0) {
        lineClose(Applet.cellularLine);
        Applet.cellularLine = 0;
    }
    if (Applet.lineApp != 0) {
        lineShutdown(Applet.lineApp);
        Applet.lineApp = 0;
    }
}

void QueryModemIdentification(HWND page) {
    Applet.responseEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    SetCursor(LoadCursorW(NULL, IDC_WAIT));

    HRIL ril = NULL;
    if (RIL_Initialize(RilPortIndex, RilResultCallback, RilNotifyCallback, RIL_NCLASS_DEVSPECIFIC,
                       0, &ril) != S_OK) {
        AddInfoRow(page, TEXT("Modem Information : Phone Off"));
    } else {
        ModemCommandRequest request;
        memset(&request, 0, sizeof(request));
        request.commandCode = ModemCommandCode;
        memcpy(request.commandText, ModemCommand, sizeof(ModemCommand));
        DWORD equipmentState = 0;
        DWORD radioSupport = 0;
        if (lineGetEquipmentState(Applet.cellularLine, &equipmentState, &radioSupport) == 0) {
            if (radioSupport == LINERADIOSUPPORT_OFF) {
                AddInfoRow(page, TEXT("Modem Information : Phone Off"));
            } else if (radioSupport == LINERADIOSUPPORT_ON) {
                // Only the code and the text without its terminator go.
                RIL_DevSpecific(ril, (const BYTE *)&request,
                                (DWORD)(sizeof(request.commandCode) + strlen(ModemCommand)));
                if (WaitForSingleObject(Applet.responseEvent, ModemAnswerLimit) == WAIT_OBJECT_0) {
                    for (int line = 1; line < MODEM_INFO_LINES; line++)
                        AddInfoRow(page, Applet.ModemInfoLines[line]);
                } else {
                    AddInfoRow(page, TEXT("Modem Information : Not responding"));
                }
            }
        }
        // Ending the connection first keeps a late answer from setting a
        // released event.
        RIL_Deinitialize(ril);
    }

    if (Applet.responseEvent != NULL) {
        CloseHandle(Applet.responseEvent);
        Applet.responseEvent = NULL;
    }
    SetCursor(NULL);
}

void CALLBACK RilResultCallback(DWORD resultCode, HRESULT commandId, const void *data, DWORD size,
                                DWORD_PTR parameter) {
    if (resultCode != RIL_RESULT_OK || data == NULL)
        return;
    memset(Applet.ResponseText, 0, sizeof(Applet.ResponseText));
    DWORD copy = size < sizeof(Applet.ResponseText) - 1 ? size : sizeof(Applet.ResponseText) - 1;
    memcpy(Applet.ResponseText, data, copy);

    // Lines end with CR LF; text after the last CR LF is not a line. Only
    // MODEM_INFO_LINES lines are kept, each cut to what an entry holds.
    const char *position = Applet.ResponseText;
    for (int line = 0; line < MODEM_INFO_LINES; line++) {
        const char *end = strstr(position, "\r\n");
        if (end == NULL)
            break;
        char narrow[MODEM_INFO_LINE_CHARS];
        memset(narrow, 0, sizeof(narrow));
        size_t length = (size_t)(end - position);
        if (length > sizeof(narrow) - 1)
            length = sizeof(narrow) - 1;
        memcpy(narrow, position, length);
        StringCchPrintfW(Applet.ModemInfoLines[line], MODEM_INFO_LINE_CHARS, TEXT("%hs"), narrow);
        position = end + 2;
    }
    SetEvent(Applet.responseEvent);
}

void CALLBACK RilNotifyCallback(DWORD notificationCode, const void *data, DWORD size,
                                DWORD_PTR parameter) {}

void ShowDriverVersions(HWND page) {
    WCHAR version[DRIVER_PATH_CHARS];
    memset(version, 0, sizeof(version));
    for (int i = 0; i < DRIVER_COUNT; i++) {
        if (!GetFileVersionString(DriverFileTable[i], version, DRIVER_PATH_CHARS - 1))
            continue;
        WCHAR row[DRIVER_PATH_CHARS];
        memset(row, 0, sizeof(row));
        StringCchPrintfW(row, DRIVER_PATH_CHARS, TEXT("%s : %s"),
                         DriverFileTable[i] + DRIVER_DIRECTORY_CHARS, version);
        AddInfoRow(page, row);
    }
}

int GetFileVersionString(LPCWSTR path, WCHAR *out, DWORD capacity) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return 0;
    void *buffer = malloc(size);
    if (buffer == NULL) {
        NKDbgPrintfW(TEXT("GetFileVersionString:: Failed to allocate %d bytes for query \r\n"),
                     size);
        return 0;
    }
    if (GetFileVersionInfoW(path, 0, size, buffer) != TRUE) {
        free(buffer);
        NKDbgPrintfW(TEXT("GetFileVersionString:: Failed to GetFileVersionInfo \r\n"));
        return 0;
    }
    UINT length = 0;
    // One language and code-page pair is two 16-bit words.
    if (VerQueryValueW(buffer, TEXT("\\VarFileInfo\\Translation"), (LPVOID *)&Applet.translation,
                       &length) != TRUE ||
        length < 2 * sizeof(WORD)) {
        Applet.translation = NULL;
        free(buffer);
        NKDbgPrintfW(TEXT("GetFileVersionString:: Failed to VerQueryValue Translation \r\n"));
        return 0;
    }
    WCHAR subBlock[DRIVER_PATH_CHARS];
    memset(subBlock, 0, sizeof(subBlock));
    StringCchPrintfW(subBlock, DRIVER_PATH_CHARS, TEXT("\\StringFileInfo\\%04x%04x\\FileVersion"),
                     Applet.translation[0], Applet.translation[1]);
    WCHAR *value = NULL;
    length = 0;
    if (VerQueryValueW(buffer, subBlock, (LPVOID *)&value, &length) == 0) {
        Applet.translation = NULL;
        free(buffer);
        NKDbgPrintfW(TEXT("GetFileVersionString:: Failed to VerQueryValue FileVersion \r\n"));
        return 0;
    }
    // At most capacity characters; a shorter value is zero-padded up to
    // capacity. The copy stops at the value's end even when the resource
    // left it unterminated.
    DWORD copied = 0;
    while (copied < capacity && copied < length && value[copied] != 0) {
        out[copied] = value[copied];
        copied++;
    }
    while (copied < capacity)
        out[copied++] = 0;
    Applet.translation = NULL;
    free(buffer);
    return 1;
}

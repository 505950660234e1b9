// cplhost.exe: the Wine lane's control-panel host. Loads a control-panel
// applet (the Windows build of ModemAbout.dll), sends it the control-panel
// messages in the order the handheld's control panel does (CPL_INIT,
// CPL_GETCOUNT, CPL_NEWINQUIRE, CPL_DBLCLK, CPL_EXIT) and, while the sheet
// CPL_DBLCLK opened is up, reads it back through Win32: the page's controls
// in creation order with their texts and positions, the HAC checkbox before
// and after each of two clicks and HACMode in the registry after each, and a
// screenshot of the sheet's window (BMP).
//
//   cplhost APPLET.dll COMPORT SCREENSHOT.bmp
//
// COMPORT is the COM port the RIL is to use (stored as its ComPort). The
// handheld's root is drive C: (so "\windows\x.dll" is C:\windows\x.dll).
// Before the sheet opens HACMode is set to 1, so that the page must read it.
// Prints one line per observation; exits 1 when a step could not be done.
#include <windows.h>
#include <commctrl.h>
#include <cpl.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

const WCHAR kHacKey[] = L"Software\\RIL\\Audio";
const WCHAR kHacValue[] = L"HACMode";
const UINT kInspectEveryMs = 200;
const int kInspectTries = 100; // 20 s for the sheet to appear

typedef LONG(APIENTRY *CplEntry)(HWND, UINT, LPARAM, LPARAM);

struct Inspection {
    bool done = false;
    bool ok = false;
    int tries = 0;
    std::wstring screenshot;
} inspection;

std::string Narrow(const WCHAR *text) {
    std::string out;
    for (; text != NULL && *text != 0; ++text)
        out += *text < 0x80 ? char(*text) : '?';
    return out;
}

std::string HacMode() {
    DWORD value = 0, size = sizeof(value), type = 0;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHacKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "absent";
    LONG rc = RegQueryValueExW(key, kHacValue, NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return "absent";
    if (type != REG_DWORD)
        return "not a DWORD";
    char text[16];
    snprintf(text, sizeof(text), "%lu", (unsigned long)value);
    return text;
}

bool SetRegistryValue(LPCWSTR subKey, LPCWSTR name, DWORD type, const void *data, DWORD size) {
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(key, name, 0, type, (const BYTE *)data, size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// The applet's sheet: the visible top-level window of this thread that
// holds a property page.
BOOL CALLBACK FindSheet(HWND window, LPARAM found) {
    if (IsWindowVisible(window) && SendMessageW(window, PSM_GETCURRENTPAGEHWND, 0, 0) != 0) {
        *(HWND *)found = window;
        return FALSE;
    }
    return TRUE;
}

std::string ClassOf(HWND window) {
    WCHAR name[64] = {0};
    GetClassNameW(window, name, 63);
    return Narrow(name);
}

std::string TextOf(HWND window) {
    WCHAR text[512] = {0};
    GetWindowTextW(window, text, 511);
    return Narrow(text);
}

const char *CheckState(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked" : "unchecked";
}

// The page's controls in creation order, each with its class, its rectangle
// in the page's client coordinates and its text. Returns the checkbox.
HWND PrintPage(HWND page) {
    HWND box = NULL;
    for (HWND child = GetWindow(page, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(NULL, page, (POINT *)&r, 2);
        std::string kind = ClassOf(child);
        printf("control %s x=%ld y=%ld w=%ld h=%ld \"%s\"", kind.c_str(), r.left, r.top,
               r.right - r.left, r.bottom - r.top, TextOf(child).c_str());
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_stricmp(kind.c_str(), "Button") == 0 && (style & 0xF) == BS_AUTOCHECKBOX) {
            box = child;
            printf(" %s", CheckState(child));
        }
        printf("\n");
    }
    return box;
}

// The window as it is on the screen, as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::wstring &path) {
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height; // bottom-up, as a BMP file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    bool ok = false;
    if (bitmap != NULL) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(memory, old);
    }
    const DWORD rowBytes = ((DWORD)width * 3 + 3) & ~3u;
    const DWORD imageBytes = rowBytes * (DWORD)height;
    if (ok) {
        BITMAPFILEHEADER file;
        ZeroMemory(&file, sizeof(file));
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        file.bfSize = file.bfOffBits + imageBytes;
        info.bmiHeader.biSizeImage = imageBytes;
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD written = 0;
        ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof(file), &written, NULL) &&
             WriteFile(out, &info.bmiHeader, sizeof(BITMAPINFOHEADER), &written, NULL) &&
             WriteFile(out, bits, imageBytes, &written, NULL) && written == imageBytes;
        if (out != INVALID_HANDLE_VALUE)
            CloseHandle(out);
    }
    if (bitmap != NULL)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return ok;
}

// Runs in the sheet's modal loop until the sheet is there, then reads it,
// clicks, and closes it.
void CALLBACK Inspect(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND sheet = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindSheet, (LPARAM)&sheet);
    if (sheet == NULL) {
        if (++inspection.tries < kInspectTries)
            return;
        KillTimer(NULL, timer);
        printf("FAILED: no sheet appeared within %d ms\n", kInspectTries * kInspectEveryMs);
        inspection.done = true;
        return;
    }
    KillTimer(NULL, timer);
    inspection.done = true;
    HWND page = (HWND)SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    HWND box = PrintPage(page);
    bool ok = box != NULL;
    if (box == NULL)
        printf("FAILED: the page has no checkbox\n");

    SetForegroundWindow(sheet);
    RedrawWindow(sheet, NULL, NULL,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    if (SaveScreenshot(sheet, inspection.screenshot)) {
        printf("screenshot saved\n");
    } else {
        printf("FAILED: the screenshot could not be saved\n");
        ok = false;
    }

    for (int click = 1; box != NULL && click <= 2; click++) {
        SendMessageW(box, BM_CLICK, 0, 0);
        printf("click %d: %s, HACMode %s\n", click, CheckState(box), HacMode().c_str());
    }
    // Cancel closes a sheet in either style, wizard or not.
    SendMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    inspection.ok = ok;
}

} // namespace

int wmain(int argc, WCHAR **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: cplhost APPLET.dll COMPORT SCREENSHOT.bmp\n");
        return 2;
    }
    inspection.screenshot = argv[3];
    setvbuf(stdout, NULL, _IONBF, 0);
    if (!SetCurrentDirectoryW(L"C:\\")) {
        printf("FAILED: no drive C:\n");
        return 1;
    }
    const DWORD one = 1;
    const std::wstring port = argv[2];
    if (!SetRegistryValue(L"Drivers\\BuiltIn\\RIL", L"ComPort", REG_SZ, port.c_str(),
                          (DWORD)((port.size() + 1) * sizeof(WCHAR))) ||
        !SetRegistryValue(kHacKey, kHacValue, REG_DWORD, &one, sizeof(one))) {
        printf("FAILED: cannot write the registry\n");
        return 1;
    }
    printf("HACMode before: %s\n", HacMode().c_str());

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HMODULE applet = LoadLibraryW(argv[1]);
    if (applet == NULL) {
        printf("FAILED: cannot load %s (error %lu)\n", Narrow(argv[1]).c_str(), GetLastError());
        return 1;
    }
    CplEntry entry = (CplEntry)(void *)GetProcAddress(applet, "CPlApplet");
    if (entry == NULL) {
        printf("FAILED: the applet exports no CPlApplet\n");
        return 1;
    }
    HWND panel = GetDesktopWindow();
    LONG init = entry(panel, CPL_INIT, 0, 0);
    printf("CPL_INIT: %ld\n", init);
    if (init == 0) {
        entry(panel, CPL_EXIT, 0, 0);
        return 1;
    }
    printf("CPL_GETCOUNT: %ld\n", entry(panel, CPL_GETCOUNT, 0, 0));
    NEWCPLINFOW info;
    ZeroMemory(&info, sizeof(info));
    entry(panel, CPL_NEWINQUIRE, 0, (LPARAM)&info);
    printf("CPL_NEWINQUIRE: name \"%s\", icon %s, lData %ld\n", Narrow(info.szName).c_str(),
           info.hIcon != NULL ? "present" : "none", (long)info.lData);

    SetTimer(NULL, 0, kInspectEveryMs, Inspect);
    entry(panel, CPL_DBLCLK, 0, info.lData);
    if (!inspection.done)
        printf("FAILED: the sheet closed before it was read\n");
    entry(panel, CPL_EXIT, 0, 0);
    printf("HACMode after: %s\n", HacMode().c_str());
    FreeLibrary(applet);
    return inspection.ok ? 0 : 1;
}

// aygshell.dll for the Wine lane: RegistryGetDWORD and RegistrySetDWORD are
// the platform's own (platform/aygshell/regext.cpp, pure Win32, here on
// Wine's registry); this file is SHCreateMenuBar: the handheld's menu bar
// of a dialog, an empty bar along the bottom of the screen owned by the
// dialog's window (it goes when that window is destroyed). Only empty bars
// (SHCMBF_EMPTYBAR) are offered: a bar with buttons would need the module's
// tool-bar resource, which this desktop stand-in does not read.
#include <windows.h>

#include <aygshell.h>

namespace {

const int kMenuBarHeight = 36;
const WCHAR kMenuBarClass[] = L"menu_worker";

ATOM RegisterMenuBarClass(HINSTANCE instance) {
    WNDCLASSW c;
    ZeroMemory(&c, sizeof(c));
    c.lpfnWndProc = DefWindowProcW;
    c.hInstance = instance;
    c.hCursor = LoadCursorW(NULL, IDC_ARROW);
    c.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    c.lpszClassName = kMenuBarClass;
    return RegisterClassW(&c);
}

} // namespace

extern "C" BOOL SHCreateMenuBar(SHMENUBARINFO *pmbi) {
    if (pmbi == NULL || pmbi->cbSize < sizeof(SHMENUBARINFO) || !IsWindow(pmbi->hwndParent)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(pmbi->dwFlags & SHCMBF_EMPTYBAR)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)&RegisterMenuBarClass, &self);
    WNDCLASSW existing;
    if (!GetClassInfoW(self, kMenuBarClass, &existing) && !RegisterMenuBarClass(self))
        return FALSE;
    DWORD style = WS_POPUP | ((pmbi->dwFlags & SHCMBF_HIDDEN) ? 0 : WS_VISIBLE);
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    HWND bar = CreateWindowExW(0, kMenuBarClass, L"", style, 0, height - kMenuBarHeight, width,
                               kMenuBarHeight, pmbi->hwndParent, NULL, self, NULL);
    if (bar == NULL)
        return FALSE;
    pmbi->hwndMB = bar;
    return TRUE;
}

// SHCreateMenuBar: the menu bar of a dialog, a window of class
// "menu_worker" along the bottom of the screen, owned by the dialog (it goes
// when the dialog is destroyed).
#include <aygshell.h>

namespace {
const int kMenuBarHeight = 36;
}

extern "C" BOOL SHCreateMenuBar(SHMENUBARINFO *pmbi) {
    if (!pmbi || pmbi->cbSize < sizeof(SHMENUBARINFO) || !IsWindow(pmbi->hwndParent)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A bar with buttons is described by a tool-bar resource of the module;
    // the host offers only empty bars and bars whose resource exists.
    if (!(pmbi->dwFlags & SHCMBF_EMPTYBAR) && pmbi->nToolBarId &&
        !FindResourceW(pmbi->hInstRes, MAKEINTRESOURCEW(pmbi->nToolBarId), RT_RCDATA)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return FALSE;
    }
    DWORD style = (pmbi->dwFlags & SHCMBF_HIDDEN) ? 0 : WS_VISIBLE;
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    HWND bar = CreateWindowExW(0, u"menu_worker", u"", style, 0, height - kMenuBarHeight, width,
                               kMenuBarHeight, pmbi->hwndParent, nullptr, pmbi->hInstRes, nullptr);
    if (!bar)
        return FALSE;
    pmbi->hwndMB = bar;
    return TRUE;
}

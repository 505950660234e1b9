// The window tree: built-in classes "STATIC", "BUTTON", "EDIT" (it holds its
// text; this platform has no keyboard to edit it), the dialog class
// "#32770" and the shell's "menu_worker"; text, styles, positions, control
// ids and check states; messages delivered synchronously by SendMessageW;
// dialogs from in-memory templates.
//
// Lock: treeLock (re-entrant) guards every window record and the set of
// live windows. It is never held while a dialog procedure runs, so a
// procedure may call any window function.
#include "kx_platform_ext.h"
#include "kx_window_test.h"

#include <kxhost/case_fold.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <windows.h>

struct KxWindow {
    std::u16string className; // as registered: "STATIC", "BUTTON", "EDIT", "#32770", "menu_worker"
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0, y = 0, width = 0, height = 0;
    KxWindow *parent = nullptr; // for a child window
    KxWindow *owner = nullptr;  // for a top-level window
    std::vector<KxWindow *> children;
    int id = 0;
    std::u16string text;
    UINT check = BST_UNCHECKED;
    HINSTANCE instance = nullptr;
    DLGPROC dialogProc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR msgResult = 0;
    bool ended = false;
    INT_PTR endResult = 0;
    bool destroying = false;
};

namespace {

std::recursive_mutex treeLock;
std::set<KxWindow *> liveWindows;
KxWindow *foreground = nullptr;
std::map<std::u16string, int> failCreations; // class (upper case) -> creations to fail

const char16_t *const kClasses[] = {u"STATIC", u"BUTTON", u"EDIT", u"#32770", u"menu_worker"};
const int kScreenWidth = 480;
const int kScreenHeight = 640;

std::u16string Upper(const std::u16string &s) {
    std::u16string out = s;
    for (auto &c : out)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - 32);
    return out;
}

// The window record of a handle, or null (with the error set) when it is not
// a live window. Caller holds treeLock.
KxWindow *Live(HWND window) {
    KxWindow *w = window;
    if (!w || !liveWindows.count(w)) {
        SetLastError(1400); // ERROR_INVALID_WINDOW_HANDLE
        return nullptr;
    }
    return w;
}

bool IsButton(const KxWindow *w) {
    return w->className == u"BUTTON";
}

bool IsCheckBox(const KxWindow *w) {
    DWORD type = w->style & BS_TYPEMASK;
    return IsButton(w) &&
           (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
            type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON);
}

HWND CreateWindowRecord(DWORD exStyle, const std::u16string &className, LPCWSTR windowName,
                        DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                        HINSTANCE instance, DLGPROC dialogProc) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *p = nullptr;
    if (parent) {
        p = Live(parent);
        if (!p)
            return nullptr;
    } else if (style & WS_CHILD) {
        SetLastError(1406); // ERROR_TLW_WITH_WSCHILD
        return nullptr;
    }
    auto fail = failCreations.find(Upper(className));
    if (fail != failCreations.end() && fail->second > 0) {
        --fail->second;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *w = new KxWindow;
    w->className = className;
    w->exStyle = exStyle;
    w->style = style;
    w->x = x == CW_USEDEFAULT ? 0 : x;
    w->y = y == CW_USEDEFAULT ? 0 : y;
    w->width = width == CW_USEDEFAULT ? kScreenWidth : width;
    w->height = height == CW_USEDEFAULT ? kScreenHeight : height;
    w->instance = instance;
    w->dialogProc = dialogProc;
    if (windowName && !IS_INTRESOURCE(windowName))
        w->text = windowName;
    if (style & WS_CHILD) {
        w->parent = p;
        w->id = int(reinterpret_cast<INT_PTR>(menu));
        p->children.push_back(w);
    } else {
        w->owner = p;
    }
    liveWindows.insert(w);
    return w;
}

// Reads a template's id-or-text field (0 = none, 0xFFFF then an id, or a
// zero-terminated text); the template need not be aligned.
const uint8_t *SkipSzOrOrd(const uint8_t *p, std::u16string *text, WORD *ordinal) {
    uint16_t first;
    memcpy(&first, p, 2);
    if (first == 0xFFFF) {
        if (ordinal)
            memcpy(ordinal, p + 2, 2);
        return p + 4;
    }
    while (true) {
        uint16_t c;
        memcpy(&c, p, 2);
        p += 2;
        if (!c)
            break;
        if (text)
            *text += char16_t(c);
    }
    return p;
}

// The button messages answered from the record alone (caller holds
// treeLock): true with *result set for one of them.
bool AnswerButtonState(KxWindow *w, UINT message, WPARAM wParam, LRESULT *result) {
    switch (message) {
    case BM_GETCHECK:
        *result = IsCheckBox(w) ? w->check : BST_UNCHECKED;
        return true;
    case BM_SETCHECK:
        if (IsCheckBox(w))
            w->check = UINT(wParam) <= BST_INDETERMINATE ? UINT(wParam) : BST_CHECKED;
        *result = 0;
        return true;
    case BM_GETSTATE:
        *result = IsCheckBox(w) ? w->check : 0;
        return true;
    default: // BM_CLICK among them: it is sent on, without the lock
        return false;
    }
}

// A dialog: its procedure first; what it leaves unhandled (FALSE) gets the
// default handling. Called without treeLock.
LRESULT SendToDialog(DLGPROC proc, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR handled = proc(window, message, wParam, lParam);
    if (handled) {
        if (message == WM_INITDIALOG || message == WM_GETTEXT || message == WM_GETTEXTLENGTH)
            return handled;
        std::lock_guard<std::recursive_mutex> guard(treeLock);
        KxWindow *w = Live(window);
        return w ? w->msgResult : handled;
    }
    if (message == WM_CLOSE)
        return 0; // a dialog is not destroyed by WM_CLOSE's default
    return DefWindowProcW(window, message, wParam, lParam);
}

// BM_CLICK on a button: an automatic one changes its check, then the click
// is reported to the parent, without treeLock held.
LRESULT ClickButton(HWND window) {
    HWND parent = nullptr;
    int id = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(treeLock);
        KxWindow *w = Live(window);
        if (!w || !IsButton(w) || (w->style & WS_DISABLED))
            return 0;
        DWORD type = w->style & BS_TYPEMASK;
        if (type == BS_AUTOCHECKBOX)
            w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        else if (type == BS_AUTO3STATE)
            w->check = (w->check + 1) % 3;
        else if (type == BS_AUTORADIOBUTTON)
            w->check = BST_CHECKED;
        parent = w->parent;
        id = w->id;
    }
    // The click is reported to the parent as WM_COMMAND with BN_CLICKED.
    if (parent)
        SendMessageW(parent, WM_COMMAND, MAKELONG(WORD(id), BN_CLICKED),
                     reinterpret_cast<LPARAM>(window));
    return 0;
}

} // namespace

extern "C" {

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID) {
    if (!className || IS_INTRESOURCE(className)) {
        SetLastError(1407); // ERROR_CANNOT_FIND_WND_CLASS
        return nullptr;
    }
    for (const char16_t *known : kClasses) {
        if (kxhost::EqualNoCase16(className, known))
            return CreateWindowRecord(exStyle, known, windowName, style, x, y, width, height,
                                      parent, menu, instance, nullptr);
    }
    SetLastError(1407);
    return nullptr;
}

BOOL IsWindow(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    return liveWindows.count(window) ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND window) {
    std::vector<KxWindow *> owned, children;
    DLGPROC proc = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(treeLock);
        KxWindow *w = Live(window);
        if (!w || w->destroying)
            return FALSE;
        w->destroying = true;
        proc = w->dialogProc;
        for (KxWindow *other : liveWindows)
            if (other->owner == w)
                owned.push_back(other);
    }
    // Owned windows go first, then the window is told (WM_DESTROY), then its
    // children, as Win32 does.
    for (KxWindow *o : owned)
        DestroyWindow(o);
    if (proc)
        proc(window, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::recursive_mutex> guard(treeLock);
        children = window->children;
    }
    for (KxWindow *c : children)
        DestroyWindow(c);
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = window;
    if (w->parent) {
        auto &siblings = w->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), w), siblings.end());
    }
    if (foreground == w)
        foreground = nullptr;
    liveWindows.erase(w);
    delete w;
    return TRUE;
}

HWND GetParent(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return nullptr;
    return w->parent ? w->parent : w->owner;
}

HWND GetWindow(HWND window, UINT command) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return nullptr;
    switch (command) {
    case GW_CHILD:
        return w->children.empty() ? nullptr : w->children.front();
    case GW_OWNER:
        return w->owner;
    case GW_HWNDFIRST:
    case GW_HWNDLAST:
    case GW_HWNDNEXT:
    case GW_HWNDPREV: {
        if (!w->parent)
            return nullptr;
        auto &s = w->parent->children;
        auto it = std::find(s.begin(), s.end(), w);
        if (command == GW_HWNDFIRST)
            return s.front();
        if (command == GW_HWNDLAST)
            return s.back();
        if (command == GW_HWNDNEXT)
            return it + 1 == s.end() ? nullptr : *(it + 1);
        return it == s.begin() ? nullptr : *(it - 1);
    }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HWND GetDlgItem(HWND dialog, int id) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(dialog);
    if (!w)
        return nullptr;
    for (KxWindow *c : w->children)
        if (c->id == id)
            return c;
    SetLastError(1421); // ERROR_CONTROL_ID_NOT_FOUND
    return nullptr;
}

int GetDlgCtrlID(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    return w ? w->id : 0;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    w->text = text ? text : u"";
    return TRUE;
}

int GetWindowTextW(HWND window, LPWSTR text, int max) {
    if (!text || max <= 0)
        return 0;
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w) {
        text[0] = 0;
        return 0;
    }
    int n = int(std::min<size_t>(w->text.size(), size_t(max - 1)));
    memcpy(text, w->text.data(), size_t(n) * sizeof(WCHAR));
    text[n] = 0;
    return n;
}

int GetWindowTextLengthW(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    return w ? int(w->text.size()) : 0;
}

int GetClassNameW(HWND window, LPWSTR name, int max) {
    if (!name || max <= 0)
        return 0;
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return 0;
    int n = int(std::min<size_t>(w->className.size(), size_t(max - 1)));
    memcpy(name, w->className.data(), size_t(n) * sizeof(WCHAR));
    name[n] = 0;
    return n;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        return SetWindowTextW(window, reinterpret_cast<LPCWSTR>(lParam));
    case WM_GETTEXT:
        return GetWindowTextW(window, reinterpret_cast<LPWSTR>(lParam), int(wParam));
    case WM_GETTEXTLENGTH:
        return GetWindowTextLengthW(window);
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    }
    return 0;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DLGPROC proc;
    {
        std::lock_guard<std::recursive_mutex> guard(treeLock);
        KxWindow *w = Live(window);
        if (!w)
            return 0;
        proc = w->dialogProc;
        LRESULT answer = 0;
        if (!proc && IsButton(w) && AnswerButtonState(w, message, wParam, &answer))
            return answer;
    }
    if (proc)
        return SendToDialog(proc, window, message, wParam, lParam);
    if (message == BM_CLICK)
        return ClickButton(window);
    return DefWindowProcW(window, message, wParam, lParam);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND item = GetDlgItem(dialog, id);
    if (!item)
        return FALSE;
    SendMessageW(item, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? UINT(SendMessageW(item, BM_GETCHECK, 0, 0)) : 0;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    w->x = x;
    w->y = y;
    w->width = width;
    w->height = height;
    return TRUE;
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
    if (!rect)
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    LONG x = 0, y = 0;
    for (KxWindow *p = w; p; p = p->parent) {
        x += p->x;
        y += p->y;
    }
    *rect = RECT{x, y, x + w->width, y + w->height};
    return TRUE;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
    if (!rect)
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    *rect = RECT{0, 0, w->width, w->height};
    return TRUE;
}

BOOL ScreenToClient(HWND window, LPPOINT point) {
    RECT r;
    if (!point || !GetWindowRect(window, &r))
        return FALSE;
    point->x -= r.left;
    point->y -= r.top;
    return TRUE;
}

BOOL ShowWindow(HWND window, int command) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    BOOL wasVisible = (w->style & WS_VISIBLE) ? TRUE : FALSE;
    if (command == SW_HIDE)
        w->style &= ~DWORD(WS_VISIBLE);
    else
        w->style |= WS_VISIBLE;
    return wasVisible;
}

BOOL IsWindowVisible(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    for (; w; w = w->parent)
        if (!(w->style & WS_VISIBLE))
            return FALSE;
    return window && liveWindows.count(window) ? TRUE : FALSE;
}

BOOL EnableWindow(HWND window, BOOL enable) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return FALSE;
    BOOL wasDisabled = (w->style & WS_DISABLED) ? TRUE : FALSE;
    if (enable)
        w->style &= ~DWORD(WS_DISABLED);
    else
        w->style |= WS_DISABLED;
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL SetForegroundWindow(HWND window) {
    // The lowest bit asks for the window's last active popup; the host has
    // no popups of its own, so the window itself comes to the front.
    HWND target = reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(window) & ~ULONG_PTR(1));
    kxtest::NoteForegroundRequest(window);
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(target);
    if (!w)
        return FALSE;
    foreground = w;
    return TRUE;
}

HWND GetForegroundWindow(void) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    return foreground;
}

int GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXSCREEN:
        return kScreenWidth;
    case SM_CYSCREEN:
        return kScreenHeight;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    }
    return 0;
}

LONG GetWindowLongW(HWND window, int index) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return 0;
    switch (index) {
    case GWL_STYLE:
        return LONG(w->style);
    case GWL_EXSTYLE:
        return LONG(w->exStyle);
    case GWL_ID:
        return w->id;
    case GWL_USERDATA:
        return LONG(w->userData);
    case DWL_MSGRESULT:
        return LONG(w->msgResult);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

LONG SetWindowLongW(HWND window, int index, LONG value) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    if (!w)
        return 0;
    LONG old = 0;
    switch (index) {
    case GWL_STYLE:
        old = LONG(w->style);
        w->style = DWORD(value);
        break;
    case GWL_EXSTYLE:
        old = LONG(w->exStyle);
        w->exStyle = DWORD(value);
        break;
    case GWL_ID:
        old = w->id;
        w->id = value;
        break;
    case GWL_USERDATA:
        old = LONG(w->userData);
        w->userData = value;
        break;
    case DWL_MSGRESULT:
        old = LONG(w->msgResult);
        w->msgResult = value;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return old;
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent,
                                DLGPROC dialogProc, LPARAM initParam) {
    if (!dialogTemplate) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const uint8_t *base = reinterpret_cast<const uint8_t *>(dialogTemplate);
    DLGTEMPLATE head;
    memcpy(&head, base, sizeof(head));
    if ((head.style & 0xFFFF0000u) == 0xFFFF0000u && (head.style & 0xFFFF) == 1) {
        SetLastError(ERROR_NOT_SUPPORTED); // DLGTEMPLATEEX
        return nullptr;
    }
    const uint8_t *p = base + sizeof(DLGTEMPLATE);
    p = SkipSzOrOrd(p, nullptr, nullptr); // menu
    p = SkipSzOrOrd(p, nullptr, nullptr); // class
    std::u16string title;
    p = SkipSzOrOrd(p, &title, nullptr);
    if (head.style & DS_SETFONT) {
        p += 2; // point size
        p = SkipSzOrOrd(p, nullptr, nullptr);
    }
    // Dialog units to pixels with base units of 6 by 13 pixels.
    auto px = [](int x) { return x * 6 / 4; };
    auto py = [](int y) { return y * 13 / 8; };
    HWND dialog = CreateWindowRecord(head.dwExtendedStyle, u"#32770", title.c_str(), head.style,
                                     px(head.x), py(head.y), px(head.cx), py(head.cy), parent,
                                     nullptr, instance, dialogProc);
    if (!dialog)
        return nullptr;
    for (WORD i = 0; i < head.cdit; ++i) {
        p = base + ((size_t(p - base) + 3) & ~size_t(3));
        DLGITEMTEMPLATE item;
        memcpy(&item, p, sizeof(item));
        p += sizeof(DLGITEMTEMPLATE);
        std::u16string className, text;
        WORD classAtom = 0, textId = 0;
        p = SkipSzOrOrd(p, &className, &classAtom);
        p = SkipSzOrOrd(p, &text, &textId);
        WORD extra;
        memcpy(&extra, p, 2);
        p += 2 + extra;
        if (classAtom == 0x80)
            className = u"BUTTON";
        else if (classAtom == 0x81)
            className = u"EDIT";
        else if (classAtom == 0x82)
            className = u"STATIC";
        HWND control =
            CreateWindowExW(item.dwExtendedStyle, className.c_str(), text.c_str(),
                            item.style | WS_CHILD, px(item.x), py(item.y), px(item.cx), py(item.cy),
                            dialog, reinterpret_cast<HMENU>(INT_PTR(item.id)), instance, nullptr);
        (void)control; // a control of an unknown class is left out
    }
    if (dialogProc) {
        HWND focus = GetWindow(dialog, GW_CHILD);
        dialogProc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), initParam);
    }
    return dialog;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(dialog);
    if (!w)
        return FALSE;
    w->ended = true;
    w->endResult = result;
    return TRUE;
}

BOOL KxDialogEnded(HWND dialog, INT_PTR *result) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(dialog);
    if (!w || !w->ended)
        return FALSE;
    if (result)
        *result = w->endResult;
    return TRUE;
}

DLGPROC KxDialogProcedure(HWND dialog) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(dialog);
    return w ? w->dialogProc : nullptr;
}

HWND KxWindowOwner(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    KxWindow *w = Live(window);
    return w ? w->owner : nullptr;
}

HWND KxFindOwnedWindow(HWND owner, LPCWSTR className) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    for (KxWindow *w : liveWindows)
        if (w->owner == owner && className &&
            kxhost::EqualNoCase16(w->className.c_str(), className))
            return w;
    return nullptr;
}

} // extern "C"

namespace kxtest {

namespace {
std::mutex foregroundLock;
std::vector<HWND> foregroundRequests;
} // namespace

void FailNextCreateWindow(const std::u16string &className, int times) {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    failCreations[Upper(className)] = times;
}

void ClearWindowFaults() {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    failCreations.clear();
}

int LiveWindowCount() {
    std::lock_guard<std::recursive_mutex> guard(treeLock);
    return int(liveWindows.size());
}

void NoteForegroundRequest(HWND window) {
    std::lock_guard<std::mutex> guard(foregroundLock);
    foregroundRequests.push_back(window);
}

std::vector<HWND> ForegroundRequests() {
    std::lock_guard<std::mutex> guard(foregroundLock);
    return foregroundRequests;
}

void ClearForegroundRequests() {
    std::lock_guard<std::mutex> guard(foregroundLock);
    foregroundRequests.clear();
}

} // namespace kxtest

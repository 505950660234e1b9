// PropertySheetW: a modal property sheet on the calling thread, driven by a
// script of user actions (the host has no user), with the callbacks and
// page notifications of Windows CE.
//
// Lock: scriptLock guards the script, the observer, the picture path and
// the record of the last sheet. It is never held while a callback, a page
// procedure or the observer runs.
#include "kx_sheet_test.h"
#include "kx_platform_ext.h"

#include <kxhost/utf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>

#include <commctrl.h>

namespace {

const int kScreenWidth = 480;
const int kScreenHeight = 640;
const int kTitleHeight = 30; // the title band at the top of a full-screen sheet
const DWORD kSheetStyle = DWORD(WS_POPUP) | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

std::mutex scriptLock;
bool scriptSet = false;
std::vector<kxtest::SheetAction> script;
kxtest::SheetObserver observer;
bool pngSet = false;
std::string pngPath;
kxtest::SheetRecord record;

std::u16string WindowText(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::u16string text(size_t(n) + 1, u'\0');
    GetWindowTextW(window, &text[0], n + 1);
    text.resize(size_t(n));
    return text;
}

std::u16string ClassOf(HWND window) {
    WCHAR name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// The sheet's dialog template as the sheet callback sees it: header, no
// menu, default class, no title, the font. It is placed at an odd address on
// purpose: a template need not be aligned.
struct SheetTemplate {
    uint8_t bytes[64];
    DLGTEMPLATE *Get() { return reinterpret_cast<DLGTEMPLATE *>(bytes + 1); }
    DWORD Style() const {
        DWORD style;
        memcpy(&style, bytes + 1, 4);
        return style;
    }
};

void BuildSheetTemplate(SheetTemplate &t) {
    memset(t.bytes, 0, sizeof(t.bytes));
    uint8_t *p = t.bytes + 1;
    DWORD style = kSheetStyle;
    memcpy(p, &style, 4); // style; extended style, count, position and size stay 0
    p += sizeof(DLGTEMPLATE);
    p += 2 + 2 + 2; // no menu, default class, empty title
    WORD points = 8;
    memcpy(p, &points, 2);
    p += 2;
    const char16_t font[] = u"MS Sans Serif";
    memcpy(p, font, sizeof(font));
}

HWND FindTarget(HWND page, const std::u16string &target) {
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (target.empty() || WindowText(c) == target || ClassOf(c) == target)
            return c;
    }
    return nullptr;
}

LRESULT Notify(HWND sheet, HWND page, UINT code) {
    PSHNOTIFY n{};
    n.hdr.hwndFrom = sheet;
    n.hdr.idFrom = 0;
    n.hdr.code = code;
    return SendMessageW(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
}

std::vector<kxtest::SheetAction> CurrentScript() {
    std::lock_guard<std::mutex> guard(scriptLock);
    if (scriptSet)
        return script;
    const char *env = getenv("KX_SHEET_SCRIPT");
    return env ? kxtest::ParseSheetScript(env) : std::vector<kxtest::SheetAction>{};
}

void Observe(const std::string &event, HWND sheet, HWND page) {
    kxtest::SheetObserver o;
    {
        std::lock_guard<std::mutex> guard(scriptLock);
        record.dumps.push_back(kxtest::DumpSheet(sheet, page));
        o = observer;
    }
    if (event == "shown") {
        const char *dump = getenv("KX_SHEET_DUMP");
        if (dump && *dump) {
            std::string text = kxtest::DumpSheet(sheet, page);
            if (std::string(dump) == "-") {
                std::cout << text << std::flush;
            } else {
                std::ofstream out(dump, std::ios::app);
                out << text;
            }
        }
    }
    if (o)
        o(event, sheet, page);
}

// The page the sheet opens on; null (last error set) for a header or page
// this host does not offer.
const PROPSHEETPAGEW *StartPage(LPCPROPSHEETHEADERW header) {
    if (!header || header->dwSize < sizeof(PROPSHEETHEADERW) || header->nPages == 0 ||
        !(header->dwFlags & PSH_PROPSHEETPAGE) || !header->ppsp) {
        // Pages made with CreatePropertySheetPage are not offered by the host.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    UINT start = (header->dwFlags & PSH_USEPSTARTPAGE) ? 0 : header->nStartPage;
    if (start >= header->nPages)
        start = 0;
    const PROPSHEETPAGEW &page = header->ppsp[start];
    if (page.dwSize < sizeof(PROPSHEETPAGEW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &page;
}

// The callback's calls before the sheet exists (it may edit the template);
// returns the caption: the callback's title, else the header's.
std::u16string PreCreate(PFNPROPSHEETCALLBACK callback, LPCPROPSHEETHEADERW header,
                         SheetTemplate &sheetTemplate, int *version) {
    WCHAR title[MAX_PATH] = {};
    if (callback) {
        callback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(sheetTemplate.Get()));
        *version = callback(nullptr, PSCB_GETVERSION, 0);
        callback(nullptr, PSCB_GETTITLE, reinterpret_cast<LPARAM>(title));
        title[MAX_PATH - 1] = 0;
    }
    std::u16string caption = title;
    if (caption.empty() && header->pszCaption && !IS_INTRESOURCE(header->pszCaption))
        caption = header->pszCaption;
    return caption;
}

// The page's template: from the page's module, or given in memory.
LPCDLGTEMPLATEW PageTemplate(const PROPSHEETPAGEW &page) {
    if (page.dwFlags & PSP_DLGINDIRECT)
        return page.pResource;
    if (HRSRC found = FindResourceW(page.hInstance, page.pszTemplate, RT_DIALOG))
        return static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(page.hInstance, found)));
    return nullptr;
}

void RecordShown(int version, DWORD style, const std::u16string &caption) {
    std::lock_guard<std::mutex> guard(scriptLock);
    ++record.sheets;
    record.callbackVersion = version;
    record.templateStyle = style;
    record.title = caption;
    record.dumps.clear();
    record.result = 0;
}

// What the close button does: the page may still refuse in PSN_QUERYCANCEL.
void CloseSheet(HWND sheet, HWND pageWindow) {
    Notify(sheet, pageWindow, PSN_QUERYCANCEL);
    Notify(sheet, pageWindow, PSN_RESET);
    SendMessageW(pageWindow, WM_CLOSE, 0, 0);
}

// Plays the user's actions on the shown sheet until one ends it; closes it
// when none did. Returns the sheet's result: 1 after OK, else 0.
INT_PTR PlayScript(HWND sheet, HWND pageWindow) {
    INT_PTR result = 0;
    bool ended = false;
    for (const kxtest::SheetAction &action : CurrentScript()) {
        if (action.kind == kxtest::SheetAction::Click) {
            if (HWND target = FindTarget(pageWindow, action.target))
                SendMessageW(target, BM_CLICK, 0, 0);
            Observe("click", sheet, pageWindow);
        } else if (action.kind == kxtest::SheetAction::Ok) {
            Notify(sheet, pageWindow, PSN_KILLACTIVE);
            Notify(sheet, pageWindow, PSN_APPLY);
            Observe("ok", sheet, pageWindow);
            result = 1;
            ended = true;
        } else {
            CloseSheet(sheet, pageWindow);
            Observe("close", sheet, pageWindow);
            ended = true;
        }
        if (ended || KxDialogEnded(pageWindow, nullptr))
            break;
    }
    if (!ended && !KxDialogEnded(pageWindow, nullptr))
        CloseSheet(sheet, pageWindow); // no user: closed as its close button would
    return result;
}

// Where the sheet's picture goes: set by a test, else KX_SHEET_PNG; empty
// for none.
std::string PicturePath() {
    std::lock_guard<std::mutex> guard(scriptLock);
    if (pngSet)
        return pngPath;
    const char *env = getenv("KX_SHEET_PNG");
    return env ? env : "";
}

} // namespace

extern "C" void InitCommonControls(void) {}

extern "C" INT_PTR PropertySheetW(LPCPROPSHEETHEADERW header) {
    const PROPSHEETPAGEW *startPage = StartPage(header);
    if (!startPage)
        return -1;
    const PROPSHEETPAGEW &page = *startPage;
    PFNPROPSHEETCALLBACK callback =
        (header->dwFlags & PSH_USECALLBACK) ? header->pfnCallback : nullptr;

    SheetTemplate sheetTemplate;
    BuildSheetTemplate(sheetTemplate);
    int version = 0;
    std::u16string caption = PreCreate(callback, header, sheetTemplate, &version);
    LPCDLGTEMPLATEW pageTemplate = PageTemplate(page);
    if (!pageTemplate) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }

    // A sheet whose template lost WS_POPUP, or that asks to be maximised,
    // fills the screen: the title band on top and the page below it.
    DWORD style = sheetTemplate.Style();
    HWND sheet = CreateWindowExW(0, u"#32770", caption.c_str(),
                                 (style & ~DWORD(WS_CHILD)) | WS_VISIBLE, 0, 0, kScreenWidth,
                                 kScreenHeight, nullptr, nullptr, header->hInstance, nullptr);
    if (!sheet)
        return -1;
    if (callback)
        callback(sheet, PSCB_INITIALIZED, 0);
    PROPSHEETPAGEW pageCopy = page; // WM_INITDIALOG's parameter, as on the target
    HWND pageWindow = CreateDialogIndirectParamW(
        page.hInstance, pageTemplate, sheet, page.pfnDlgProc, reinterpret_cast<LPARAM>(&pageCopy));
    if (!pageWindow) {
        DestroyWindow(sheet);
        return -1;
    }
    MoveWindow(pageWindow, 0, kTitleHeight, kScreenWidth, kScreenHeight - kTitleHeight, FALSE);
    ShowWindow(pageWindow, SW_SHOW);
    Notify(sheet, pageWindow, PSN_SETACTIVE);
    RecordShown(version, style, caption);
    Observe("shown", sheet, pageWindow);

    INT_PTR result = PlayScript(sheet, pageWindow);
    std::string png = PicturePath();
    if (!png.empty())
        kxtest::RenderSheetPng(sheet, pageWindow, png);
    DestroyWindow(sheet);
    {
        std::lock_guard<std::mutex> guard(scriptLock);
        record.result = result;
    }
    return result;
}

namespace kxtest {

std::vector<SheetAction> ParseSheetScript(const std::string &text) {
    std::vector<SheetAction> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.rfind("click", 0) == 0) {
            std::string target = item.size() > 6 ? item.substr(6) : "";
            out.push_back({SheetAction::Click, std::u16string(target.begin(), target.end())});
        } else if (item == "ok") {
            out.push_back({SheetAction::Ok, {}});
        } else if (item == "close") {
            out.push_back({SheetAction::Close, {}});
        }
    }
    return out;
}

void SetSheetScript(const std::vector<SheetAction> &actions) {
    std::lock_guard<std::mutex> guard(scriptLock);
    script = actions;
    scriptSet = true;
}

void ClearSheetScript() {
    std::lock_guard<std::mutex> guard(scriptLock);
    script.clear();
    scriptSet = false;
}

void SetSheetObserver(SheetObserver o) {
    std::lock_guard<std::mutex> guard(scriptLock);
    observer = std::move(o);
}

void SetSheetPng(const std::string &path) {
    std::lock_guard<std::mutex> guard(scriptLock);
    pngPath = path;
    pngSet = !path.empty();
}

static std::string Quote(const std::u16string &text) {
    std::string out = "\"";
    for (char c : kxhost::Utf16ToUtf8(text)) {
        if (c == '"' || c == '\\')
            out += '\\', out += c;
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

static std::string Line(const std::string &cls, const RECT &r, const std::u16string &text) {
    return cls + " " + std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) + " " +
           Quote(text);
}

std::string DumpSheet(HWND sheet, HWND page) {
    std::string out;
    RECT r;
    if (GetWindowRect(sheet, &r))
        out += Line("SHEET", r, WindowText(sheet)) + "\n";
    RECT pageRect{};
    GetWindowRect(page, &pageRect);
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        GetWindowRect(c, &r);
        RECT rel{r.left - pageRect.left, r.top - pageRect.top, r.right - pageRect.left,
                 r.bottom - pageRect.top};
        std::u16string cls = ClassOf(c);
        out += Line(kxhost::Utf16ToUtf8(cls), rel, WindowText(c));
        if (cls == u"BUTTON" && SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED)
            out += " checked";
        out += "\n";
    }
    return out;
}

SheetRecord LastSheet() {
    std::lock_guard<std::mutex> guard(scriptLock);
    return record;
}

void ResetSheetRecord() {
    std::lock_guard<std::mutex> guard(scriptLock);
    record = SheetRecord{};
}

} // namespace kxtest

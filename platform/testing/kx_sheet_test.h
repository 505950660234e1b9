// Test hooks of commctrl's property sheet (not part of the Win32 API).
//
// The host has no user: PropertySheetW follows a script of user actions.
// A script set here applies to every sheet until it is changed; without one
// the sheet reads KX_SHEET_SCRIPT ("click:BUTTON,click:BUTTON,close"), and
// without that it is closed at once after it was shown. KX_SHEET_DUMP
// (a file, or "-" for standard output) receives the text dump of each sheet
// as shown; KX_SHEET_PNG receives its picture after the last action.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <windows.h>

namespace kxtest {

struct SheetAction {
    enum Kind {
        Click, // BM_CLICK on the first page control whose text or class is `target`
        Ok,    // PSN_APPLY to the page, then the sheet ends with 1
        Close, // PSN_RESET and WM_CLOSE to the page, then the sheet ends with 0
    };
    Kind kind;
    std::u16string target;
};

// Parses "click:TARGET", "ok" and "close" separated by commas.
std::vector<SheetAction> ParseSheetScript(const std::string &text);
void SetSheetScript(const std::vector<SheetAction> &actions);
void ClearSheetScript(); // back to KX_SHEET_SCRIPT / closing at once

// Called on the sheet's thread once the sheet is shown ("shown") and after
// each action ("click", "ok", "close"), while the windows exist.
using SheetObserver = std::function<void(const std::string &event, HWND sheet, HWND page)>;
void SetSheetObserver(SheetObserver observer);
// The picture of the sheet after its last action goes to this file ("" for
// none); it overrides KX_SHEET_PNG.
void SetSheetPng(const std::string &path);

// One line per window: first the sheet ("SHEET x,y wxh "title""), then each
// page control in creation order as CLASS x,y wxh "text", with " checked"
// for a checked box; positions are relative to the page.
std::string DumpSheet(HWND sheet, HWND page);
// Writes the sheet as a PNG picture (title, rows, checkbox, menu bar).
bool RenderSheetPng(HWND sheet, HWND page, const std::string &path);

// What the last PropertySheetW saw.
struct SheetRecord {
    int sheets = 0;                 // PropertySheetW calls that showed a sheet
    int callbackVersion = 0;        // the answer to PSCB_GETVERSION
    DWORD templateStyle = 0;        // the sheet template's style after PSCB_PRECREATE
    std::u16string title;           // what PSCB_GETTITLE wrote (else the caption)
    std::vector<std::string> dumps; // DumpSheet when shown and after each action
    INT_PTR result = 0;
};
SheetRecord LastSheet();
void ResetSheetRecord();

} // namespace kxtest

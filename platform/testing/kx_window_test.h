// Test hooks of coredll's windows, resources, TAPI lines and kernel
// control codes (not part of the Win32 API).
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace kxtest {

// ---- windows ----------------------------------------------------------------------
// The next `times` creations of windows of that class fail (CreateWindowExW
// returns null).
void FailNextCreateWindow(const std::u16string &className, int times = 1);
void ClearWindowFaults();
int LiveWindowCount();
// Every handle passed to SetForegroundWindow, as passed (low bit included).
std::vector<HWND> ForegroundRequests();
void ClearForegroundRequests();
void NoteForegroundRequest(HWND window); // used by coredll

// ---- icons and cursors ------------------------------------------------------------------
bool IconDetails(HICON icon, int *width, int *height, int *bitsPerPixel);
WORD CursorId(HCURSOR cursor);        // the IDC_ value of a system cursor; 0 for none
std::vector<HCURSOR> CursorHistory(); // every SetCursor argument, in order
void ClearCursorHistory();

// ---- TAPI line devices ------------------------------------------------------------------
struct LineDevice {
    std::u16string name;
    bool opens = true; // false: lineOpen fails with LINEERR_RESOURCEUNAVAIL
};
// Replaces the host's line devices (default: one "Cellular Line" that opens).
void SetLineDevices(const std::vector<LineDevice> &devices);
void ResetLineDevices();
// lineInitializeEx fails with LINEERR_OPERATIONFAILED while set.
void FailLineInitialize(bool fail);
int OpenLineCount();                   // lines open now
int LineAppCount();                    // line applications initialised and not shut down
std::vector<DWORD> LineOpenAttempts(); // device ids passed to lineOpen, in order
void ClearLineOpenAttempts();

// ---- KernelIoControl ------------------------------------------------------------------
// The platform question (control code 0x01012A50) answers `answer` when
// `succeed`, else fails. Default: succeeds with 5.
void SetPlatformQuestion(bool succeed, DWORD answer);
void ResetPlatformQuestion();
int PlatformQuestionCount(); // calls with that control code so far

} // namespace kxtest

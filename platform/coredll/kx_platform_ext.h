// coredll's extensions for the other platform libraries (commctrl's property
// sheet, cellcore's equipment state). Not part of the Win32 API and not for
// deliverables.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// TRUE when EndDialog was called on the dialog; *result gets its result.
BOOL KxDialogEnded(HWND dialog, INT_PTR *result);
// The dialog procedure of a dialog window (null for other windows).
DLGPROC KxDialogProcedure(HWND dialog);
// The owner of a top-level window (a menu bar's dialog, for instance).
HWND KxWindowOwner(HWND window);
// The first top-level window of that class owned by owner.
HWND KxFindOwnedWindow(HWND owner, LPCWSTR className);
// TRUE when the TAPI line handle is open.
BOOL KxLineIsOpen(DWORD line);
// TRUE when the registry can store a key or value of that name (its file
// cannot carry a line break inside a name): RegCreateKeyExW and
// RegSetValueExW refuse the others with ERROR_INVALID_PARAMETER.
BOOL KxRegistryNameStorable(LPCWSTR name);

#ifdef __cplusplus
}
#endif

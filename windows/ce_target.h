// Forced into every C++ source of the Windows build (deliverables and stubs).
// On the target, <windows.h> also declares the kernel's debug output
// (NKDbgPrintfW); the desktop <windows.h> does not, so the Windows build adds
// it here and the sources stay as they are on the target.
#pragma once

#include <windows.h>
#include <dbgapi.h>

// The host platform's windows.h: the Win32 / Windows CE API that the
// deliverables call, implemented by the platform libraries in platform/.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "dbgapi.h"

// Further parts of the API, each in its own header as on the target.
#if __has_include("winreg.h")
#include "winreg.h"
#endif
#if __has_include("winuser.h")
#include "winuser.h"
#endif
#if __has_include("winver.h")
#include "winver.h"
#endif

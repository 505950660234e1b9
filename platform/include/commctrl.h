// Common controls of the host platform (commctrl): property sheets.
#pragma once

#include "windows.h"
#include "prsht.h"

#ifdef __cplusplus
extern "C" {
#endif

void InitCommonControls(void);

#ifdef __cplusplus
}
#endif

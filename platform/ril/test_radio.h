// Internal: the RIL entry points' way into an installed kxtest::TestRadio.
#pragma once

#include <windows.h>

#include "ril.h"

namespace kx {
namespace radio {

// True while a TestRadio is installed.
bool Installed();
// True when the handle names an instance of the installed radio.
bool Owns(HRIL handle);
HRESULT Initialize(RILRESULTCALLBACK result, RILNOTIFYCALLBACK notify, DWORD classes,
                   DWORD_PTR param, HRIL *handle);
HRESULT Deinitialize(HRIL handle);
HRESULT GetCurrentOperator(HRIL handle, DWORD format);

} // namespace radio
} // namespace kx

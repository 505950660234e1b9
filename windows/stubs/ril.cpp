// Link-time stand-in for the Radio Interface Layer (ril.dll) of the target:
// lets the Windows build link the deliverables against the RIL that
// <ril.h> declares. There is no radio here: every call fails.
#include <ril.h>

extern "C" {

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD_PTR dwParam, HRIL *lphRil) {
    if (lphRil != NULL) {
        *lphRil = NULL;
    }
    return E_NOTIMPL;
}

HRESULT RIL_Deinitialize(HRIL hRil) {
    return E_NOTIMPL;
}

HRESULT RIL_GetCurrentOperator(HRIL hRil, DWORD dwFormat) {
    return E_NOTIMPL;
}

HRESULT RIL_GetEquipmentState(HRIL hRil) {
    return E_NOTIMPL;
}

HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize) {
    return E_NOTIMPL;
}

} // extern "C"

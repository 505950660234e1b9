// Stream-driver entry points (prefix APN) and the radio watch.
//
// The driver has no thread of its own. APN_Init opens a RIL instance for the
// network class; each registration on the home network asks for the current
// operator's long name, and the answer runs the provisioning. Once it is
// settled, the instance is closed and the driver stays inert until unload.

#include <windows.h>
#include <dbgapi.h>
#include <kxexport.h>
#include <ril.h>
#include <string.h>

#include "CarrierCfg.h"

#define APN_DEVICE_CONTEXT 1

// The driver's one record.
struct CarrierCfgDriver {
    // Guards the fields below, and is never held across a RIL call: the RIL waits
    // for a running callback when an instance is closed, and callbacks take
    // this lock. Whoever takes the handle out (set to zero) closes the
    // instance, so it is closed exactly once, whether the settling result on
    // the RIL thread or APN_Deinit on the device manager's thread gets there
    // first.
    //
    // The RIL may deliver a home-registration notice on its own thread while
    // RIL_Initialize is still running, before APN_Init has stored the handle
    // that the notice needs. While `initializing` is set, a notice only sets
    // `homePending`, and APN_Init asks for the operator itself once the
    // handle is stored; a notice during that request is answered by it. No
    // other request is in flight until APN_Init clears `initializing`, so no
    // settling result can close the instance under APN_Init's request.
    CRITICAL_SECTION lock;
    HRIL ril; // zero while no RIL instance is held
    bool initializing;
    bool homePending;
};

static CarrierCfgDriver g_driver;

static HRIL TakeRil(void) {
    EnterCriticalSection(&g_driver.lock);
    HRIL ril = g_driver.ril;
    g_driver.ril = 0;
    LeaveCriticalSection(&g_driver.lock);
    return ril;
}

// RIL notification callback: a change of registration to the home network
// asks for the operator's name. Anything else is ignored.
static void CALLBACK RegistrationNotifyCallback(DWORD dwCode, const void *lpData, DWORD cbData,
                                                DWORD_PTR dwParam) {
    if (dwCode != RIL_NOTIFY_REGSTATUSCHANGED)
        return;
    if (cbData != sizeof(DWORD) || lpData == NULL)
        return;
    DWORD status;
    memcpy(&status, lpData, sizeof(status));
    if (status != RIL_REGSTAT_HOME)
        return;
    EnterCriticalSection(&g_driver.lock);
    HRIL ril = g_driver.initializing ? 0 : g_driver.ril;
    if (g_driver.initializing)
        g_driver.homePending = true; // APN_Init asks once the handle is stored
    LeaveCriticalSection(&g_driver.lock);
    if (ril != 0)
        RIL_GetCurrentOperator(ril, RIL_OPFORMAT_LONG);
}

// RIL result callback: every successful 80-byte result on this instance is
// the operator-name record.
static void CALLBACK OperatorResultCallback(DWORD dwCode, HRESULT hrCmdID, const void *lpData,
                                            DWORD cbData, DWORD_PTR dwParam) {
    if (dwCode != RIL_RESULT_OK || lpData == NULL || cbData != sizeof(RILOPERATORNAMES))
        return;
    const RILOPERATORNAMES *names = (const RILOPERATORNAMES *)lpData;

    // The long name fills at most its 32 bytes and need not be terminated
    // within them.
    int length = 0;
    while (length < MAXLENGTH_OPERATOR_LONG && names->szLongName[length] != 0)
        ++length;
    WCHAR operatorName[APN_OPERATOR_NAME_CHARS];
    memset(operatorName, 0, sizeof(operatorName));
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, names->szLongName, length, operatorName,
                            APN_OPERATOR_NAME_CHARS - 1);

    if (!ProvisionForOperator(operatorName))
        return; // the next home registration tries again
    HRIL ril = TakeRil();
    if (ril != 0)
        RIL_Deinitialize(ril);
}

extern "C" BOOL WINAPI DllMain(HANDLE hInstance, DWORD dwReason, LPVOID lpReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls((HMODULE)hInstance);
        InitializeCriticalSection(&g_driver.lock);
        g_driver.ril = 0;
        g_driver.initializing = false;
        g_driver.homePending = false;
    } else if (dwReason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&g_driver.lock);
    }
    return TRUE;
}

extern "C" KX_EXPORT DWORD_PTR APN_Init(LPCTSTR pContext, LPCVOID lpvBusContext) {
    EnterCriticalSection(&g_driver.lock);
    g_driver.initializing = true;
    g_driver.homePending = false;
    LeaveCriticalSection(&g_driver.lock);
    HRIL ril = 0;
    RIL_Initialize(1, OperatorResultCallback, RegistrationNotifyCallback, RIL_NCLASS_NETWORK, 0,
                   &ril);
    EnterCriticalSection(&g_driver.lock);
    g_driver.ril = ril;
    bool ask = g_driver.homePending && ril != 0;
    g_driver.homePending = false;
    g_driver.initializing = ask;
    LeaveCriticalSection(&g_driver.lock);
    if (ask) {
        // A home registration came before the handle was stored.
        RIL_GetCurrentOperator(ril, RIL_OPFORMAT_LONG);
        EnterCriticalSection(&g_driver.lock);
        g_driver.initializing = false;
        g_driver.homePending = false; // answered by the request just made
        LeaveCriticalSection(&g_driver.lock);
    }
    return APN_DEVICE_CONTEXT;
}

extern "C" KX_EXPORT BOOL APN_Deinit(DWORD_PTR hDeviceContext) {
    HRIL ril = TakeRil();
    if (ril != 0)
        RIL_Deinitialize(ril);
    return TRUE;
}

extern "C" KX_EXPORT DWORD_PTR APN_Open(DWORD_PTR hDeviceContext, DWORD AccessCode,
                                        DWORD ShareMode) {
    return hDeviceContext;
}

extern "C" KX_EXPORT BOOL APN_Close(DWORD_PTR hOpenContext) {
    return TRUE;
}

extern "C" KX_EXPORT BOOL APN_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn,
                                        DWORD dwLenIn, PBYTE pBufOut, DWORD dwLenOut,
                                        PDWORD pdwActualOut) {
    return FALSE;
}

// Stand-in deliverable for the Windows build until the first real one
// exists: it calls the kernel (CreateFileW), the CE kernel extras
// (NKDbgPrintfW) and the RIL, has a DllMain and a version resource, so the
// whole build and check path is exercised. Remove the folder when a
// deliverable lands.
#include <windows.h>
#include <ril.h>
#include <kxexport.h>

static HINSTANCE placeholderInstance;

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        placeholderInstance = (HINSTANCE)instance;
        DisableThreadLibraryCalls((HMODULE)instance);
    }
    return TRUE;
}

// Opens and closes a stream device; 1 when it could be opened.
extern "C" KX_EXPORT BOOL PlaceholderProbePort(const WCHAR *deviceName) {
    HANDLE port =
        CreateFileW(deviceName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("Placeholder: cannot open %s (%u)\r\n"), deviceName, GetLastError());
        return FALSE;
    }
    CloseHandle(port);
    return TRUE;
}

static void CALLBACK PlaceholderRilResult(DWORD code, HRESULT commandId, const void *data,
                                          DWORD size, DWORD_PTR context) {}

// Opens and closes a RIL instance; 1 when the RIL accepted it.
extern "C" KX_EXPORT BOOL PlaceholderProbeRadio(void) {
    HRIL ril = NULL;
    HRESULT result = RIL_Initialize(1, PlaceholderRilResult, NULL, RIL_NCLASS_NETWORK, 0, &ril);
    if (result != S_OK) {
        NKDbgPrintfW(TEXT("Placeholder: RIL_Initialize failed (%08x)\r\n"), (DWORD)result);
        return FALSE;
    }
    RIL_Deinitialize(ril);
    return TRUE;
}

// Library entry: the one CommandDriver lives from load to unload.
#include "command_driver.h"

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        ConstructDriver(Driver());
    else if (reason == DLL_PROCESS_DETACH)
        DestroyDriver(Driver());
    return TRUE;
}

// Test library: records what its DllMain was called with. Detach is
// observable after unload through a named event that the test holds open.
#include <windows.h>
#include <kxexport.h>

static HANDLE instanceSeen;
static DWORD attachCount;

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        instanceSeen = instance;
        ++attachCount;
    } else if (reason == DLL_PROCESS_DETACH) {
        HANDLE detached = CreateEventW(NULL, TRUE, FALSE, TEXT("KxEntryProbeDetached"));
        SetEvent(detached);
        CloseHandle(detached);
    }
    return TRUE;
}

extern "C" KX_EXPORT HANDLE ProbeInstance(void) {
    return instanceSeen;
}
extern "C" KX_EXPORT DWORD ProbeAttachCount(void) {
    return attachCount;
}

// A minimal deliverable, built as every deliverable is, on which the host
// export check is proven: two exports, a DllMain, and internal functions and
// data that must stay hidden.
#include <windows.h>
#include <kxexport.h>

int probeCalls;

int ProbeTwice(int value) {
    return 2 * value;
}

extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved) {
    return TRUE;
}

extern "C" KX_EXPORT int ProbeFirst(int value) {
    ++probeCalls;
    return ProbeTwice(value);
}

extern "C" KX_EXPORT int ProbeSecond(void) {
    return probeCalls;
}

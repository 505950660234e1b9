// Link-time stand-in for the target's cellular core (cellcore.dll), the
// extended TAPI calls. There is no cellular line here: every call fails.
#include <windows.h>
#include <tapi.h>

#if __has_include(<extapi.h>)
#include <extapi.h>
#endif

extern "C" {

LONG WINAPI lineGetEquipmentState(HLINE hLine, LPDWORD lpdwFunctionalityLevel,
                                  LPDWORD lpdwRadioSupport) {
    return LINEERR_OPERATIONUNAVAIL;
}

} // extern "C"

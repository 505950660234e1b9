// Extended TAPI of Windows Mobile (cellcore): the radio's equipment state.
#pragma once

#include <windows.h>
#include <tapi.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LINEEQUIPSTATE_MINIMUM 0x00000001
#define LINEEQUIPSTATE_RXONLY 0x00000002
#define LINEEQUIPSTATE_TXONLY 0x00000003
#define LINEEQUIPSTATE_NOTXRX 0x00000004
#define LINEEQUIPSTATE_FULL 0x00000005

#define LINERADIOSUPPORT_OFF 0x00000001
#define LINERADIOSUPPORT_ON 0x00000002
#define LINERADIOSUPPORT_UNKNOWN 0x00000003

// Asks the radio module for its functionality level (AT+CFUN?). Result 0
// on success, else a LINEERR_ value.
LONG WINAPI lineGetEquipmentState(HLINE hLine, LPDWORD lpdwState, LPDWORD lpdwRadioSupport);

#ifdef __cplusplus
}
#endif

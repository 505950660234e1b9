// Radio Interface Layer (ril.dll) of Windows Mobile: the part the radio
// stack's clients call. On the host, each instance is a session on the
// module's AT command port, with one RIL thread that delivers its callbacks.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef HANDLE HRIL;
typedef HRIL *LPHRIL;

// Result codes (first argument of a RILRESULTCALLBACK).
#define RIL_RESULT_OK 0x00000001u
#define RIL_RESULT_NOCARRIER 0x00000002u
#define RIL_RESULT_ERROR 0x00000003u
#define RIL_RESULT_NODIALTONE 0x00000004u
#define RIL_RESULT_BUSY 0x00000005u
#define RIL_RESULT_NOANSWER 0x00000006u
#define RIL_RESULT_RADIOOFF 0x00000008u

// Notification classes (RIL_Initialize) and codes (RILNOTIFYCALLBACK).
#define RIL_NCLASS_FUNCRESULT 0x00000000u
#define RIL_NCLASS_CALLCTRL 0x00010000u
#define RIL_NCLASS_MESSAGE 0x00020000u
#define RIL_NCLASS_NETWORK 0x00040000u
#define RIL_NCLASS_SUPSERVICE 0x00080000u
#define RIL_NCLASS_PHONEBOOK 0x00100000u
#define RIL_NCLASS_SIMTOOLKIT 0x00200000u
#define RIL_NCLASS_MISC 0x00400000u
#define RIL_NCLASS_RADIOSTATE 0x00800000u
#define RIL_NCLASS_ALL 0x00ff0000u
#define RIL_NCLASS_DEVSPECIFIC 0x80000000u

#define RIL_NOTIFY_REGSTATUSCHANGED (0x00000001u | RIL_NCLASS_NETWORK)

// Registration status (data of RIL_NOTIFY_REGSTATUSCHANGED, a DWORD).
#define RIL_REGSTAT_UNKNOWN 0x00000000u
#define RIL_REGSTAT_UNREGISTERED 0x00000001u
#define RIL_REGSTAT_HOME 0x00000002u
#define RIL_REGSTAT_ATTEMPTING 0x00000003u
#define RIL_REGSTAT_DENIED 0x00000004u
#define RIL_REGSTAT_ROAMING 0x00000005u

// Operator name formats.
#define RIL_OPFORMAT_LONG 0x00000001u
#define RIL_OPFORMAT_SHORT 0x00000002u
#define RIL_OPFORMAT_NUM 0x00000003u

#define MAXLENGTH_OPERATOR_LONG 32
#define MAXLENGTH_OPERATOR_SHORT 16
#define MAXLENGTH_OPERATOR_NUMERIC 16
#define MAXLENGTH_OPERATOR_COUNTRY_CODE 8

#define RIL_PARAM_ON_LONGNAME 0x00000001u
#define RIL_PARAM_ON_SHORTNAME 0x00000002u
#define RIL_PARAM_ON_NUMNAME 0x00000004u
#define RIL_PARAM_ON_COUNTRY_CODE 0x00000008u

// 80 bytes on every build: the long name begins at byte 8 and need not be
// zero-terminated within its 32 bytes.
typedef struct rilopnames_tag {
    DWORD cbSize;
    DWORD dwParams;
    char szLongName[MAXLENGTH_OPERATOR_LONG];
    char szShortName[MAXLENGTH_OPERATOR_SHORT];
    char szNumName[MAXLENGTH_OPERATOR_NUMERIC];
    char szCountryCode[MAXLENGTH_OPERATOR_COUNTRY_CODE];
} RILOPERATORNAMES, *LPRILOPERATORNAMES;

// Equipment state (RIL_GetEquipmentState's result data).
#define RIL_EQSTATE_UNKNOWN 0x00000000u
#define RIL_EQSTATE_MINIMUM 0x00000001u
#define RIL_EQSTATE_RXTXOFF 0x00000002u
#define RIL_EQSTATE_FULL 0x00000005u
#define RIL_RADIOSUPPORT_UNKNOWN 0x00000000u
#define RIL_RADIOSUPPORT_OFF 0x00000001u
#define RIL_RADIOSUPPORT_ON 0x00000002u

// Valid fields of RILEQUIPMENTSTATE.dwParams.
#define RIL_PARAM_EQUIPMENTSTATE_EQSTATE 0x00000001u
#define RIL_PARAM_EQUIPMENTSTATE_READYSTATE 0x00000002u
#define RIL_PARAM_EQUIPMENTSTATE_RADIOSUPPORT 0x00000004u
#define RIL_PARAM_EQUIPMENTSTATE_ALL 0x00000007u

typedef struct rilequipmentstate_tag {
    DWORD cbSize;
    DWORD dwParams;
    DWORD dwEqState;
    DWORD dwReadyState;
    DWORD dwRadioSupport;
} RILEQUIPMENTSTATE, *LPRILEQUIPMENTSTATE;

// Device-specific command code that passes its text to the module as an AT
// command; the result data is the module's raw reply text.
#define RIL_DEVSPECIFIC_ATCOMMAND 6u

typedef void(CALLBACK *RILRESULTCALLBACK)(DWORD dwCode, HRESULT hrCmdID, const void *lpData,
                                          DWORD cbData, DWORD_PTR dwParam);
typedef void(CALLBACK *RILNOTIFYCALLBACK)(DWORD dwCode, const void *lpData, DWORD cbData,
                                          DWORD_PTR dwParam);

// Results: S_OK or a failure HRESULT for RIL_Initialize / RIL_Deinitialize;
// for asynchronous calls a positive command id, or a failure HRESULT.
HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD_PTR dwParam, HRIL *lphRil);
HRESULT RIL_Deinitialize(HRIL hRil);
HRESULT RIL_GetCurrentOperator(HRIL hRil, DWORD dwFormat);
HRESULT RIL_GetEquipmentState(HRIL hRil);
HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize);

#ifdef __cplusplus
}
#endif

// cellcore.dll for the Wine lane: lineGetEquipmentState, the radio's
// functionality level. As on the handheld, the cellular line asks the RIL:
// an instance of its own, RIL_GetEquipmentState (AT+CFUN? to the module),
// its result awaited.
#include <windows.h>

#include <extapi.h>
#include <ril.h>

#include <string.h>

namespace {

// How long the RIL may take to answer.
const DWORD kAnswerLimitMs = 5000;

// Filled by the RIL thread before it sets done; read after done was set.
struct Answer {
    HANDLE done;
    DWORD code;
    RILEQUIPMENTSTATE state;
};

void CALLBACK EquipmentResult(DWORD code, HRESULT id, const void *data, DWORD size,
                              DWORD_PTR param) {
    Answer *answer = (Answer *)param;
    answer->code = code;
    if (code == RIL_RESULT_OK && data != NULL && size >= sizeof(RILEQUIPMENTSTATE))
        memcpy(&answer->state, data, sizeof(RILEQUIPMENTSTATE));
    else
        answer->code = RIL_RESULT_ERROR;
    SetEvent(answer->done);
}

} // namespace

extern "C" LONG WINAPI lineGetEquipmentState(HLINE hLine, LPDWORD lpdwState,
                                             LPDWORD lpdwRadioSupport) {
    if (hLine == 0)
        return LINEERR_INVALLINEHANDLE;
    if (lpdwState == NULL || lpdwRadioSupport == NULL)
        return LINEERR_INVALPOINTER;
    Answer answer;
    memset(&answer, 0, sizeof(answer));
    answer.done = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (answer.done == NULL)
        return LINEERR_NOMEM;
    HRIL ril = NULL;
    LONG result = LINEERR_OPERATIONFAILED;
    if (RIL_Initialize(1, EquipmentResult, NULL, 0, (DWORD_PTR)&answer, &ril) == S_OK) {
        bool answered = RIL_GetEquipmentState(ril) > 0 &&
                        WaitForSingleObject(answer.done, kAnswerLimitMs) == WAIT_OBJECT_0;
        // After this no callback runs, so answer is no longer written.
        RIL_Deinitialize(ril);
        if (answered && answer.code == RIL_RESULT_OK) {
            switch (answer.state.dwEqState) {
            case RIL_EQSTATE_FULL:
                *lpdwState = LINEEQUIPSTATE_FULL;
                break;
            case RIL_EQSTATE_RXTXOFF:
                *lpdwState = LINEEQUIPSTATE_NOTXRX;
                break;
            default:
                *lpdwState = LINEEQUIPSTATE_MINIMUM;
                break;
            }
            // A level the RIL does not know leaves the radio's state open.
            if (answer.state.dwEqState == RIL_EQSTATE_UNKNOWN)
                *lpdwRadioSupport = LINERADIOSUPPORT_UNKNOWN;
            else if (answer.state.dwRadioSupport == RIL_RADIOSUPPORT_ON)
                *lpdwRadioSupport = LINERADIOSUPPORT_ON;
            else
                *lpdwRadioSupport = LINERADIOSUPPORT_OFF;
            result = 0;
        }
    }
    CloseHandle(answer.done);
    return result;
}

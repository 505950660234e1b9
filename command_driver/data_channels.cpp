// Data channels: not built yet.
#include "command_driver.h"

BOOL KxCmdSend(DWORD channel, const void *buffer, DWORD *length, DWORD timeout) {
    return 0;
}

BOOL KxCmdReceive(DWORD channel, void *buffer, DWORD *length, DWORD timeout) {
    return 0;
}

DWORD KxCmdAbort(DWORD channel, BOOL send, BOOL receive) {
    return 0;
}

// Connection operations: so far only what closing the driver needs and the
// signal-strength query.
#include "command_driver.h"

BOOL LogoffChannel(CommandDriver *driver, DWORD channel, CompletionCallback callback,
                   void *context) {
    EnterCriticalSection(&driver->lock);
    BOOL result = driver->opened && channel < ChannelCount;
    if (result)
        SetStatusListener(&driver->statusListener, NULL, NULL);
    LeaveCriticalSection(&driver->lock);
    return result;
}

void OnLogonComplete(DWORD status, const void *data, DWORD size, void *context) {}

BOOL KxCmdLogon(DWORD channel, const LogonParameters *parameters, DWORD ignored,
                const LogonCallbacks *callbacks) {
    return 0;
}

BOOL KxCmdLogoff(DWORD channel, CompletionCallback callback, void *context) {
    return LogoffChannel(Driver(), channel, callback, context);
}

BOOL KxCmdConnectionState(DWORD channel, CompletionCallback callback, void *context, DWORD *state) {
    return 0;
}

BOOL KxCmdChannelRate(DWORD channel, CompletionCallback callback, void *context,
                      ChannelRates *rates) {
    return 0;
}

BOOL KxCmdGetSignalStrength(CompletionCallback callback, void *context) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    BOOL result = 0;
    if (driver->opened && callback != NULL) {
        WORD slot = AcquireSlot(driver, callback, context);
        if (slot != NoSlot)
            result = RequestSignalStrength(&driver->slots[slot], driver->nasClientId);
    }
    LeaveCriticalSection(&driver->lock);
    return result;
}

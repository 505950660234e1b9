// Data channels: packet data through the network data ports, with per-call
// time limits and a retry across a reopen.
//
// These exports take no lock, so that a transfer never waits behind a
// control request. The fields they share with the locked exports (the data
// port handles and the time limits last applied) are read and written only
// through Interlocked operations.
#include "command_driver.h"

namespace {

// The whole record is written on every change, from both stored limits.
BOOL ApplyTimeouts(CommandDriver *driver, DWORD channel, DWORD receive, DWORD send) {
    COMMTIMEOUTS timeouts = PortTimeouts(receive, send);
    return SetCommTimeouts(LoadHandle(&driver->dataPort[channel]), &timeouts);
}

// A limit counts as applied only once the port took it: the stored value
// is put in place for composing the record and taken back if the port
// refused it (a port replaced by a reopen gets it on the retry).
BOOL ChangeLimit(CommandDriver *driver, DWORD channel, LONG volatile *stored, DWORD requested,
                 DWORD value) {
    DWORD previous = LoadValue(stored);
    if (requested == previous)
        return 1;
    StoreValue(stored, value);
    BOOL applied = ApplyTimeouts(driver, channel, LoadValue(&driver->receiveTimeout[channel]),
                                 LoadValue(&driver->sendTimeout[channel]));
    if (!applied)
        InterlockedCompareExchange(stored, (LONG)previous, (LONG)value);
    return applied;
}

} // namespace

BOOL SetReceiveTimeout(CommandDriver *driver, DWORD channel, DWORD timeLimit) {
    // No limit (-1) is stored as -2, so it never matches and is applied on
    // every call.
    DWORD value = timeLimit == MAXDWORD ? NoReceiveLimit : timeLimit;
    return ChangeLimit(driver, channel, &driver->receiveTimeout[channel], timeLimit, value);
}

BOOL SetSendTimeout(CommandDriver *driver, DWORD channel, DWORD timeLimit) {
    return ChangeLimit(driver, channel, &driver->sendTimeout[channel], timeLimit, timeLimit);
}

DWORD PurgeDataPort(CommandDriver *driver, DWORD channel, BOOL send, BOOL receive) {
    DWORD mask = 0;
    if (send)
        mask |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (receive)
        mask |= PURGE_RXABORT | PURGE_RXCLEAR;
    for (;;) {
        BOOL purged = PurgeComm(LoadHandle(&driver->dataPort[channel]), mask);
        if (purged)
            return (DWORD)purged;
        if (!WaitForPorts(driver, PortReturnTimeLimit))
            return 0;
    }
}

BOOL KxCmdSend(DWORD channel, const void *buffer, DWORD *length, DWORD timeout) {
    if (channel >= ChannelCount || length == NULL)
        return 0;
    CommandDriver *driver = Driver();
    for (;;) {
        DWORD written = 0;
        if (SetSendTimeout(driver, channel, timeout) &&
            WriteFile(LoadHandle(&driver->dataPort[channel]), buffer, *length, &written, NULL)) {
            *length = written; // fewer than asked still counts
            return 1;
        }
        if (!WaitForPorts(driver, PortReturnTimeLimit))
            return 0;
    }
}

BOOL KxCmdReceive(DWORD channel, void *buffer, DWORD *length, DWORD timeout) {
    if (channel >= ChannelCount || length == NULL)
        return 0;
    CommandDriver *driver = Driver();
    for (;;) {
        DWORD read = 0;
        if (SetReceiveTimeout(driver, channel, timeout) &&
            ReadFile(LoadHandle(&driver->dataPort[channel]), buffer, *length, &read, NULL)) {
            *length = read;
            return 1;
        }
        if (!WaitForPorts(driver, PortReturnTimeLimit))
            return 0;
    }
}

DWORD KxCmdAbort(DWORD channel, BOOL send, BOOL receive) {
    if (channel >= ChannelCount)
        return 0;
    return PurgeDataPort(Driver(), channel, send, receive);
}

// Connection operations: logon and logoff of the two packet-data channels
// and the queries of the module.
//
// The per-channel connection state (pendingStart, interfaceUp,
// packetDataHandle and the ChannelCompletion records) is guarded by
// channelLock, not by the driver lock: an asynchronous logon completes in
// OnLogonComplete on the reader thread, which must never wait for the
// driver lock (an export may hold it while awaiting a reply that only the
// reader thread can deliver).
#include "command_driver.h"

namespace {

void SetPendingStart(CommandDriver *driver, DWORD channel, WORD slot,
                     ChannelCompletion *completion = NULL) {
    EnterCriticalSection(&driver->channelLock);
    driver->pendingStart[channel] = slot;
    if (completion != NULL)
        completion->startSlot = slot;
    LeaveCriticalSection(&driver->channelLock);
}

// The record of a logon's completion: for an asynchronous logon the
// channel's record whose start has ended and left no stray interface (null
// when there is none), now holding the caller's completion; null for a
// synchronous logon. Either way it becomes the channel's current record.
ChannelCompletion *FreeCompletion(CommandDriver *driver, DWORD channel) {
    for (int r = 0; r < 2; ++r) {
        ChannelCompletion *completion = &driver->channelCompletion[channel][r];
        if (completion->callback == NULL && !completion->strayUp)
            return completion;
    }
    return NULL;
}

bool HasStrayInterface(CommandDriver *driver, DWORD channel) {
    return driver->channelCompletion[channel][0].strayUp ||
           driver->channelCompletion[channel][1].strayUp;
}

// The 32-bit packet data handle of an accepted start reply.
DWORD PacketDataHandle(const void *data) {
    const BYTE *bytes = (const BYTE *)data;
    return (DWORD)bytes[0] | (DWORD)bytes[1] << 8 | (DWORD)bytes[2] << 16 | (DWORD)bytes[3] << 24;
}

// Sends the stop for one started interface; the driver lock is held.
BOOL StopInterface(CommandDriver *driver, DWORD handle, CompletionCallback callback,
                   void *context) {
    WORD slot = AcquireSlot(driver, callback, context);
    return slot != NoSlot &&
           StopNetworkInterface(&driver->slots[slot], driver->wdsClientId, handle);
}

ChannelCompletion *ClaimCompletion(CommandDriver *driver, DWORD channel,
                                   const LogonCallbacks *callbacks) {
    bool async = callbacks != NULL && callbacks->completion != NULL;
    EnterCriticalSection(&driver->channelLock);
    ChannelCompletion *completion = async ? FreeCompletion(driver, channel) : NULL;
    if (completion != NULL) {
        completion->callback = callbacks->completion;
        completion->context = callbacks->completionContext;
    }
    driver->currentCompletion[channel] = completion;
    LeaveCriticalSection(&driver->channelLock);
    return completion;
}

void ReleaseCompletion(CommandDriver *driver, ChannelCompletion *completion) {
    EnterCriticalSection(&driver->channelLock);
    completion->callback = NULL;
    completion->context = NULL;
    if (driver->currentCompletion[completion->channel] == completion)
        driver->currentCompletion[completion->channel] = NULL;
    LeaveCriticalSection(&driver->channelLock);
}

// Idle: no port, no start pending, nothing up; an asynchronous logon also
// needs a completion record whose start has ended.
bool ChannelIdle(CommandDriver *driver, DWORD channel, const LogonCallbacks *callbacks) {
    bool async = callbacks != NULL && callbacks->completion != NULL;
    EnterCriticalSection(&driver->channelLock);
    bool idle = driver->interfaceUp[channel] == 0 && driver->pendingStart[channel] == NoSlot &&
                !HasStrayInterface(driver, channel) &&
                (!async || FreeCompletion(driver, channel) != NULL);
    LeaveCriticalSection(&driver->channelLock);
    return idle && LoadHandle(&driver->dataPort[channel]) == INVALID_HANDLE_VALUE;
}

// An asynchronous logon that finds both completion records held by starts
// that a logoff aborted ends those the module has not answered within the
// reply limit (their callers hear status 0), so that the channel can be
// logged on again: the lowest-free-first slot scan may never reach their
// slots. The driver lock is held.
void EndStaleAbortedStarts(CommandDriver *driver, DWORD channel) {
    ChannelCompletion *aborted[2];
    WORD slots[2];
    int count = 0;
    EnterCriticalSection(&driver->channelLock);
    // With no start pending, every record still waiting holds an aborted one.
    if (driver->pendingStart[channel] == NoSlot && FreeCompletion(driver, channel) == NULL) {
        for (int r = 0; r < 2; ++r) {
            ChannelCompletion *completion = &driver->channelCompletion[channel][r];
            if (completion->callback != NULL && completion->startSlot < SlotCount) {
                aborted[count] = completion;
                slots[count++] = completion->startSlot;
            }
        }
    }
    LeaveCriticalSection(&driver->channelLock);
    for (int i = 0; i < count; ++i)
        EndStaleRequest(&driver->slots[slots[i]], OnLogonComplete, aborted[i]);
}

// Opens the channel's data port and starts a network interface on it. The
// driver lock is held; every failure leaves the channel idle.
BOOL StartChannel(CommandDriver *driver, DWORD channel, const LogonParameters *parameters,
                  const LogonCallbacks *callbacks) {
    HANDLE port = OpenModulePort(TEXT("KXN"), channel + 1);
    if (port == INVALID_HANDLE_VALUE)
        return 0;
    StoreHandle(&driver->dataPort[channel], port);
    StoreValue(&driver->receiveTimeout[channel], 0);
    StoreValue(&driver->sendTimeout[channel], 0);
    if (!SetReceiveTimeout(driver, channel, MAXDWORD) ||
        !SetSendTimeout(driver, channel, MAXDWORD)) {
        LogoffChannel(driver, channel, NULL, NULL);
        return 0;
    }

    ChannelCompletion *completion = ClaimCompletion(driver, channel, callbacks);
    bool async = completion != NULL;
    WORD slot =
        async ? AcquireSlot(driver, OnLogonComplete, completion) : AcquireSlot(driver, NULL, NULL);
    SetPendingStart(driver, channel, slot, completion);
    if (slot == NoSlot) {
        if (async)
            ReleaseCompletion(driver, completion);
        LogoffChannel(driver, channel, NULL, NULL);
        return 0;
    }
    if (callbacks != NULL && callbacks->statusCallback != NULL)
        SetStatusListener(&driver->statusListener, callbacks->statusCallback,
                          callbacks->statusContext);

    DWORD handle = 0;
    if (!StartNetworkInterface(&driver->slots[slot], driver->wdsClientId, parameters,
                               async ? NULL : &handle)) {
        // An asynchronous start that was not written has already run
        // OnLogonComplete with status 0.
        SetPendingStart(driver, channel, NoSlot);
        LogoffChannel(driver, channel, NULL, NULL);
        return 0;
    }
    if (async)
        return 1; // pendingStart keeps the slot until OnLogonComplete
    EnterCriticalSection(&driver->channelLock);
    driver->pendingStart[channel] = NoSlot;
    driver->interfaceUp[channel] = 1;
    driver->packetDataHandle[channel] = handle;
    LeaveCriticalSection(&driver->channelLock);
    return 1;
}

// The slot for a query, taken under the driver lock: allowed on a channel
// with an open data port, with exactly one of callback (asynchronous) and
// output (synchronous).
WORD QuerySlot(CommandDriver *driver, DWORD channel, CompletionCallback callback, void *context,
               const void *output) {
    if (!driver->opened || channel >= ChannelCount ||
        LoadHandle(&driver->dataPort[channel]) == INVALID_HANDLE_VALUE ||
        (callback != NULL) == (output != NULL))
        return NoSlot;
    return AcquireSlot(driver, callback, context);
}

} // namespace

void OnLogonComplete(DWORD status, const void *data, DWORD size, void *context) {
    ChannelCompletion *completion = (ChannelCompletion *)context;
    CommandDriver *driver = completion->driver;
    DWORD channel = completion->channel;
    if (channel >= ChannelCount)
        return;
    bool started = status != 0 && data != NULL && size == 4;
    EnterCriticalSection(&driver->channelLock);
    if (driver->currentCompletion[channel] == completion) {
        driver->pendingStart[channel] = NoSlot;
        driver->interfaceUp[channel] = status;
        if (started)
            driver->packetDataHandle[channel] = PacketDataHandle(data);
    } else if (started) {
        // A start that a logoff aborted, succeeding after a newer logon of
        // the channel began: it leaves the channel's state alone, but the
        // interface is kept for the next logoff to stop.
        completion->strayUp = 1;
        completion->strayHandle = PacketDataHandle(data);
    }
    CompletionCallback callback = completion->callback;
    void *callerContext = completion->context;
    completion->callback = NULL;
    completion->context = NULL;
    LeaveCriticalSection(&driver->channelLock);
    // The caller's completion runs with no lock of the driver held.
    if (callback != NULL)
        callback(status, NULL, 0, callerContext);
}

BOOL KxCmdLogon(DWORD channel, const LogonParameters *parameters, DWORD ignored,
                const LogonCallbacks *callbacks) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    BOOL result = 0;
    if (driver->opened && channel < ChannelCount) {
        if (callbacks != NULL && callbacks->completion != NULL)
            EndStaleAbortedStarts(driver, channel);
        if (ChannelIdle(driver, channel, callbacks))
            result = StartChannel(driver, channel, parameters, callbacks);
    }
    LeaveCriticalSection(&driver->lock);
    return result;
}

BOOL LogoffChannel(CommandDriver *driver, DWORD channel, CompletionCallback callback,
                   void *context) {
    EnterCriticalSection(&driver->lock);
    if (!driver->opened || channel >= ChannelCount) {
        LeaveCriticalSection(&driver->lock);
        return 0;
    }
    BOOL result = 1;
    // Transfers waiting on the port end before it closes.
    HANDLE port = LoadHandle(&driver->dataPort[channel]);
    if (port != INVALID_HANDLE_VALUE) {
        PurgeDataPort(driver, channel, 1, 1);
        StoreHandle(&driver->dataPort[channel], INVALID_HANDLE_VALUE);
        CloseHandle(port);
    } else {
        result = 0;
    }

    // A start still outstanding is aborted by its transaction id, the index
    // of the slot that carries it; its outcome may still arrive later.
    EnterCriticalSection(&driver->channelLock);
    WORD pending = driver->pendingStart[channel];
    LeaveCriticalSection(&driver->channelLock);
    if (pending != NoSlot) {
        WORD slot = AcquireSlot(driver, NULL, NULL);
        if (slot == NoSlot || !AbortTransaction(&driver->slots[slot], driver->wdsClientId, pending))
            result = 0;
    }

    // The started interfaces are taken and cleared in one step: a start
    // that succeeds from here on (its completion does not wait for the
    // driver lock) is left for the next logoff to stop, instead of being
    // cleared unseen after the stops below.
    EnterCriticalSection(&driver->channelLock);
    driver->pendingStart[channel] = NoSlot;
    DWORD up = driver->interfaceUp[channel];
    DWORD handle = driver->packetDataHandle[channel];
    driver->interfaceUp[channel] = 0;
    DWORD strays[2];
    int strayCount = 0;
    for (int r = 0; r < 2; ++r) {
        ChannelCompletion *completion = &driver->channelCompletion[channel][r];
        if (completion->strayUp)
            strays[strayCount++] = completion->strayHandle;
        completion->strayUp = 0;
    }
    LeaveCriticalSection(&driver->channelLock);
    // The caller's callback hears of the channel's own interface only; the
    // stray ones are stopped synchronously.
    if (up && !StopInterface(driver, handle, callback, context))
        result = 0;
    for (int s = 0; s < strayCount; ++s) {
        if (!StopInterface(driver, strays[s], NULL, NULL))
            result = 0;
    }
    SetStatusListener(&driver->statusListener, NULL, NULL);
    LeaveCriticalSection(&driver->lock);
    return result;
}

void ForgetStartedInterfaces(CommandDriver *driver) {
    EnterCriticalSection(&driver->channelLock);
    for (DWORD channel = 0; channel < ChannelCount; ++channel) {
        driver->interfaceUp[channel] = 0;
        driver->channelCompletion[channel][0].strayUp = 0;
        driver->channelCompletion[channel][1].strayUp = 0;
    }
    LeaveCriticalSection(&driver->channelLock);
}

BOOL KxCmdLogoff(DWORD channel, CompletionCallback callback, void *context) {
    return LogoffChannel(Driver(), channel, callback, context);
}

BOOL KxCmdConnectionState(DWORD channel, CompletionCallback callback, void *context, DWORD *state) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    WORD slot = QuerySlot(driver, channel, callback, context, state);
    BOOL result = slot != NoSlot &&
                  QueryPacketServiceStatus(&driver->slots[slot], driver->wdsClientId, state);
    LeaveCriticalSection(&driver->lock);
    return result;
}

BOOL KxCmdChannelRate(DWORD channel, CompletionCallback callback, void *context,
                      ChannelRates *rates) {
    CommandDriver *driver = Driver();
    EnterCriticalSection(&driver->lock);
    WORD slot = QuerySlot(driver, channel, callback, context, rates);
    BOOL result =
        slot != NoSlot && QueryChannelRate(&driver->slots[slot], driver->wdsClientId, rates);
    LeaveCriticalSection(&driver->lock);
    return result;
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

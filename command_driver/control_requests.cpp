// The eight control requests: each builds its frame in a local buffer,
// writes it from the slot that AcquireSlot took for the caller, and either
// awaits the reply (no callback) or leaves the slot outstanding (callback).
#include "command_driver.h"
#include "control_frames.h"

#include <string.h>

namespace {

const SlotCompletion NoCompletion = {NULL, NULL, 0, NULL, 0};

// Writes the request and awaits it. Entered and left with the slot's lock
// held; a callback of a request that failed is handed back in *pending, to
// be called once the lock is left.
RequestStage SendAndAwait(TransactionSlot *slot, const BYTE *frame, DWORD length,
                          SlotCompletion *pending) {
    slot->requestService = frame[4];
    slot->requestMessage = FrameMessageId(frame);
    if (length == 0 || !SendRequest(slot, frame, length)) {
        FinishCancel(slot, pending);
        return RequestFailed;
    }
    if (!AwaitReply(slot))
        return RequestFailed;
    return slot->callback != NULL ? RequestSent : RequestAnswered;
}

// A request in its slot: Begin takes the slot's lock and checks that the
// slot was taken; End gives the synchronous result, frees a synchronous
// slot, leaves the lock and runs a failed request's callback.
struct Request {
    TransactionSlot *slot;
    SlotCompletion pending;
    BYTE frame[FrameBufferSize];

    bool Begin(TransactionSlot *s) {
        slot = s;
        pending = NoCompletion;
        EnterCriticalSection(&slot->lock);
        if (slot->inUse)
            return true;
        LeaveCriticalSection(&slot->lock);
        return false;
    }

    // Copies `size` bytes of an accepted reply to out (when given).
    RequestStage Run(DWORD length, void *out, DWORD size) {
        RequestStage stage = SendAndAwait(slot, frame, length, &pending);
        if (stage == RequestAnswered && slot->succeeded && out != NULL)
            memcpy(out, slot->result, size);
        return stage;
    }

    // answered: the synchronous result when the reply came in time.
    BOOL End(RequestStage stage, BOOL answered) {
        BOOL result = 0;
        if (stage == RequestSent) {
            result = 1;
        } else if (stage == RequestAnswered) {
            result = answered;
            slot->inUse = 0;
        }
        LeaveCriticalSection(&slot->lock);
        RunCompletion(&pending);
        return result;
    }
};

// Requests whose synchronous result is whether the reply was accepted.
BOOL Transact(Request &request, DWORD length, void *out = NULL, DWORD size = 0) {
    RequestStage stage = request.Run(length, out, size);
    return request.End(stage, stage == RequestAnswered && request.slot->succeeded);
}

} // namespace

BOOL RequestClientId(TransactionSlot *slot, BYTE service, BYTE *clientId) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    return Transact(request, BuildGetClientId(request.frame, slot->transactionId, service),
                    clientId, 1);
}

BOOL ReleaseClientId(TransactionSlot *slot, BYTE service, BYTE clientId) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    return Transact(request,
                    BuildReleaseClientId(request.frame, slot->transactionId, service, clientId));
}

BOOL RequestSignalStrength(TransactionSlot *slot, BYTE nasClientId) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    if (slot->callback == NULL) { // asynchronous only
        FinishCancel(slot, &request.pending);
        return request.End(RequestFailed, 0);
    }
    return Transact(request,
                    BuildGetSignalStrength(request.frame, slot->transactionId, nasClientId));
}

BOOL AbortTransaction(TransactionSlot *slot, BYTE wdsClientId, WORD transactionId) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    return Transact(request,
                    BuildAbort(request.frame, slot->transactionId, wdsClientId, transactionId));
}

BOOL StartNetworkInterface(TransactionSlot *slot, BYTE wdsClientId,
                           const LogonParameters *parameters, DWORD *packetDataHandle) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    // A frame that would not fit is never written: the length 0 cancels.
    DWORD length =
        BuildStartNetworkInterface(request.frame, slot->transactionId, wdsClientId, parameters);
    return Transact(request, length, packetDataHandle, sizeof *packetDataHandle);
}

BOOL StopNetworkInterface(TransactionSlot *slot, BYTE wdsClientId, DWORD packetDataHandle) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    return Transact(request, BuildStopNetworkInterface(request.frame, slot->transactionId,
                                                       wdsClientId, packetDataHandle));
}

BOOL QueryPacketServiceStatus(TransactionSlot *slot, BYTE wdsClientId, DWORD *status) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    RequestStage stage = request.Run(
        BuildGetPacketServiceStatus(request.frame, slot->transactionId, wdsClientId), NULL, 0);
    if (stage == RequestAnswered && slot->succeeded && status != NULL)
        *status = slot->result[0];
    // A rejected reply still counts as an answer; the output stays untouched.
    return request.End(stage, 1);
}

BOOL QueryChannelRate(TransactionSlot *slot, BYTE wdsClientId, ChannelRates *rates) {
    Request request;
    if (!request.Begin(slot))
        return 0;
    RequestStage stage = request.Run(
        BuildGetCurrentChannelRate(request.frame, slot->transactionId, wdsClientId), NULL, 0);
    if (stage == RequestAnswered && slot->succeeded && rates != NULL) {
        DWORD values[4];
        memcpy(values, slot->result, sizeof values);
        rates->currentTxRate = values[0];
        rates->currentRxRate = values[1];
        rates->maxTxRate = values[2];
        rates->maxRxRate = values[3];
    }
    return request.End(stage, 1);
}

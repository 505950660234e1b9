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
    // The slot's lock is held from here until the frame is written, so the
    // reader matches replies against this request only once it was sent.
    slot->requestWritten = 1;
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

// A request in its slot, built and written on the caller's stack.
struct Request {
    TransactionSlot *slot;
    SlotCompletion pending; // a failed request's callback, run after the lock
    BYTE frame[FrameBufferSize];
};

// Takes the slot's lock; false (lock left) when the slot was not taken.
bool BeginRequest(Request *request, TransactionSlot *slot) {
    request->slot = slot;
    request->pending = NoCompletion;
    EnterCriticalSection(&slot->lock);
    if (slot->inUse)
        return true;
    LeaveCriticalSection(&slot->lock);
    return false;
}

// Writes and awaits the request; copies `size` bytes of an accepted
// synchronous reply to out (when given).
RequestStage RunRequest(Request *request, DWORD length, void *out, DWORD size) {
    TransactionSlot *slot = request->slot;
    RequestStage stage = SendAndAwait(slot, request->frame, length, &request->pending);
    if (stage == RequestAnswered && slot->succeeded && out != NULL)
        memcpy(out, slot->result, size);
    return stage;
}

// Frees a synchronous slot, leaves the lock and runs a failed request's
// callback. answered: the synchronous result when the reply came in time.
BOOL EndRequest(Request *request, RequestStage stage, BOOL answered) {
    BOOL result = 0;
    if (stage == RequestSent) {
        result = 1;
    } else if (stage == RequestAnswered) {
        result = answered;
        request->slot->inUse = 0;
    }
    LeaveCriticalSection(&request->slot->lock);
    RunCompletion(&request->pending);
    return result;
}

// Requests whose synchronous result is whether the reply was accepted.
BOOL Transact(Request *request, DWORD length, void *out = NULL, DWORD size = 0) {
    RequestStage stage = RunRequest(request, length, out, size);
    return EndRequest(request, stage, stage == RequestAnswered && request->slot->succeeded);
}

} // namespace

BOOL RequestClientId(TransactionSlot *slot, BYTE service, BYTE *clientId) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    return Transact(&request, BuildGetClientId(request.frame, slot->transactionId, service),
                    clientId, 1);
}

BOOL ReleaseClientId(TransactionSlot *slot, BYTE service, BYTE clientId) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    return Transact(&request,
                    BuildReleaseClientId(request.frame, slot->transactionId, service, clientId));
}

BOOL RequestSignalStrength(TransactionSlot *slot, BYTE nasClientId) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    if (slot->callback == NULL) { // asynchronous only
        FinishCancel(slot, &request.pending);
        return EndRequest(&request, RequestFailed, 0);
    }
    return Transact(&request,
                    BuildGetSignalStrength(request.frame, slot->transactionId, nasClientId));
}

BOOL AbortTransaction(TransactionSlot *slot, BYTE wdsClientId, WORD transactionId) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    return Transact(&request,
                    BuildAbort(request.frame, slot->transactionId, wdsClientId, transactionId));
}

BOOL StartNetworkInterface(TransactionSlot *slot, BYTE wdsClientId,
                           const LogonParameters *parameters, DWORD *packetDataHandle) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    // A frame that would not fit is never written: the length 0 cancels.
    DWORD length =
        BuildStartNetworkInterface(request.frame, slot->transactionId, wdsClientId, parameters);
    return Transact(&request, length, packetDataHandle, sizeof *packetDataHandle);
}

BOOL StopNetworkInterface(TransactionSlot *slot, BYTE wdsClientId, DWORD packetDataHandle) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    return Transact(&request, BuildStopNetworkInterface(request.frame, slot->transactionId,
                                                        wdsClientId, packetDataHandle));
}

BOOL QueryPacketServiceStatus(TransactionSlot *slot, BYTE wdsClientId, DWORD *status) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    RequestStage stage = RunRequest(
        &request, BuildGetPacketServiceStatus(request.frame, slot->transactionId, wdsClientId),
        NULL, 0);
    if (stage == RequestAnswered && slot->succeeded && status != NULL)
        *status = slot->result[0];
    // A rejected reply still counts as an answer; the output stays untouched.
    return EndRequest(&request, stage, 1);
}

BOOL QueryChannelRate(TransactionSlot *slot, BYTE wdsClientId, ChannelRates *rates) {
    Request request;
    if (!BeginRequest(&request, slot))
        return 0;
    // The four rates arrive in the record's order.
    RequestStage stage = RunRequest(
        &request, BuildGetCurrentChannelRate(request.frame, slot->transactionId, wdsClientId),
        rates, sizeof *rates);
    return EndRequest(&request, stage, 1);
}

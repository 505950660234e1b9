// Transaction slots: the pairing of each control request with its reply.
//
// Slot n always carries transaction id n. Every field is guarded by the
// slot's lock; a completion callback is never called with it held (the
// state is finished first, then the lock is left, then the callback runs),
// so a callback may take the driver lock without meeting a thread that holds
// the driver lock and waits for this slot in AcquireSlot.
#include "command_driver.h"

#include <string.h>

namespace {

void NoteCompletion(TransactionSlot *slot, DWORD status, const void *data, DWORD size,
                    SlotCompletion *pending) {
    pending->callback = slot->callback;
    pending->context = slot->context;
    pending->status = status;
    pending->data = data;
    pending->size = size;
}

const SlotCompletion NoCompletion = {NULL, NULL, 0, NULL, 0};

// Only an asynchronous request older than the reply limit is stale; a
// synchronous sender still owns its slot however long it waits. The slot's
// lock is held.
bool IsStale(const TransactionSlot *slot) {
    return slot->inUse && slot->callback != NULL &&
           GetTickCount() - slot->startTick > ReplyTimeLimit;
}

} // namespace

void RunCompletion(const SlotCompletion *pending) {
    if (pending->callback != NULL)
        pending->callback(pending->status, pending->data, pending->size, pending->context);
}

void ConstructSlot(TransactionSlot *slot) {
    InitializeCriticalSection(&slot->lock);
    slot->inUse = 0;
    slot->transactionId = NoSlot;
    slot->done = CreateEventW(NULL, TRUE, TRUE, NULL);
    slot->port = INVALID_HANDLE_VALUE;
    slot->callback = NULL;
    slot->context = NULL;
    slot->startTick = 0;
    slot->succeeded = 0;
    memset(slot->result, 0, sizeof slot->result);
    slot->resultPtr = slot->result;
    slot->requestWritten = 0;
    slot->requestService = 0;
    slot->requestMessage = 0;
}

void DestroySlot(TransactionSlot *slot) {
    CancelSlot(slot);
    if (slot->done != NULL)
        CloseHandle(slot->done);
    slot->done = NULL;
    DeleteCriticalSection(&slot->lock);
}

void SetSlotPort(TransactionSlot *slot, HANDLE port) {
    EnterCriticalSection(&slot->lock);
    slot->port = port;
    LeaveCriticalSection(&slot->lock);
}

BOOL TryAcquire(TransactionSlot *slot, CompletionCallback callback, void *context) {
    SlotCompletion reclaimed = NoCompletion;
    BOOL taken = 0;
    EnterCriticalSection(&slot->lock);
    bool free = !slot->inUse;
    if (IsStale(slot))
        free = FinishCancel(slot, &reclaimed) != 0;
    if (free && slot->done != NULL && slot->transactionId != NoSlot &&
        slot->port != INVALID_HANDLE_VALUE) {
        slot->succeeded = 0;
        slot->requestWritten = 0; // no reply is this request's before its frame
        slot->inUse = 1;
        slot->callback = callback;
        slot->context = context;
        slot->startTick = GetTickCount();
        ResetEvent(slot->done);
        taken = 1;
    }
    LeaveCriticalSection(&slot->lock);
    RunCompletion(&reclaimed); // the reclaimed request ends on this thread
    return taken;
}

WORD AcquireSlot(CommandDriver *driver, CompletionCallback callback, void *context) {
    for (WORD i = 0; i < SlotCount; ++i) {
        if (TryAcquire(&driver->slots[i], callback, context))
            return i;
    }
    return NoSlot;
}

BOOL SendRequest(TransactionSlot *slot, const BYTE *message, DWORD length) {
    DWORD written = 0;
    return WriteFile(slot->port, message, length, &written, NULL) && written == length;
}

BOOL AwaitReply(TransactionSlot *slot) {
    slot->startTick = GetTickCount();
    if (slot->callback != NULL)
        return 1;
    HANDLE done = slot->done;
    LeaveCriticalSection(&slot->lock);
    DWORD waited = WaitForSingleObject(done, ReplyTimeLimit);
    if (waited != WAIT_OBJECT_0) {
        // A reply stored just now still counts as missed: the slot ends idle.
        CancelSlot(slot);
        EnterCriticalSection(&slot->lock);
        return 0;
    }
    EnterCriticalSection(&slot->lock);
    return 1;
}

BOOL FinishCancel(TransactionSlot *slot, SlotCompletion *pending) {
    EnterCriticalSection(&slot->lock);
    BOOL finished = slot->inUse;
    if (finished) {
        NoteCompletion(slot, 0, NULL, 0, pending);
        slot->inUse = 0;
        slot->callback = NULL;
        SetEvent(slot->done);
    }
    LeaveCriticalSection(&slot->lock);
    return finished;
}

BOOL CancelSlot(TransactionSlot *slot) {
    SlotCompletion pending = NoCompletion;
    BOOL finished = FinishCancel(slot, &pending);
    RunCompletion(&pending);
    return finished;
}

BOOL EndStaleRequest(TransactionSlot *slot, CompletionCallback callback, void *context) {
    SlotCompletion ended = NoCompletion;
    EnterCriticalSection(&slot->lock);
    BOOL finished = IsStale(slot) && slot->callback == callback && slot->context == context &&
                    FinishCancel(slot, &ended);
    LeaveCriticalSection(&slot->lock);
    RunCompletion(&ended);
    return finished;
}

BOOL FailSlot(TransactionSlot *slot, SlotCompletion *pending) {
    if (!slot->inUse)
        return 0;
    if (slot->callback != NULL) {
        NoteCompletion(slot, 0, NULL, 0, pending);
        slot->inUse = 0;
        slot->callback = NULL;
    }
    // A synchronous sender keeps its slot; it wakes with succeeded still 0.
    SetEvent(slot->done);
    return 1;
}

// Success completion: called by HandleReply with the slot's lock held.
void CompleteSlot(TransactionSlot *slot, const BYTE *data, DWORD size, SlotCompletion *pending) {
    if (size != 0)
        memcpy(slot->result, data, size);
    slot->succeeded = 1;
    if (slot->callback != NULL) {
        NoteCompletion(slot, 1, size != 0 ? slot->resultPtr : NULL, size, pending);
        slot->inUse = 0;
        slot->callback = NULL;
    }
    SetEvent(slot->done);
}

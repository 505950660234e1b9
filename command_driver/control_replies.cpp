// Hand-over of received frames: replies to their slots, the packet-service
// status indication to the status listener. Runs on the reader thread.
#include "command_driver.h"
#include "control_frames.h"

namespace {
const SlotCompletion NoCompletion = {NULL, NULL, 0, NULL, 0};
}

void RouteControlMessage(CommandDriver *driver, const BYTE *frame) {
    if (frame[0] != 0x01)
        return;
    WORD id = FrameTransactionId(frame);
    // A frame too short to hold its whole transaction id (one byte for CTL,
    // two otherwise, from position 7) names no request: the rest of the id
    // would be a byte of an earlier message left in the reader's buffer.
    bool holdsId = FrameLength(frame) >= (frame[4] == ServiceCtl ? 8u : 9u);
    if (holdsId && id < SlotCount && HandleReply(&driver->slots[id], frame))
        return;
    HandleStatusIndication(&driver->statusListener, frame);
}

BOOL HandleReply(TransactionSlot *slot, const BYTE *frame) {
    SlotCompletion pending = NoCompletion;
    BOOL accepted = 0;
    EnterCriticalSection(&slot->lock);
    // Frames that are not this request's reply leave the slot as it is: the
    // slot's request not written yet, not a response, or a response of
    // another service or message (a late reply to an earlier request that
    // carried the same transaction id).
    bool declined = !slot->inUse || !slot->requestWritten || !IsResponse(frame) ||
                    frame[4] != slot->requestService ||
                    (FrameLength(frame) >= FrameHeaderLength(frame[4]) &&
                     FrameMessageId(frame) != slot->requestMessage);
    if (!declined) {
        const BYTE *stored = NULL;
        DWORD storedSize = 0;
        if (CheckReply(frame, &stored, &storedSize) == ReplyAccepted) {
            CompleteSlot(slot, stored, storedSize, &pending);
            accepted = 1;
        } else {
            FailSlot(slot, &pending);
        }
    }
    LeaveCriticalSection(&slot->lock);
    RunCompletion(&pending);
    return accepted;
}

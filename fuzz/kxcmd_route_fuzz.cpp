// Fuzz target: KxCmdApi's routing of received control frames and its reply
// and indication checks (control_replies.cpp, control_frames.cpp,
// transaction_slot.cpp, status_listener.cpp linked in). The input sets the
// 64 transaction slots in any state (free, synchronous or asynchronous
// request outstanding, for any service and message) and then delivers
// frames of any length and content, as the reader thread does: only reads
// of at least 8 bytes whose frame length fits the 128-byte buffer and was
// read whole.
//
// Each frame is handed over in a buffer of exactly the bytes the frame
// holds (at least 9; see below), so that a look past the frame is caught.
//
// Checks:
//   - a frame touches at most the one slot its transaction id names, and no
//     free slot;
//   - an asynchronous request's callback is called at most once, the slot
//     is free afterwards, and an accepted reply hands over exactly the
//     payload of the accepted-reply table (size and bytes of the frame's
//     second TLV) from the slot's own result area;
//   - whether a reply is accepted is exactly the table's verdict;
//   - the status callback is called only for a well-formed WDS packet
//     service status indication, with its two value bytes;
//   - a frame whose interface type is not 0x01 changes nothing.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <vector>

#include "command_driver.h"
#include "control_frames.h"
#include "fuzz_report.h"

namespace {

// The frame being routed, for the report.
const BYTE *g_frame;
DWORD g_frameLength;

[[noreturn]] void Fail(const char *what) {
    char hex[3 * FrameBufferSize + 1] = "";
    for (DWORD i = 0; g_frame && i < g_frameLength && i < FrameBufferSize; ++i)
        snprintf(hex + 3 * i, 4, "%02x ", g_frame[i]);
    kxfuzz::Fail("kxcmd_route: %s\nframe: %s", what, hex);
}

struct Call {
    int count = 0;
    DWORD status = 0;
    const void *data = nullptr;
    DWORD size = 0;
    BYTE bytes[SlotResultSize] = {};
};
Call g_calls[SlotCount];

void Completion(DWORD status, const void *data, DWORD size, void *context) {
    Call &c = g_calls[reinterpret_cast<uintptr_t>(context)];
    ++c.count;
    c.status = status;
    c.data = data;
    c.size = size;
    if (data && size <= SlotResultSize)
        memcpy(c.bytes, data, size);
}

struct StatusCall {
    int count = 0;
    DWORD zero = 1, status = 0, reconfigure = 0;
    void *context = nullptr;
} g_status;

void Status(DWORD zero, DWORD status, DWORD reconfigure, void *context) {
    ++g_status.count;
    g_status.zero = zero;
    g_status.status = status;
    g_status.reconfigure = reconfigure;
    g_status.context = context;
}

CommandDriver *g_driver;

uint16_t U16(const BYTE *p) {
    return uint16_t(p[0] | (p[1] << 8));
}

// The accepted-reply table: minimum frame length, minimum TLV length and the
// payload's exact length (0: none).
struct Row {
    BYTE service;
    WORD message;
    DWORD minFrame, minTlv, payload;
};
const Row kRows[] = {
    {0, 0x22, 24, 12, 2}, {0, 0x23, 19, 7, 0},  {1, 0x02, 20, 7, 0},   {1, 0x20, 27, 14, 4},
    {1, 0x21, 20, 7, 0},  {1, 0x22, 24, 11, 1}, {1, 0x23, 39, 26, 16}, {3, 0x20, 25, 12, 2},
};

// The table's verdict on a response; on acceptance the bytes a caller gets.
bool TableAccepts(const BYTE *f, DWORD length, std::vector<BYTE> *payload) {
    BYTE service = f[4];
    DWORD header = service == 0 ? 12 : 13;
    if (length < header + 7)
        return false;
    DWORD tlvLength = U16(f + header - 2);
    if (tlvLength < 7)
        return false;
    const BYTE *r = f + header;
    if (r[0] != 0x02 || U16(r + 1) != 4 || U16(r + 3) != 0)
        return false;
    WORD message = U16(f + header - 4);
    for (const Row &row : kRows) {
        if (row.service != service || row.message != message)
            continue;
        if (length < row.minFrame || tlvLength < row.minTlv)
            return false;
        payload->clear();
        if (row.payload) {
            const BYTE *t = r + 7;
            if (t[0] != 0x01 || U16(t + 1) != row.payload)
                return false;
            payload->assign(t + 3, t + 3 + row.payload);
            // Get Client Id keeps only the client id.
            if (service == 0 && message == 0x22)
                payload->erase(payload->begin());
        }
        return true;
    }
    return false;
}

bool IsIndication(const BYTE *f, DWORD length, BYTE *status, BYTE *reconfigure) {
    if (length < 18 || f[4] != 1 || f[6] != 0x04 || U16(f + 9) != 0x22 || U16(f + 11) < 5 ||
        f[13] != 0x01 || U16(f + 14) != 2)
        return false;
    *status = f[16];
    *reconfigure = f[17];
    return true;
}

struct SlotPicture {
    BOOL inUse;
    CompletionCallback callback;
    BOOL succeeded;
    bool doneSet;
};

// The done event's state is looked at only for the slot a frame names
// (`withDone`): a wait per slot and frame would slow the target tenfold.
SlotPicture Picture(TransactionSlot *s, bool withDone) {
    EnterCriticalSection(&s->lock);
    SlotPicture p{s->inUse, s->callback, s->succeeded,
                  withDone && WaitForSingleObject(s->done, 0) == WAIT_OBJECT_0};
    LeaveCriticalSection(&s->lock);
    return p;
}

const WORD kMessages[] = {0x22, 0x23, 0x02, 0x20, 0x21, 0x22, 0x23, 0x20};
const BYTE kServices[] = {0, 0, 1, 1, 1, 1, 1, 3};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("KX_DEBUG_LOG", "/dev/null", 1);
    g_driver = new CommandDriver;
    ConstructDriver(g_driver);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    auto u8 = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };

    // Slots: all free, then the input's requests.
    for (WORD i = 0; i < SlotCount; ++i) {
        TransactionSlot *s = &g_driver->slots[i];
        EnterCriticalSection(&s->lock);
        s->inUse = 0;
        s->callback = NULL;
        s->context = NULL;
        s->succeeded = 0;
        SetEvent(s->done);
        LeaveCriticalSection(&s->lock);
        g_calls[i] = Call();
    }
    int requests = u8() % 8;
    for (int r = 0; r < requests; ++r) {
        WORD i = u8() % SlotCount;
        uint8_t kind = u8();
        TransactionSlot *s = &g_driver->slots[i];
        EnterCriticalSection(&s->lock);
        s->inUse = 1;
        s->callback = (kind & 1) ? Completion : NULL;
        s->context = reinterpret_cast<void *>(uintptr_t(i));
        s->requestService = kServices[(kind >> 1) % 8];
        s->requestMessage = kMessages[(kind >> 1) % 8];
        if (kind & 0x80) { // any service and message
            s->requestService = u8();
            s->requestMessage = WORD(u8() | (u8() << 8));
        }
        // Taken, its frame not yet written: no reply is its reply.
        s->requestWritten = (kind & 0x40) == 0;
        ResetEvent(s->done);
        LeaveCriticalSection(&s->lock);
    }
    uint8_t listener = u8();
    SetStatusListener(&g_driver->statusListener, (listener & 1) ? Status : NULL,
                      reinterpret_cast<void *>(uintptr_t(0x5A)));

    while (pos < size) {
        size_t read = u8();
        if (read > size - pos)
            read = size - pos;
        const BYTE *bytes = data + pos;
        pos += read;
        if (read < 8)
            continue;
        DWORD length = DWORD(bytes[1] | (bytes[2] << 8)) + 1;
        if (length > FrameBufferSize || read < length)
            continue;
        // Exactly the frame's bytes, but at least 9: the transaction id of a
        // WDS or NAS frame is bytes 7 and 8, also when only 8 were read.
        size_t held = std::max<size_t>(length, 9);
        std::unique_ptr<BYTE[]> frame(new BYTE[held]);
        memset(frame.get(), 0, held);
        memcpy(frame.get(), bytes, std::min(held, read));

        const BYTE *f0 = frame.get();
        WORD named = f0[4] == 0 ? f0[7] : WORD(f0[7] | (f0[8] << 8));
        if (f0[4] != 0 && length < 9)
            named = NoSlot; // the id is not all in the frame: it names no request
        SlotPicture before[SlotCount];
        for (WORD i = 0; i < SlotCount; ++i)
            before[i] = Picture(&g_driver->slots[i], i == named);
        int callsBefore[SlotCount];
        for (WORD i = 0; i < SlotCount; ++i)
            callsBefore[i] = g_calls[i].count;
        int statusBefore = g_status.count;

        g_frame = frame.get();
        g_frameLength = length;
        RouteControlMessage(g_driver, frame.get());

        const BYTE *f = frame.get();
        WORD id = f[4] == 0 ? f[7] : U16(f + 7);
        for (WORD i = 0; i < SlotCount; ++i) {
            SlotPicture after = Picture(&g_driver->slots[i], i == named);
            bool changed = after.inUse != before[i].inUse ||
                           after.succeeded != before[i].succeeded ||
                           after.doneSet != before[i].doneSet || g_calls[i].count != callsBefore[i];
            if (!changed)
                continue;
            if (f[0] != 0x01)
                Fail("a frame of another interface type changed a slot");
            if (i != id)
                Fail("a frame changed a slot its transaction id does not name");
            if (!before[i].inUse)
                Fail("a frame changed a free slot");
            if (!g_driver->slots[i].requestWritten)
                Fail("a frame changed a slot whose request was not written yet");
            if (f[6] != (f[4] == 0 ? 0x01 : 0x02))
                Fail("a frame that is not a response changed a slot");
            if (g_calls[i].count > 1)
                Fail("a completion callback was called twice");
            std::vector<BYTE> payload;
            bool accepted = TableAccepts(f, length, &payload);
            if (before[i].callback) {
                if (g_calls[i].count != 1)
                    Fail("an asynchronous request ended without its callback");
                if (after.inUse)
                    Fail("an asynchronous request ended but its slot stays taken");
                if (g_calls[i].status != (accepted ? 1u : 0u))
                    Fail("a reply's verdict differs from the accepted-reply table");
                if (accepted) {
                    if (g_calls[i].size != payload.size() ||
                        (payload.empty()
                             ? g_calls[i].data != nullptr
                             : g_calls[i].data != g_driver->slots[i].result ||
                                   memcmp(g_calls[i].bytes, payload.data(), payload.size()) != 0))
                        Fail("an accepted reply handed over other bytes than its payload");
                } else if (g_calls[i].data != nullptr || g_calls[i].size != 0) {
                    Fail("a failed request's callback got data");
                }
            } else {
                if (!after.inUse)
                    Fail("a synchronous request's slot was freed by the reader");
                if (!after.doneSet)
                    Fail("a synchronous request ended but its waiter is not woken");
                // A second reply before the waiter woke up (a duplicate) may
                // overwrite the first; only a first reply is judged here.
                if (!before[i].doneSet && bool(after.succeeded) != accepted)
                    Fail("a reply's verdict differs from the accepted-reply table");
                if (!before[i].doneSet && accepted && !payload.empty() &&
                    memcmp(g_driver->slots[i].result, payload.data(), payload.size()) != 0)
                    Fail("an accepted reply stored other bytes than its payload");
            }
        }
        // A response for a taken slot of its service and message (or too
        // short to name one) is that request's reply: it must end it. A
        // frame too short to hold its whole transaction id names no slot.
        bool holdsId = length >= DWORD(f[4] == 0 ? 8 : 9);
        if (f[0] == 0x01 && holdsId && id < SlotCount && before[id].inUse &&
            (before[id].callback || !before[id].doneSet) && g_driver->slots[id].requestWritten &&
            f[6] == (f[4] == 0 ? 0x01 : 0x02) && f[4] == g_driver->slots[id].requestService &&
            (length < DWORD(f[4] == 0 ? 12 : 13) ||
             U16(f + (f[4] == 0 ? 8 : 9)) == g_driver->slots[id].requestMessage)) {
            SlotPicture after = Picture(&g_driver->slots[id], true);
            if (g_calls[id].count == callsBefore[id] && after.doneSet == before[id].doneSet) {
                char what[160];
                snprintf(what, sizeof(what),
                         "a reply for a waiting request was dropped (slot %u: service %u, "
                         "message 0x%04x, %s, done %d)",
                         unsigned(id), unsigned(g_driver->slots[id].requestService),
                         unsigned(g_driver->slots[id].requestMessage),
                         before[id].callback ? "asynchronous" : "synchronous",
                         int(before[id].doneSet));
                Fail(what);
            }
        }
        BYTE status = 0, reconfigure = 0;
        bool indication = IsIndication(f, length, &status, &reconfigure);
        if (g_status.count != statusBefore) {
            if (g_status.count != statusBefore + 1)
                Fail("one frame called the status callback more than once");
            if (f[0] != 0x01 || !indication)
                Fail("the status callback was called for a frame that is no status indication");
            if (g_status.zero != 0 || g_status.status != status ||
                g_status.reconfigure != (reconfigure ? 1u : 0u) ||
                g_status.context != reinterpret_cast<void *>(uintptr_t(0x5A)))
                Fail("the status callback got other values than the indication's");
        } else if ((listener & 1) && f[0] == 0x01 && indication) {
            Fail("a status indication did not reach the status callback");
        }
    }
    return 0;
}

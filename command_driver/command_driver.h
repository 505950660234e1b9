// The driver's one record and the operations its parts share.
//
// Locks, in the only order in which they may be nested:
//
//   1. CommandDriver::lock (re-entrant): serialises every export except the
//      data transfers; held across synchronous waits of up to 30000 ms.
//   2. then at most ONE of
//        - a TransactionSlot::lock (guards that slot's fields),
//        - CommandDriver::channelLock (guards the per-channel connection
//          state: pendingStart, interfaceUp, packetDataHandle,
//          currentCompletion and the ChannelCompletion records' callbacks,
//          start slots and stray interfaces),
//        - StatusListener::lock (guards the status callback; the callback
//          itself runs under it).
//
// Rules that keep the reader thread from ever blocking on the driver lock:
//   - the reader thread never takes CommandDriver::lock;
//   - no CompletionCallback runs while a slot lock is held: a slot's state is
//     finished under its lock, the lock is released, and only then is the
//     callback called (see SlotCompletion);
//   - OnLogonComplete, the driver's own completion, takes only channelLock,
//     which nobody holds while waiting, writing or calling out.
// A slot lock and channelLock are leaves: no other lock is taken and no
// callback is called while either is held (a slot lock is held across the
// write of its request, never across a wait for the reply). The listener
// lock is held around the status callback (so that a replaced callback is
// never called once SetStatusListener returned); a status callback must
// therefore not call the driver's exports.
//
// Fields read by threads that hold no lock (the reader thread reads
// controlPort; the data transfers read dataPort and the time limits) are
// only ever accessed through the Interlocked helpers below.
#pragma once

#include "KxCmdApi.h"

enum {
    SlotCount = 64,
    NoSlot = 0xFFFF,
    ChannelCount = 2,
    FrameBufferSize = 128, // requests and received frames
    MaxRequestLength = 127,
    SlotResultSize = 16,
    NoClientId = 255,
};

// Time limits in milliseconds.
const DWORD ReplyTimeLimit = 30000;      // synchronous wait; age of a stale slot
const DWORD PortReturnTimeLimit = 10000; // waiting for the ports during a reopen
const DWORD ReaderEndTimeLimit = 1000;   // waiting for the reader at close
const DWORD RetryPause = 100;            // between reopen attempts, after a failed read
const DWORD NoReceiveLimit = MAXDWORD - 1;

const BYTE ServiceCtl = 0;
const BYTE ServiceWds = 1;
const BYTE ServiceNas = 3;

// ---- lock-free shared fields -------------------------------------------------
inline HANDLE LoadHandle(HANDLE volatile *field) {
    return InterlockedCompareExchangePointer(field, NULL, NULL);
}
inline void StoreHandle(HANDLE volatile *field, HANDLE value) {
    InterlockedExchangePointer(field, value);
}
inline HANDLE TakeHandle(HANDLE volatile *field) {
    return InterlockedExchangePointer(field, INVALID_HANDLE_VALUE);
}
inline DWORD LoadValue(LONG volatile *field) {
    return (DWORD)InterlockedCompareExchange(field, 0, 0);
}
inline void StoreValue(LONG volatile *field, DWORD value) {
    InterlockedExchange(field, (LONG)value);
}

// ---- transaction slots ---------------------------------------------------------
struct TransactionSlot {
    CRITICAL_SECTION lock;
    BOOL inUse;
    WORD transactionId; // the slot's index; 0xFFFF until assigned
    HANDLE done;        // manual reset; reset while a request is outstanding
    HANDLE port;        // copy of the control port
    CompletionCallback callback;
    void *context;
    DWORD startTick;
    BOOL succeeded;
    BYTE result[SlotResultSize]; // written only on the reader thread
    BYTE *resultPtr;
    // What the carried request asked for: a reply of another service or
    // message is not this request's, whatever its transaction id. Valid
    // only once requestWritten is set: from TryAcquire until its frame is
    // written, a slot still names the kind of the request it carried
    // before, and a late reply of that kind must not end the new one.
    BOOL requestWritten;
    BYTE requestService;
    WORD requestMessage;
};

// A completion finished under a slot's lock and called after it was left.
struct SlotCompletion {
    CompletionCallback callback; // null: nothing to call
    void *context;
    DWORD status;
    const void *data;
    DWORD size;
};

// How far a request got (the slot's lock is held again on return).
enum RequestStage {
    RequestFailed,   // not sent, or no reply in time: the slot is finished
    RequestSent,     // asynchronous: written, the slot stays outstanding
    RequestAnswered, // synchronous: the reply (accepted or not) is in
};

// ---- status listener -------------------------------------------------------------
struct StatusListener {
    CRITICAL_SECTION lock;
    StatusCallback callback;
    void *context;
};

struct CommandDriver;

// The reader thread's life, so that a reopen knows whether a reader will
// read the control port it brings back (the reader ends by itself once the
// control port is closed and no reopen is under way).
//
// CommandDriver::readerState holds the ReaderState in its two lowest bits
// and, above them, the number of the reader it belongs to (each started
// reader gets the next number). A close waits for its reader only
// ReaderEndTimeLimit; a reader still on its way out then, and replaced by
// the reader of a later open, finds its number gone and ends without
// touching its successor's state. Changed only with
// InterlockedCompareExchange / StoreValue.
enum ReaderState {
    ReaderRunning,
    ReaderEnded, // the reader has ended or is ending: it returns without blocking
    ReaderKept,  // a reopen is under way: the reader may not end
};
inline LONG ReaderValue(DWORD number, DWORD state) {
    return (LONG)((number << 2) | state);
}
inline DWORD ReaderNumberOf(LONG value) {
    return (DWORD)value >> 2;
}
inline DWORD ReaderStateOf(LONG value) {
    return (DWORD)value & 3;
}

struct ChannelCompletion {
    CommandDriver *driver;
    DWORD channel;
    CompletionCallback callback; // under channelLock
    void *context;               // under channelLock
    WORD startSlot;              // the slot of this record's start; under channelLock
    // An interface that the module started for this record's start after
    // the channel stopped expecting it (a logoff aborted the start and a
    // newer logon began): the next logoff stops it; until then the channel
    // takes no logon and the record is not reused. Under channelLock.
    BOOL strayUp;
    DWORD strayHandle;
};

// ---- the driver ---------------------------------------------------------------------
struct CommandDriver {
    CRITICAL_SECTION lock;
    HANDLE volatile controlPort;
    HANDLE readerThread;
    LONG volatile readerState; // ReaderValue(number of the latest reader, its ReaderState)
    HANDLE portAvailable;      // manual reset; reset only while a reopen works
    HANDLE volatile dataPort[ChannelCount];
    LONG volatile receiveTimeout[ChannelCount]; // last applied; -2 = none
    LONG volatile sendTimeout[ChannelCount];    // last applied; -1 = none
    CRITICAL_SECTION channelLock;
    DWORD interfaceUp[ChannelCount];      // under channelLock
    WORD pendingStart[ChannelCount];      // under channelLock
    DWORD packetDataHandle[ChannelCount]; // under channelLock
    TransactionSlot slots[SlotCount];
    StatusListener statusListener;
    // Two per channel: the outcome of a start that a logoff aborted may
    // still arrive after the next asynchronous logon of the channel began;
    // each start keeps its own record, so each caller hears of its own
    // start, once. currentCompletion names the record of the channel's
    // latest logon (null for a synchronous one); only its outcome changes
    // the channel's state (another record's successful start is kept in
    // that record as a stray interface). Both under channelLock.
    ChannelCompletion channelCompletion[ChannelCount][2];
    ChannelCompletion *currentCompletion[ChannelCount];
    BYTE wdsClientId;
    BYTE nasClientId;
    BOOL opened;
};

// The one driver of the library.
CommandDriver *Driver();
void ConstructDriver(CommandDriver *driver);
void DestroyDriver(CommandDriver *driver);

// Returns false when portAvailable is signalled (a port failure is final);
// otherwise waits up to timeLimit for it and returns true (retry).
BOOL WaitForPorts(CommandDriver *driver, DWORD timeLimit);
// Opens "KXC1:", "KXN1:" or "KXN2:" as the module's ports are opened.
HANDLE OpenModulePort(const WCHAR *prefix, DWORD number);
// A port's time-out record: reads return what is there at once, else wait
// up to receiveLimit ms; writes take up to sendLimit ms.
COMMTIMEOUTS PortTimeouts(DWORD receiveLimit, DWORD sendLimit);

// ---- slots ---------------------------------------------------------------------------
void ConstructSlot(TransactionSlot *slot);
void DestroySlot(TransactionSlot *slot);
BOOL TryAcquire(TransactionSlot *slot, CompletionCallback callback, void *context);
WORD AcquireSlot(CommandDriver *driver, CompletionCallback callback, void *context);
BOOL SendRequest(TransactionSlot *slot, const BYTE *message, DWORD length);
BOOL AwaitReply(TransactionSlot *slot);
// Finishes the slot's request under its lock (the caller may hold it) and
// hands back the callback to call once the caller no longer holds the lock.
BOOL FinishCancel(TransactionSlot *slot, SlotCompletion *pending);
// FinishCancel and the callback; the caller must not hold the slot's lock.
BOOL CancelSlot(TransactionSlot *slot);
// Ends the asynchronous request that the slot carries for this callback and
// context when it is older than the reply limit, as a reclaim would (its
// callback runs on this thread); the caller must not hold the slot's lock.
BOOL EndStaleRequest(TransactionSlot *slot, CompletionCallback callback, void *context);
BOOL FailSlot(TransactionSlot *slot, SlotCompletion *pending);
// Stores an accepted reply's data (size bytes, at most 16) and finishes the
// request; the slot's lock is held.
void CompleteSlot(TransactionSlot *slot, const BYTE *data, DWORD size, SlotCompletion *pending);
void RunCompletion(const SlotCompletion *pending);
void SetSlotPort(TransactionSlot *slot, HANDLE port);

// ---- control messages -------------------------------------------------------------
BOOL RequestClientId(TransactionSlot *slot, BYTE service, BYTE *clientId);
BOOL ReleaseClientId(TransactionSlot *slot, BYTE service, BYTE clientId);
BOOL RequestSignalStrength(TransactionSlot *slot, BYTE nasClientId);
BOOL AbortTransaction(TransactionSlot *slot, BYTE wdsClientId, WORD transactionId);
BOOL StartNetworkInterface(TransactionSlot *slot, BYTE wdsClientId,
                           const LogonParameters *parameters, DWORD *packetDataHandle);
BOOL StopNetworkInterface(TransactionSlot *slot, BYTE wdsClientId, DWORD packetDataHandle);
BOOL QueryPacketServiceStatus(TransactionSlot *slot, BYTE wdsClientId, DWORD *status);
BOOL QueryChannelRate(TransactionSlot *slot, BYTE wdsClientId, ChannelRates *rates);

void RouteControlMessage(CommandDriver *driver, const BYTE *frame);
BOOL HandleReply(TransactionSlot *slot, const BYTE *frame);

void InitializeStatusListener(StatusListener *listener);
void DestroyStatusListener(StatusListener *listener);
void SetStatusListener(StatusListener *listener, StatusCallback callback, void *context);
BOOL HandleStatusIndication(StatusListener *listener, const BYTE *frame);

// ---- connection operations and data channels ------------------------------------
// The body of KxCmdLogoff; the caller may already hold the driver lock.
BOOL LogoffChannel(CommandDriver *driver, DWORD channel, CompletionCallback callback,
                   void *context);
void OnLogonComplete(DWORD status, const void *data, DWORD size, void *context);
// At the end of a close, once the reader has ended and every slot was
// cancelled: interfaces that a start reported after the close's logoffs
// went with the released client; both channels end idle.
void ForgetStartedInterfaces(CommandDriver *driver);
BOOL SetReceiveTimeout(CommandDriver *driver, DWORD channel, DWORD timeLimit);
BOOL SetSendTimeout(CommandDriver *driver, DWORD channel, DWORD timeLimit);
DWORD PurgeDataPort(CommandDriver *driver, DWORD channel, BOOL send, BOOL receive);

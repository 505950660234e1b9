// Building and judging the control protocol's frames.
#include "control_frames.h"

#include <string.h>

namespace {

const BYTE InterfaceType = 0x01;
const BYTE FlagsCtlResponse = 0x01;
const BYTE FlagsResponse = 0x02;
const BYTE FlagsIndication = 0x04;
const BYTE TlvResult = 0x02;
const BYTE TlvPayload = 0x01;
const DWORD ResultTlvLength = 7; // type, length, result code, error code

// One accepted reply: the minimum frame and TLV lengths, the length of the
// payload TLV (type 0x01) directly behind the result TLV (0 = none), and
// which of its value bytes are kept for the request.
struct ReplyRule {
    BYTE service;
    WORD message;
    BYTE minFrameLength;
    BYTE minTlvLength;
    BYTE payloadLength;
    BYTE storeOffset;
    BYTE storeSize;
};

const ReplyRule ReplyRules[] = {
    // The client id is the second value byte; the service byte is not compared.
    {0, MessageGetClientId, 24, 12, 2, 1, 1},
    {0, MessageReleaseClientId, 19, 7, 0, 0, 0},
    {1, MessageAbort, 20, 7, 0, 0, 0},
    {1, MessageStartNetworkInterface, 27, 14, 4, 0, 4},
    {1, MessageStopNetworkInterface, 20, 7, 0, 0, 0},
    {1, MessageGetPacketServiceStatus, 24, 11, 1, 0, 1},
    {1, MessageGetCurrentChannelRate, 39, 26, 16, 0, 16},
    {3, MessageGetSignalStrength, 25, 12, 2, 0, 2},
};

WORD Read16(const BYTE *p) {
    return (WORD)(p[0] | (p[1] << 8));
}

void Write16(BYTE *p, DWORD value) {
    p[0] = (BYTE)value;
    p[1] = (BYTE)(value >> 8);
}

void Write32(BYTE *p, DWORD value) {
    Write16(p, value);
    Write16(p + 2, value >> 16);
}

// Writes both headers of a request with tlvLength bytes of TLVs and returns
// where the TLVs begin.
DWORD WriteHeaders(BYTE *frame, BYTE service, BYTE clientId, WORD transactionId, WORD message,
                   DWORD tlvLength) {
    DWORD header = FrameHeaderLength(service);
    frame[0] = InterfaceType;
    Write16(frame + 1, header + tlvLength - 1);
    frame[3] = 0x00;
    frame[4] = service;
    frame[5] = clientId;
    frame[6] = 0x00;
    if (service == 0) {
        frame[7] = (BYTE)transactionId;
        Write16(frame + 8, message);
        Write16(frame + 10, tlvLength);
    } else {
        Write16(frame + 7, transactionId);
        Write16(frame + 9, message);
        Write16(frame + 11, tlvLength);
    }
    return header;
}

// Appends one TLV at *length unless the frame would exceed 127 bytes.
bool AppendTlv(BYTE *frame, DWORD *length, BYTE type, const void *value, size_t size) {
    if (size > 127 - 3 || *length + 3 + size > 127)
        return false;
    BYTE *p = frame + *length;
    p[0] = type;
    Write16(p + 1, (DWORD)size);
    if (size != 0)
        memcpy(p + 3, value, size);
    *length += 3 + (DWORD)size;
    return true;
}

bool AppendString(BYTE *frame, DWORD *length, BYTE type, const char *text) {
    // strnlen is not in every C library of the target; stop counting at 128.
    size_t size = 0;
    while (size < 128 && text[size] != 0)
        ++size;
    return AppendTlv(frame, length, type, text, size);
}

bool AppendValue(BYTE *frame, DWORD *length, BYTE type, DWORD value) {
    BYTE bytes[4];
    Write32(bytes, value);
    return AppendTlv(frame, length, type, bytes, sizeof bytes);
}

const ReplyRule *FindRule(BYTE service, WORD message) {
    for (size_t i = 0; i < sizeof ReplyRules / sizeof ReplyRules[0]; ++i) {
        if (ReplyRules[i].service == service && ReplyRules[i].message == message)
            return &ReplyRules[i];
    }
    return NULL;
}

} // namespace

DWORD FrameLength(const BYTE *frame) {
    return (DWORD)Read16(frame + 1) + 1;
}

DWORD FrameHeaderLength(BYTE service) {
    return service == 0 ? 12 : 13;
}

WORD FrameTransactionId(const BYTE *frame) {
    return frame[4] == 0 ? frame[7] : Read16(frame + 7);
}

WORD FrameMessageId(const BYTE *frame) {
    return frame[4] == 0 ? Read16(frame + 8) : Read16(frame + 9);
}

DWORD BuildGetClientId(BYTE *frame, WORD transactionId, BYTE service) {
    DWORD at = WriteHeaders(frame, 0, 0, transactionId, MessageGetClientId, 4);
    frame[at] = 0x01;
    Write16(frame + at + 1, 1);
    frame[at + 3] = service;
    return at + 4;
}

DWORD BuildReleaseClientId(BYTE *frame, WORD transactionId, BYTE service, BYTE clientId) {
    DWORD at = WriteHeaders(frame, 0, 0, transactionId, MessageReleaseClientId, 5);
    frame[at] = 0x01;
    Write16(frame + at + 1, 2);
    frame[at + 3] = service;
    frame[at + 4] = clientId;
    return at + 5;
}

DWORD BuildGetSignalStrength(BYTE *frame, WORD transactionId, BYTE nasClientId) {
    return WriteHeaders(frame, 3, nasClientId, transactionId, MessageGetSignalStrength, 0);
}

DWORD BuildAbort(BYTE *frame, WORD transactionId, BYTE wdsClientId, WORD abortedId) {
    DWORD at = WriteHeaders(frame, 1, wdsClientId, transactionId, MessageAbort, 5);
    frame[at] = 0x01;
    Write16(frame + at + 1, 2);
    Write16(frame + at + 3, abortedId);
    return at + 5;
}

DWORD BuildStopNetworkInterface(BYTE *frame, WORD transactionId, BYTE wdsClientId,
                                DWORD packetDataHandle) {
    DWORD at = WriteHeaders(frame, 1, wdsClientId, transactionId, MessageStopNetworkInterface, 7);
    frame[at] = 0x01;
    Write16(frame + at + 1, 4);
    Write32(frame + at + 3, packetDataHandle);
    return at + 7;
}

DWORD BuildGetPacketServiceStatus(BYTE *frame, WORD transactionId, BYTE wdsClientId) {
    return WriteHeaders(frame, 1, wdsClientId, transactionId, MessageGetPacketServiceStatus, 0);
}

DWORD BuildGetCurrentChannelRate(BYTE *frame, WORD transactionId, BYTE wdsClientId) {
    return WriteHeaders(frame, 1, wdsClientId, transactionId, MessageGetCurrentChannelRate, 0);
}

DWORD BuildStartNetworkInterface(BYTE *frame, WORD transactionId, BYTE wdsClientId,
                                 const LogonParameters *parameters) {
    DWORD length =
        WriteHeaders(frame, 1, wdsClientId, transactionId, MessageStartNetworkInterface, 0);
    if (parameters != NULL) {
        const LogonParameters &p = *parameters;
        if (p.accessPointName != NULL && !AppendString(frame, &length, 0x14, p.accessPointName))
            return 0;
        if (p.userName != NULL && !AppendString(frame, &length, 0x17, p.userName))
            return 0;
        if (p.password != NULL && !AppendString(frame, &length, 0x18, p.password))
            return 0;
        if (p.primaryDns != 0 && !AppendValue(frame, &length, 0x10, p.primaryDns))
            return 0;
        if (p.secondaryDns != 0 && !AppendValue(frame, &length, 0x11, p.secondaryDns))
            return 0;
        if (p.authentication != 0 &&
            !AppendTlv(frame, &length, 0x16, &p.authentication, sizeof p.authentication))
            return 0;
    }
    Write16(frame + 1, length - 1);
    Write16(frame + 11, length - 13);
    return length;
}

BOOL IsResponse(const BYTE *frame) {
    return frame[6] == (frame[4] == 0 ? FlagsCtlResponse : FlagsResponse);
}

ReplyVerdict CheckReply(const BYTE *frame, const BYTE **stored, DWORD *storedSize) {
    if (!IsResponse(frame))
        return ReplyNotResponse;
    BYTE service = frame[4];
    DWORD header = FrameHeaderLength(service);
    DWORD length = FrameLength(frame);
    if (length < header + ResultTlvLength)
        return ReplyRejected;
    DWORD tlvLength = Read16(frame + header - 2);
    if (tlvLength < ResultTlvLength)
        return ReplyRejected;
    const BYTE *result = frame + header;
    if (result[0] != TlvResult || Read16(result + 1) != 4 || Read16(result + 3) != 0)
        return ReplyRejected; // the error code (result + 5) is not examined
    const ReplyRule *rule = FindRule(service, FrameMessageId(frame));
    if (rule == NULL || length < rule->minFrameLength || tlvLength < rule->minTlvLength)
        return ReplyRejected;
    const BYTE *payload = result + ResultTlvLength;
    if (rule->payloadLength != 0 &&
        (payload[0] != TlvPayload || Read16(payload + 1) != rule->payloadLength))
        return ReplyRejected;
    *stored = payload + 3 + rule->storeOffset;
    *storedSize = rule->storeSize;
    return ReplyAccepted;
}

BOOL CheckStatusIndication(const BYTE *frame, BYTE *connectionStatus, BYTE *reconfigure) {
    // The length first: a shorter frame's message id lies beyond what was
    // received (stale bytes of the reader's buffer).
    if (FrameLength(frame) < 18 || frame[4] != 1 || frame[6] != FlagsIndication ||
        FrameMessageId(frame) != MessageGetPacketServiceStatus || Read16(frame + 11) < 5 ||
        frame[13] != TlvPayload || Read16(frame + 14) != 2)
        return 0;
    *connectionStatus = frame[16];
    *reconfigure = frame[17];
    return 1;
}

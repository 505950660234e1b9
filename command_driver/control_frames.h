// The control protocol's frames: building requests and judging received
// frames. Nothing here does I/O or touches the driver's state, so every byte
// can be checked on its own.
//
// A frame is a QMUX header (interface type 0x01, 16-bit length of what
// follows byte 0, control flags, service type, client id), a service message
// header (CTL: flags, 8-bit transaction id; other services: flags, 16-bit
// transaction id; then message id and TLV length) and the TLVs. Integers are
// little-endian.
#pragma once

#include "KxCmdApi.h"

const WORD MessageAbort = 0x0002;
const WORD MessageGetClientId = 0x0022;     // CTL
const WORD MessageReleaseClientId = 0x0023; // CTL
const WORD MessageStartNetworkInterface = 0x0020;
const WORD MessageStopNetworkInterface = 0x0021;
const WORD MessageGetPacketServiceStatus = 0x0022; // WDS; also the status indication
const WORD MessageGetCurrentChannelRate = 0x0023;
const WORD MessageGetSignalStrength = 0x0020; // NAS

// ---- reading a frame's header ---------------------------------------------------
DWORD FrameLength(const BYTE *frame);  // the QMUX length field plus one
DWORD FrameHeaderLength(BYTE service); // 12 for CTL, else 13
WORD FrameTransactionId(const BYTE *frame);
WORD FrameMessageId(const BYTE *frame);

// ---- requests -----------------------------------------------------------------------
// Each writes the whole request into frame (at least 128 bytes) and returns
// its length.
DWORD BuildGetClientId(BYTE *frame, WORD transactionId, BYTE service);
DWORD BuildReleaseClientId(BYTE *frame, WORD transactionId, BYTE service, BYTE clientId);
DWORD BuildGetSignalStrength(BYTE *frame, WORD transactionId, BYTE nasClientId);
DWORD BuildAbort(BYTE *frame, WORD transactionId, BYTE wdsClientId, WORD abortedId);
DWORD BuildStopNetworkInterface(BYTE *frame, WORD transactionId, BYTE wdsClientId,
                                DWORD packetDataHandle);
DWORD BuildGetPacketServiceStatus(BYTE *frame, WORD transactionId, BYTE wdsClientId);
DWORD BuildGetCurrentChannelRate(BYTE *frame, WORD transactionId, BYTE wdsClientId);
// Returns 0, having sent nothing anywhere, when the request would exceed
// 127 bytes.
DWORD BuildStartNetworkInterface(BYTE *frame, WORD transactionId, BYTE wdsClientId,
                                 const LogonParameters *parameters);

// ---- replies and indications ---------------------------------------------------------
enum ReplyVerdict {
    ReplyNotResponse, // control flags are not a response's: not a reply at all
    ReplyRejected,    // a reply, but malformed or reporting failure
    ReplyAccepted,
};

// A response's control flags: 0x01 for CTL, 0x02 for the other services.
BOOL IsResponse(const BYTE *frame);

// Judges a reply by the table of accepted replies. When accepted, *stored
// points at the bytes to keep for the request (inside frame) and
// *storedSize gives their number (0 when the reply carries no payload).
ReplyVerdict CheckReply(const BYTE *frame, const BYTE **stored, DWORD *storedSize);

// The WDS packet-service status indication.
BOOL CheckStatusIndication(const BYTE *frame, BYTE *connectionStatus, BYTE *reconfigure);

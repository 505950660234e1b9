// Numbers of the QMI protocol that the module speaks: services, message ids,
// error codes and TLV types, with the names used in the frame trace.
#pragma once

#include <cstdint>

namespace kxmodem {
namespace qmi {

enum Service : uint8_t { kCtl = 0x00, kWds = 0x01, kDms = 0x02, kNas = 0x03 };

// Service message header control flags.
constexpr uint8_t kRequest = 0x00;
constexpr uint8_t kCtlResponse = 0x01;
constexpr uint8_t kCtlIndication = 0x02;
constexpr uint8_t kResponse = 0x02;
constexpr uint8_t kIndication = 0x04;
// QMUX control flags: set by the module on every frame it sends.
constexpr uint8_t kQmuxFromService = 0x80;
constexpr uint8_t kInterfaceQmux = 0x01;
constexpr uint8_t kBroadcastClient = 0xFF;

enum CtlMessage : uint16_t {
    kCtlSetInstanceId = 0x0020,
    kCtlGetVersionInfo = 0x0021,
    kCtlGetClientId = 0x0022,
    kCtlReleaseClientId = 0x0023,
    kCtlSetDataFormat = 0x0026,
    kCtlSync = 0x0027,
};

enum WdsMessage : uint16_t {
    kWdsAbort = 0x0002,
    kWdsStartNetwork = 0x0020,
    kWdsStopNetwork = 0x0021,
    kWdsGetPacketServiceStatus = 0x0022, // also the indication
    kWdsGetChannelRates = 0x0023,
};

enum NasMessage : uint16_t {
    kNasGetSignalStrength = 0x0020,
};

enum Error : uint16_t {
    kErrNone = 0x0000,
    kErrMalformedMsg = 0x0001,
    kErrNoMemory = 0x0002,
    kErrInternal = 0x0003,
    kErrAborted = 0x0004,
    kErrClientIdsExhausted = 0x0005,
    kErrUnabortableTransaction = 0x0006,
    kErrInvalidClientId = 0x0007,
    kErrInvalidHandle = 0x0009,
    kErrInvalidProfile = 0x000A,
    kErrNoNetworkFound = 0x000D,
    kErrCallFailed = 0x000E,
    kErrOutOfCall = 0x000F,
    kErrMissingArg = 0x0011,
    kErrArgTooLong = 0x0013,
    kErrInvalidTransactionId = 0x0016,
    kErrNoEffect = 0x001A,
    kErrInvalidServiceType = 0x001F,
    kErrAuthenticationFailed = 0x0022,
    kErrInvalidArg = 0x0030,
    kErrInvalidQmiCmd = 0x0047,
};

// TLV types.
constexpr uint8_t kTlvResult = 0x02;
constexpr uint8_t kTlvFirst = 0x01; // the mandatory value of requests and replies

// WDS Start Network Interface request TLVs.
enum StartNetworkTlv : uint8_t {
    kSnPrimaryDns = 0x10,
    kSnSecondaryDns = 0x11,
    kSnPrimaryNbns = 0x12,
    kSnSecondaryNbns = 0x13,
    kSnApn = 0x14,
    kSnIpv4Address = 0x15,
    kSnAuthentication = 0x16,
    kSnUserName = 0x17,
    kSnPassword = 0x18,
    kSnIpFamily = 0x19,
    kSnTechnology = 0x30,
    kSnProfile3gpp = 0x31,
};
// Start Network Interface failure reply TLVs.
constexpr uint8_t kTlvCallEndReason = 0x10;
constexpr uint8_t kTlvVerboseCallEndReason = 0x11;
// Packet service status values.
enum PacketStatus : uint8_t {
    kStatusDisconnected = 1,
    kStatusConnected = 2,
    kStatusSuspended = 3,
    kStatusAuthenticating = 4,
};
// Call end reasons (generic) and 3GPP verbose reasons (type 6).
enum CallEnd : uint16_t {
    kEndUnspecified = 1,
    kEndClientEnd = 2,
    kEndNoService = 3,
    kEndNetworkEnd = 5,
};
constexpr uint16_t kVerboseType3gpp = 6;
constexpr uint16_t k3gppUnknownApn = 27;
constexpr uint16_t k3gppAuthenticationFailed = 29;
constexpr uint16_t k3gppUnknownPdpType = 28;
constexpr uint16_t k3gppRegularDeactivation = 36;

// NAS Get Signal Strength request mask bits the module answers (UMTS).
constexpr uint16_t kMaskRssi = 0x0001;
constexpr uint16_t kMaskEcio = 0x0002;
constexpr uint8_t kTlvRssiList = 0x11;
constexpr uint8_t kTlvEcioList = 0x12;

const char *ServiceName(uint8_t service);
const char *MessageName(uint8_t service, uint16_t message);
const char *ErrorName(uint16_t error);
// Name of a TLV of a request (fromModule false) or a reply/indication.
const char *TlvName(uint8_t service, uint16_t message, bool fromModule, uint8_t type);

} // namespace qmi
} // namespace kxmodem

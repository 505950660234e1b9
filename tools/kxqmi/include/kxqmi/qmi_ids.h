// Numbers of the QMI protocol as this system speaks it: services, message
// ids, TLV types, error codes and the values of a few enumerations. Plain
// constants only (no code, nothing of the host), so that target code could
// include it as well; the names, value layouts and enumeration labels that
// go with these numbers are in qmi_table.h.
#pragma once

#include <stdint.h>

namespace kxqmi {

enum Service : uint8_t { kCtl = 0x00, kWds = 0x01, kDms = 0x02, kNas = 0x03 };

// Service message header control flags.
constexpr uint8_t kRequest = 0x00;
constexpr uint8_t kCtlResponse = 0x01;
constexpr uint8_t kCtlIndication = 0x02;
constexpr uint8_t kResponse = 0x02;
constexpr uint8_t kIndication = 0x04;
// QMUX header: interface type, and the control flag set on every frame the
// module sends.
constexpr uint8_t kInterfaceQmux = 0x01;
constexpr uint8_t kQmuxFromService = 0x80;
constexpr uint8_t kBroadcastClient = 0xFF;

enum CtlMessage : uint16_t {
    kCtlSetInstanceId = 0x0020,
    kCtlGetVersionInfo = 0x0021,
    kCtlGetClientId = 0x0022,
    kCtlReleaseClientId = 0x0023,
    kCtlSetDataFormat = 0x0026,
    kCtlSync = 0x0027,
};

// Every service but CTL lists what it answers with this message.
constexpr uint16_t kGetSupportedMessages = 0x001E;

enum WdsMessage : uint16_t {
    kWdsAbort = 0x0002,
    kWdsGetSupportedMessages = kGetSupportedMessages,
    kWdsStartNetwork = 0x0020,
    kWdsStopNetwork = 0x0021,
    kWdsGetPacketServiceStatus = 0x0022, // also the indication
    kWdsGetChannelRates = 0x0023,
    kWdsGetCurrentSettings = 0x002D,
};

enum DmsMessage : uint16_t {
    kDmsGetSupportedMessages = kGetSupportedMessages,
    kDmsGetManufacturer = 0x0021,
    kDmsGetModel = 0x0022,
    kDmsGetRevision = 0x0023,
    kDmsGetIds = 0x0025,
    kDmsGetOperatingMode = 0x002D,
};

enum NasMessage : uint16_t {
    kNasRegisterIndications = 0x0003,
    kNasGetSupportedMessages = kGetSupportedMessages,
    kNasGetSignalStrength = 0x0020,
    kNasGetServingSystem = 0x0024, // also the indication
    kNasGetHomeNetwork = 0x0025,
    kNasGetSystemInfo = 0x004D,
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

// TLV types every message shares.
constexpr uint8_t kTlvFirst = 0x01;  // the mandatory value of requests and replies
constexpr uint8_t kTlvResult = 0x02; // result code, error code

// CTL Get Client Id / Release Client Id: TLV 0x01 (service[, client]).
// CTL Get Version Info: TLV 0x01, the list of services and their versions.

// Get Supported Messages reply: the bit list of message ids.
constexpr uint8_t kTlvSupportedMessages = 0x10;

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

// WDS Get Current Settings: request TLV (what to report) and reply TLVs.
constexpr uint8_t kTlvRequestedSettings = 0x10;
enum CurrentSettingsTlv : uint8_t {
    kCsApn = 0x14,
    kCsPrimaryDns = 0x15,
    kCsSecondaryDns = 0x16,
    kCsIpv4Address = 0x1E,
    kCsIpv4Gateway = 0x20,
    kCsIpv4SubnetMask = 0x21,
    kCsMtu = 0x29,
    kCsIpFamily = 0x2B,
};

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
constexpr uint16_t k3gppUnknownPdpType = 28;
constexpr uint16_t k3gppAuthenticationFailed = 29;
constexpr uint16_t k3gppRegularDeactivation = 36;

// DMS Get Ids reply TLVs.
constexpr uint8_t kTlvEsn = 0x10;
constexpr uint8_t kTlvImei = 0x11;
constexpr uint8_t kTlvMeid = 0x12;
// DMS operating modes.
enum OperatingMode : uint8_t { kModeOnline = 0, kModeLowPower = 1 };

// NAS Get Signal Strength request mask bits the module answers (UMTS) and
// the reply's lists.
constexpr uint8_t kTlvSignalRequestMask = 0x10;
constexpr uint16_t kMaskRssi = 0x0001;
constexpr uint16_t kMaskEcio = 0x0002;
constexpr uint8_t kTlvRssiList = 0x11;
constexpr uint8_t kTlvEcioList = 0x12;

// NAS Register Indications request TLVs.
constexpr uint8_t kTlvServingSystemEvents = 0x13;
// NAS Serving System (reply and indication) TLVs; TLV 0x01 is the serving system.
constexpr uint8_t kTlvRoamingIndicator = 0x10;
constexpr uint8_t kTlvDataServiceCapability = 0x11;
constexpr uint8_t kTlvCurrentPlmn = 0x12;
// NAS Get System Info reply TLVs (the module is a UMTS module).
constexpr uint8_t kTlvWcdmaServiceStatus = 0x13;
constexpr uint8_t kTlvWcdmaSystemInfo = 0x18;

// NAS registration states, attach states, network types, roaming.
enum NasRegistration : uint8_t {
    kNasNotRegistered = 0,
    kNasRegistered = 1,
    kNasSearching = 2,
    kNasDenied = 3,
    kNasUnknown = 4,
};
enum NasAttach : uint8_t { kAttachUnknown = 0, kAttached = 1, kDetached = 2 };
enum NasNetwork : uint8_t { kNetworkUnknown = 0, kNetwork3gpp2 = 1, kNetwork3gpp = 2 };
enum NasRoaming : uint8_t { kRoamingOn = 0, kRoamingOff = 1 };
// Radio interfaces.
enum RadioInterface : uint8_t { kRadioNone = 0, kRadioGsm = 4, kRadioUmts = 5, kRadioLte = 8 };
// Data service capabilities.
constexpr uint8_t kDataCapabilityHsdpa = 3;
// System info: service status and domain.
enum ServiceStatus : uint8_t { kServiceNone = 0, kServiceLimited = 1, kServiceAvailable = 2 };
enum ServiceDomain : uint8_t { kDomainNone = 0, kDomainCs = 1, kDomainPs = 2, kDomainCsPs = 3 };

} // namespace kxqmi

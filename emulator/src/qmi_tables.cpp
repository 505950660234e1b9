#include "qmi_tables.h"

namespace kxmodem {
namespace qmi {

namespace {

struct MessageRow {
    uint8_t service;
    uint16_t message;
    const char *name;
};

const MessageRow kMessages[] = {
    {kCtl, kCtlSetInstanceId, "SetInstanceId"},
    {kCtl, kCtlGetVersionInfo, "GetVersionInfo"},
    {kCtl, kCtlGetClientId, "GetClientId"},
    {kCtl, kCtlReleaseClientId, "ReleaseClientId"},
    {kCtl, kCtlSetDataFormat, "SetDataFormat"},
    {kCtl, kCtlSync, "Sync"},
    {kWds, kWdsAbort, "Abort"},
    {kWds, kWdsStartNetwork, "StartNetworkInterface"},
    {kWds, kWdsStopNetwork, "StopNetworkInterface"},
    {kWds, kWdsGetPacketServiceStatus, "PacketServiceStatus"},
    {kWds, kWdsGetChannelRates, "GetCurrentChannelRate"},
    {kNas, kNasGetSignalStrength, "GetSignalStrength"},
};

struct ErrorRow {
    uint16_t code;
    const char *name;
};

const ErrorRow kErrors[] = {
    {kErrNone, "NONE"},
    {kErrMalformedMsg, "MALFORMED_MSG"},
    {kErrNoMemory, "NO_MEMORY"},
    {kErrInternal, "INTERNAL"},
    {kErrAborted, "ABORTED"},
    {kErrClientIdsExhausted, "CLIENT_IDS_EXHAUSTED"},
    {kErrUnabortableTransaction, "UNABORTABLE_TRANSACTION"},
    {kErrInvalidClientId, "INVALID_CLIENT_ID"},
    {kErrInvalidHandle, "INVALID_HANDLE"},
    {kErrInvalidProfile, "INVALID_PROFILE"},
    {kErrNoNetworkFound, "NO_NETWORK_FOUND"},
    {kErrCallFailed, "CALL_FAILED"},
    {kErrOutOfCall, "OUT_OF_CALL"},
    {kErrMissingArg, "MISSING_ARG"},
    {kErrArgTooLong, "ARG_TOO_LONG"},
    {kErrInvalidTransactionId, "INVALID_TX_ID"},
    {kErrNoEffect, "NO_EFFECT"},
    {kErrInvalidServiceType, "INVALID_SERVICE_TYPE"},
    {kErrAuthenticationFailed, "AUTHENTICATION_FAILED"},
    {kErrInvalidArg, "INVALID_ARG"},
    {kErrInvalidQmiCmd, "INVALID_QMI_CMD"},
};

struct TlvRow {
    uint8_t service;
    uint16_t message; // 0xFFFF: any message of the service
    bool fromModule;
    uint8_t type;
    const char *name;
};

const TlvRow kTlvs[] = {
    {kCtl, 0xFFFF, true, kTlvResult, "result"},
    {kWds, 0xFFFF, true, kTlvResult, "result"},
    {kNas, 0xFFFF, true, kTlvResult, "result"},
    {kDms, 0xFFFF, true, kTlvResult, "result"},
    {kCtl, kCtlGetClientId, false, 0x01, "service"},
    {kCtl, kCtlGetClientId, true, 0x01, "service,client"},
    {kCtl, kCtlReleaseClientId, false, 0x01, "service,client"},
    {kCtl, kCtlReleaseClientId, true, 0x01, "service,client"},
    {kCtl, kCtlGetVersionInfo, true, 0x01, "service versions"},
    {kWds, kWdsAbort, false, 0x01, "transaction id"},
    {kWds, kWdsStartNetwork, false, kSnPrimaryDns, "primary DNS pref"},
    {kWds, kWdsStartNetwork, false, kSnSecondaryDns, "secondary DNS pref"},
    {kWds, kWdsStartNetwork, false, kSnPrimaryNbns, "primary NBNS pref"},
    {kWds, kWdsStartNetwork, false, kSnSecondaryNbns, "secondary NBNS pref"},
    {kWds, kWdsStartNetwork, false, kSnApn, "APN"},
    {kWds, kWdsStartNetwork, false, kSnIpv4Address, "IPv4 address pref"},
    {kWds, kWdsStartNetwork, false, kSnAuthentication, "authentication pref"},
    {kWds, kWdsStartNetwork, false, kSnUserName, "user name"},
    {kWds, kWdsStartNetwork, false, kSnPassword, "password"},
    {kWds, kWdsStartNetwork, false, kSnIpFamily, "IP family pref"},
    {kWds, kWdsStartNetwork, false, kSnTechnology, "technology pref"},
    {kWds, kWdsStartNetwork, false, kSnProfile3gpp, "3GPP profile index"},
    {kWds, kWdsStartNetwork, true, 0x01, "packet data handle"},
    {kWds, kWdsStartNetwork, true, kTlvCallEndReason, "call end reason"},
    {kWds, kWdsStartNetwork, true, kTlvVerboseCallEndReason, "verbose call end reason"},
    {kWds, kWdsStopNetwork, false, 0x01, "packet data handle"},
    {kWds, kWdsGetPacketServiceStatus, true, 0x01, "status,reconfiguration"},
    {kWds, kWdsGetChannelRates, true, 0x01, "rates tx,rx,max tx,max rx"},
    {kNas, kNasGetSignalStrength, false, 0x10, "request mask"},
    {kNas, kNasGetSignalStrength, true, 0x01, "strength,radio interface"},
    {kNas, kNasGetSignalStrength, true, kTlvRssiList, "RSSI list"},
    {kNas, kNasGetSignalStrength, true, kTlvEcioList, "ECIO list"},
};

} // namespace

const char *ServiceName(uint8_t service) {
    switch (service) {
    case kCtl:
        return "CTL";
    case kWds:
        return "WDS";
    case kDms:
        return "DMS";
    case kNas:
        return "NAS";
    default:
        return "service?";
    }
}

const char *MessageName(uint8_t service, uint16_t message) {
    for (const auto &row : kMessages) {
        if (row.service == service && row.message == message)
            return row.name;
    }
    return "unknown";
}

const char *ErrorName(uint16_t error) {
    for (const auto &row : kErrors) {
        if (row.code == error)
            return row.name;
    }
    return "error?";
}

const char *TlvName(uint8_t service, uint16_t message, bool fromModule, uint8_t type) {
    for (const auto &row : kTlvs) {
        if (row.service == service && (row.message == message || row.message == 0xFFFF) &&
            row.fromModule == fromModule && row.type == type)
            return row.name;
    }
    return nullptr;
}

} // namespace qmi
} // namespace kxmodem

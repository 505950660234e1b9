#include "kxqmi/qmi_table.h"

#include <cstring>

namespace kxqmi {

namespace {

const ServiceRow kServices[] = {
    {kCtl, "CTL", 1, 5, false},
    {kWds, "WDS", 1, 14, true},
    {kDms, "DMS", 1, 3, true},
    {kNas, "NAS", 1, 8, true},
};

const MessageRow kMessages[] = {
    {kCtl, kCtlSetInstanceId, "SetInstanceId", true},
    {kCtl, kCtlGetVersionInfo, "GetVersionInfo", true},
    {kCtl, kCtlGetClientId, "GetClientId", true},
    {kCtl, kCtlReleaseClientId, "ReleaseClientId", true},
    {kCtl, kCtlSetDataFormat, "SetDataFormat", false},
    {kCtl, kCtlSync, "Sync", true},
    {kWds, kWdsAbort, "Abort", true},
    {kWds, kWdsGetSupportedMessages, "GetSupportedMessages", true},
    {kWds, kWdsStartNetwork, "StartNetworkInterface", true},
    {kWds, kWdsStopNetwork, "StopNetworkInterface", true},
    {kWds, kWdsGetPacketServiceStatus, "PacketServiceStatus", true},
    {kWds, kWdsGetChannelRates, "GetCurrentChannelRate", true},
    {kWds, kWdsGetCurrentSettings, "GetCurrentSettings", true},
    {kDms, kDmsGetSupportedMessages, "GetSupportedMessages", true},
    {kDms, kDmsGetManufacturer, "GetManufacturer", true},
    {kDms, kDmsGetModel, "GetModel", true},
    {kDms, kDmsGetRevision, "GetRevision", true},
    {kDms, kDmsGetIds, "GetIds", true},
    {kDms, kDmsGetOperatingMode, "GetOperatingMode", true},
    {kNas, kNasRegisterIndications, "RegisterIndications", true},
    {kNas, kNasGetSupportedMessages, "GetSupportedMessages", true},
    {kNas, kNasGetSignalStrength, "GetSignalStrength", true},
    {kNas, kNasGetServingSystem, "ServingSystem", true},
    {kNas, kNasGetHomeNetwork, "GetHomeNetwork", true},
    {kNas, kNasGetSystemInfo, "GetSystemInfo", true},
};

constexpr uint8_t kReq = kDirRequest, kResp = kDirResponse, kInd = kDirIndication,
                  kOut = kDirFromModule;

const char *const kServingSystem = "u8:registration=registration_state u8:cs_attach=attach_state "
                                   "u8:ps_attach=attach_state u8:selected_network=network_type "
                                   "n8:radio_interfaces{ u8:radio_interface=radio_interface }";
const char *const kPlmn = "u16:mcc u16:mnc str8:description";
const char *const kWcdmaSystemInfo =
    "u8:domain_valid=bool u8:domain=service_domain u8:service_capability_valid=bool "
    "u8:service_capability=service_domain u8:roaming_status_valid=bool "
    "u8:roaming_status=roaming_status u8:forbidden_valid=bool u8:forbidden=bool "
    "u8:lac_valid=bool x16:lac u8:cell_id_valid=bool x32:cell_id "
    "u8:reject_info_valid=bool u8:reject_domain=service_domain u8:reject_cause "
    "u8:network_id_valid=bool chars3:mcc_digits chars3:mnc_digits u8:hs_call_status_valid=bool "
    "u8:hs_call_status u8:hs_service_valid=bool u8:hs_service "
    "u8:primary_scrambling_code_valid=bool u16:primary_scrambling_code";

const TlvRow kTlvs[] = {
    {kAnyService, kAnyMessage, kResp, kTlvResult, "result", "u16:result=result u16:error=error"},
    {kAnyService, kGetSupportedMessages, kResp, kTlvSupportedMessages, "supported messages",
     "idbits:messages"},
    // CTL
    {kCtl, kCtlSetInstanceId, kReq, kTlvFirst, "instance", "u8:instance_id"},
    {kCtl, kCtlSetInstanceId, kResp, kTlvFirst, "link", "x16:link_id"},
    {kCtl, kCtlGetVersionInfo, kResp, kTlvFirst, "service versions",
     "n8:services{ u8:service=service u16:major u16:minor }"},
    {kCtl, kCtlGetClientId, kReq, kTlvFirst, "service", "u8:service=service"},
    {kCtl, kCtlGetClientId, kResp, kTlvFirst, "client", "u8:service=service u8:client_id"},
    {kCtl, kCtlReleaseClientId, kReq | kResp, kTlvFirst, "client",
     "u8:service=service u8:client_id"},
    {kCtl, kCtlSetDataFormat, kReq, kTlvFirst, "format", "u8:qos_header=bool"},
    {kCtl, kCtlSetDataFormat, kReq, 0x10, "link protocol", "u16:link_protocol=link_protocol"},
    // WDS
    {kWds, kWdsAbort, kReq, kTlvFirst, "transaction", "u16:transaction_id"},
    {kWds, kWdsStartNetwork, kReq, kSnPrimaryDns, "primary DNS pref", "ipv4:primary_dns"},
    {kWds, kWdsStartNetwork, kReq, kSnSecondaryDns, "secondary DNS pref", "ipv4:secondary_dns"},
    {kWds, kWdsStartNetwork, kReq, kSnPrimaryNbns, "primary NBNS pref", "ipv4:primary_nbns"},
    {kWds, kWdsStartNetwork, kReq, kSnSecondaryNbns, "secondary NBNS pref", "ipv4:secondary_nbns"},
    {kWds, kWdsStartNetwork, kReq, kSnApn, "APN", "str:apn"},
    {kWds, kWdsStartNetwork, kReq, kSnIpv4Address, "IPv4 address pref", "ipv4:ipv4_address"},
    {kWds, kWdsStartNetwork, kReq, kSnAuthentication, "authentication pref",
     "x8:authentication=authentication"},
    {kWds, kWdsStartNetwork, kReq, kSnUserName, "user name", "str:username"},
    {kWds, kWdsStartNetwork, kReq, kSnPassword, "password", "secret:password"},
    {kWds, kWdsStartNetwork, kReq, kSnIpFamily, "IP family pref", "u8:ip_family=ip_family"},
    {kWds, kWdsStartNetwork, kReq, kSnTechnology, "technology pref", "x8:technology=technology"},
    {kWds, kWdsStartNetwork, kReq, kSnProfile3gpp, "3GPP profile index", "u8:profile_index"},
    {kWds, kWdsStartNetwork, kResp, kTlvFirst, "packet data handle", "x32:packet_data_handle"},
    {kWds, kWdsStartNetwork, kResp, kTlvCallEndReason, "call end reason",
     "u16:call_end_reason=call_end_reason"},
    {kWds, kWdsStartNetwork, kResp, kTlvVerboseCallEndReason, "verbose call end reason",
     "u16:verbose_type=verbose_type u16:verbose_reason=reason_3gpp"},
    {kWds, kWdsStopNetwork, kReq, kTlvFirst, "packet data handle", "x32:packet_data_handle"},
    {kWds, kWdsGetPacketServiceStatus, kResp, kTlvFirst, "connection status",
     "u8:connection_status=connection_status"},
    {kWds, kWdsGetPacketServiceStatus, kInd, kTlvFirst, "connection status",
     "u8:connection_status=connection_status u8:reconfiguration_required=bool"},
    {kWds, kWdsGetChannelRates, kResp, kTlvFirst, "channel rates",
     "u32:tx_rate_bps u32:rx_rate_bps u32:max_tx_rate_bps u32:max_rx_rate_bps"},
    {kWds, kWdsGetCurrentSettings, kReq, kTlvRequestedSettings, "requested settings",
     "x32:requested_settings"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsApn, "APN", "str:apn"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsPrimaryDns, "primary DNS", "ipv4:primary_dns"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsSecondaryDns, "secondary DNS", "ipv4:secondary_dns"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsIpv4Address, "IPv4 address", "ipv4:ipv4_address"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsIpv4Gateway, "IPv4 gateway", "ipv4:ipv4_gateway"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsIpv4SubnetMask, "IPv4 subnet mask",
     "ipv4:ipv4_subnet_mask"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsMtu, "MTU", "u32:mtu"},
    {kWds, kWdsGetCurrentSettings, kResp, kCsIpFamily, "IP family", "u8:ip_family=ip_family"},
    // DMS
    {kDms, kDmsGetManufacturer, kResp, kTlvFirst, "manufacturer", "str:manufacturer"},
    {kDms, kDmsGetModel, kResp, kTlvFirst, "model", "str:model"},
    {kDms, kDmsGetRevision, kResp, kTlvFirst, "revision", "str:revision"},
    {kDms, kDmsGetIds, kResp, kTlvEsn, "ESN", "str:esn"},
    {kDms, kDmsGetIds, kResp, kTlvImei, "IMEI", "str:imei"},
    {kDms, kDmsGetIds, kResp, kTlvMeid, "MEID", "str:meid"},
    {kDms, kDmsGetOperatingMode, kResp, kTlvFirst, "operating mode",
     "u8:operating_mode=operating_mode"},
    // NAS
    {kNas, kNasRegisterIndications, kReq, kTlvServingSystemEvents, "serving system events",
     "u8:serving_system_events=bool"},
    {kNas, kNasGetSignalStrength, kReq, kTlvSignalRequestMask, "request mask", "x16:request_mask"},
    {kNas, kNasGetSignalStrength, kResp, kTlvFirst, "signal strength",
     "i8:signal_strength_dbm u8:radio_interface=radio_interface"},
    {kNas, kNasGetSignalStrength, kResp, kTlvRssiList, "RSSI list",
     "n16:rssi_list{ neg8:rssi_dbm u8:radio_interface=radio_interface }"},
    {kNas, kNasGetSignalStrength, kResp, kTlvEcioList, "ECIO list",
     "n16:ecio_list{ u8:ecio_minus_half_db u8:radio_interface=radio_interface }"},
    {kNas, kNasGetServingSystem, kOut, kTlvFirst, "serving system", kServingSystem},
    {kNas, kNasGetServingSystem, kOut, kTlvRoamingIndicator, "roaming indicator",
     "u8:roaming_indicator=roaming_indicator"},
    {kNas, kNasGetServingSystem, kOut, kTlvDataServiceCapability, "data service capability",
     "n8:data_capabilities{ u8:data_capability=data_capability }"},
    {kNas, kNasGetServingSystem, kOut, kTlvCurrentPlmn, "current PLMN", kPlmn},
    {kNas, kNasGetHomeNetwork, kResp, kTlvFirst, "home network", kPlmn},
    {kNas, kNasGetSystemInfo, kResp, kTlvWcdmaServiceStatus, "WCDMA service status",
     "u8:service_status=service_status u8:true_service_status=service_status "
     "u8:preferred_data_path=bool"},
    {kNas, kNasGetSystemInfo, kResp, kTlvWcdmaSystemInfo, "WCDMA system info", kWcdmaSystemInfo},
};

const EnumRow kEnums[] = {
    {"bool", 0, "no"},
    {"bool", 1, "yes"},
    {"result", 0, "success"},
    {"result", 1, "failure"},
    {"error", kErrNone, "NONE"},
    {"error", kErrMalformedMsg, "MALFORMED_MSG"},
    {"error", kErrNoMemory, "NO_MEMORY"},
    {"error", kErrInternal, "INTERNAL"},
    {"error", kErrAborted, "ABORTED"},
    {"error", kErrClientIdsExhausted, "CLIENT_IDS_EXHAUSTED"},
    {"error", kErrUnabortableTransaction, "UNABORTABLE_TRANSACTION"},
    {"error", kErrInvalidClientId, "INVALID_CLIENT_ID"},
    {"error", kErrInvalidHandle, "INVALID_HANDLE"},
    {"error", kErrInvalidProfile, "INVALID_PROFILE"},
    {"error", kErrNoNetworkFound, "NO_NETWORK_FOUND"},
    {"error", kErrCallFailed, "CALL_FAILED"},
    {"error", kErrOutOfCall, "OUT_OF_CALL"},
    {"error", kErrMissingArg, "MISSING_ARG"},
    {"error", kErrArgTooLong, "ARG_TOO_LONG"},
    {"error", kErrInvalidTransactionId, "INVALID_TX_ID"},
    {"error", kErrNoEffect, "NO_EFFECT"},
    {"error", kErrInvalidServiceType, "INVALID_SERVICE_TYPE"},
    {"error", kErrAuthenticationFailed, "AUTHENTICATION_FAILED"},
    {"error", kErrInvalidArg, "INVALID_ARG"},
    {"error", kErrInvalidQmiCmd, "INVALID_QMI_CMD"},
    {"link_protocol", 1, "802-3"},
    {"link_protocol", 2, "raw-ip"},
    {"connection_status", kStatusDisconnected, "disconnected"},
    {"connection_status", kStatusConnected, "connected"},
    {"connection_status", kStatusSuspended, "suspended"},
    {"connection_status", kStatusAuthenticating, "authenticating"},
    {"call_end_reason", kEndUnspecified, "unspecified"},
    {"call_end_reason", kEndClientEnd, "client-end"},
    {"call_end_reason", kEndNoService, "no-service"},
    {"call_end_reason", kEndNetworkEnd, "network-end"},
    {"verbose_type", kVerboseType3gpp, "3gpp"},
    {"reason_3gpp", k3gppUnknownApn, "unknown-apn"},
    {"reason_3gpp", k3gppUnknownPdpType, "unknown-pdp"},
    {"reason_3gpp", k3gppAuthenticationFailed, "authentication-failed"},
    {"reason_3gpp", k3gppRegularDeactivation, "regular-deactivation"},
    {"authentication", 0, "none"},
    {"authentication", 1, "pap"},
    {"authentication", 2, "chap"},
    {"authentication", 3, "pap|chap"},
    {"ip_family", 4, "ipv4"},
    {"ip_family", 6, "ipv6"},
    {"ip_family", 8, "unspecified"},
    {"technology", 1, "3gpp"},
    {"technology", 2, "3gpp2"},
    {"technology", 3, "3gpp|3gpp2"},
    {"operating_mode", kModeOnline, "online"},
    {"operating_mode", kModeLowPower, "low-power"},
    {"operating_mode", 2, "factory-test"},
    {"operating_mode", 3, "offline"},
    {"operating_mode", 4, "reset"},
    {"operating_mode", 5, "shutting-down"},
    {"radio_interface", kRadioNone, "none"},
    {"radio_interface", 1, "cdma-1x"},
    {"radio_interface", 2, "cdma-1xevdo"},
    {"radio_interface", 3, "amps"},
    {"radio_interface", kRadioGsm, "gsm"},
    {"radio_interface", kRadioUmts, "umts"},
    {"radio_interface", kRadioLte, "lte"},
    {"registration_state", kNasNotRegistered, "not-registered"},
    {"registration_state", kNasRegistered, "registered"},
    {"registration_state", kNasSearching, "not-registered-searching"},
    {"registration_state", kNasDenied, "registration-denied"},
    {"registration_state", kNasUnknown, "unknown"},
    {"attach_state", kAttachUnknown, "unknown"},
    {"attach_state", kAttached, "attached"},
    {"attach_state", kDetached, "detached"},
    {"network_type", kNetworkUnknown, "unknown"},
    {"network_type", kNetwork3gpp2, "3gpp2"},
    {"network_type", kNetwork3gpp, "3gpp"},
    {"roaming_indicator", kRoamingOn, "on"},
    {"roaming_indicator", kRoamingOff, "off"},
    {"roaming_status", 0, "off"},
    {"roaming_status", 1, "on"},
    {"data_capability", 1, "gprs"},
    {"data_capability", 2, "edge"},
    {"data_capability", kDataCapabilityHsdpa, "hsdpa"},
    {"data_capability", 4, "hsupa"},
    {"data_capability", 5, "wcdma"},
    {"service_status", kServiceNone, "none"},
    {"service_status", kServiceLimited, "limited"},
    {"service_status", kServiceAvailable, "available"},
    {"service_status", 3, "limited-regional"},
    {"service_status", 4, "power-save"},
    {"service_domain", kDomainNone, "none"},
    {"service_domain", kDomainCs, "cs"},
    {"service_domain", kDomainPs, "ps"},
    {"service_domain", kDomainCsPs, "cs-ps"},
    {"service_domain", 4, "camped"},
};

template <typename Row, size_t N>
Rows<Row> AllOf(const Row (&rows)[N]) {
    return Rows<Row>{rows, N};
}

} // namespace

Rows<ServiceRow> Services() {
    return AllOf(kServices);
}
Rows<MessageRow> Messages() {
    return AllOf(kMessages);
}
Rows<TlvRow> Tlvs() {
    return AllOf(kTlvs);
}
Rows<EnumRow> Enums() {
    return AllOf(kEnums);
}

const ServiceRow *FindService(uint8_t service) {
    for (const auto &row : kServices) {
        if (row.id == service)
            return &row;
    }
    return nullptr;
}

const MessageRow *FindMessage(uint8_t service, uint16_t message) {
    for (const auto &row : kMessages) {
        if (row.service == service && row.id == message)
            return &row;
    }
    return nullptr;
}

const TlvRow *FindTlv(uint8_t service, uint16_t message, uint8_t direction, uint8_t type) {
    // Rows of the message itself come before the wildcard rows.
    for (const auto &row : kTlvs) {
        if (row.service == service && row.message == message && (row.directions & direction) &&
            row.type == type)
            return &row;
    }
    for (const auto &row : kTlvs) {
        if ((row.service == service || row.service == kAnyService) &&
            (row.message == message || row.message == kAnyMessage) &&
            (row.directions & direction) && row.type == type)
            return &row;
    }
    return nullptr;
}

const char *EnumLabel(const char *enumeration, uint32_t value) {
    if (strcmp(enumeration, "service") == 0) {
        const ServiceRow *s = value <= 0xFF ? FindService(static_cast<uint8_t>(value)) : nullptr;
        return s ? s->name : nullptr;
    }
    for (const auto &row : kEnums) {
        if (row.value == value && strcmp(row.enumeration, enumeration) == 0)
            return row.label;
    }
    return nullptr;
}

const char *ServiceName(uint8_t service) {
    const ServiceRow *s = FindService(service);
    return s ? s->name : "service?";
}

const char *MessageName(uint8_t service, uint16_t message) {
    const MessageRow *m = FindMessage(service, message);
    return m ? m->name : "unknown";
}

const char *ErrorName(uint16_t error) {
    const char *label = EnumLabel("error", error);
    return label ? label : "error?";
}

} // namespace kxqmi

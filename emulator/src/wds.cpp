// WDS service: packet sessions (start, stop, abort), their status and the
// channel rates.
//
// Session states: (none) -> authenticating (only with a connect delay) ->
// connected -> (none). Every change is indicated to the WDS clients with a
// Packet Service Status indication.
#include <strings.h>

#include "engine.h"

namespace kxmodem {

namespace {

struct TlvRule {
    uint8_t type;
    size_t exact; // 0: variable length up to `max`
    size_t max;
};
// Request TLVs of Start Network Interface that the module understands.
const TlvRule kStartRules[] = {
    {qmi::kSnPrimaryDns, 4, 4},     {qmi::kSnSecondaryDns, 4, 4}, {qmi::kSnPrimaryNbns, 4, 4},
    {qmi::kSnSecondaryNbns, 4, 4},  {qmi::kSnApn, 0, 100},        {qmi::kSnIpv4Address, 4, 4},
    {qmi::kSnAuthentication, 1, 1}, {qmi::kSnUserName, 0, 127},   {qmi::kSnPassword, 0, 127},
    {qmi::kSnIpFamily, 1, 1},       {qmi::kSnTechnology, 1, 1},   {qmi::kSnProfile3gpp, 1, 1},
};

std::string Text(const Tlv *t) {
    return t ? std::string(t->value.begin(), t->value.end()) : "";
}

} // namespace

void Engine::HandleWds(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    switch (request.messageId) {
    case qmi::kWdsStartNetwork:
        StartNetwork(endpoint, request, fault);
        return;
    case qmi::kWdsStopNetwork:
        StopNetwork(endpoint, request, fault);
        return;
    case qmi::kWdsAbort:
        Abort(endpoint, request, fault);
        return;
    case qmi::kWdsGetPacketServiceStatus: {
        QmiMessage reply = ReplyTo(request);
        reply.AddResult(qmi::kErrNone);
        reply.AddU8(qmi::kTlvFirst, OverallStatus());
        sink_.SendReply(endpoint, reply, fault);
        return;
    }
    case qmi::kWdsGetChannelRates: {
        QmiMessage reply = ReplyTo(request);
        reply.AddResult(qmi::kErrNone);
        Bytes v;
        for (uint32_t r : config_.rates)
            PutU32(v, r);
        reply.AddTlv(qmi::kTlvFirst, v);
        sink_.SendReply(endpoint, reply, fault);
        return;
    }
    case qmi::kWdsGetCurrentSettings:
        GetCurrentSettings(endpoint, request, fault);
        return;
    default:
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        return;
    }
}

// The settings of the asking client's session or, for a client without one
// (a command-line tool beside the driver), of the first session that is up.
void Engine::GetCurrentSettings(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    const Tlv *mask = request.Find(qmi::kTlvRequestedSettings);
    if (mask && mask->value.size() != 4) {
        ReplyError(endpoint, request, qmi::kErrMalformedMsg, fault);
        return;
    }
    const Session *session = nullptr;
    for (const auto &entry : sessions_) {
        const Session &s = entry.second;
        if (s.status != qmi::kStatusConnected)
            continue;
        if (s.clientId == request.clientId) {
            session = &s;
            break;
        }
        if (!session)
            session = &s;
    }
    if (!session) {
        ReplyError(endpoint, request, qmi::kErrOutOfCall, fault);
        return;
    }
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kCsApn, session->apn);
    reply.AddU32(qmi::kCsPrimaryDns, session->dns[0] ? session->dns[0] : kOperatorDns[0]);
    reply.AddU32(qmi::kCsSecondaryDns, session->dns[1] ? session->dns[1] : kOperatorDns[1]);
    reply.AddU32(qmi::kCsIpv4Address, session->address);
    reply.AddU32(qmi::kCsIpv4Gateway, kOperatorGateway);
    reply.AddU32(qmi::kCsIpv4SubnetMask, kOperatorSubnetMask);
    reply.AddU32(qmi::kCsMtu, kSessionMtu);
    reply.AddU8(qmi::kCsIpFamily, 4);
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::ReplyStartFailure(int endpoint, const QmiMessage &request, const FaultAction &fault,
                               uint16_t error, uint16_t reason, uint16_t verbose) {
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(error);
    if (error == qmi::kErrCallFailed) {
        reply.AddU16(qmi::kTlvCallEndReason, reason);
        if (verbose) {
            Bytes v;
            PutU16(v, qmi::kVerboseType3gpp);
            PutU16(v, verbose);
            reply.AddTlv(qmi::kTlvVerboseCallEndReason, v);
        }
    }
    sink_.SendReply(endpoint, reply, fault);
}

// Why a start is refused: a plain error, or (kErrCallFailed) a call end
// reason with an optional 3GPP verbose reason. kErrNone: not refused.
struct StartRefusal {
    uint16_t error = qmi::kErrNone;
    uint16_t reason = 0;
    uint16_t verbose = 0;
};

namespace {

StartRefusal Refuse(uint16_t error) {
    StartRefusal r;
    r.error = error;
    return r;
}

StartRefusal CallFailed(uint16_t reason, uint16_t verbose) {
    StartRefusal r;
    r.error = qmi::kErrCallFailed;
    r.reason = reason;
    r.verbose = verbose;
    return r;
}

// Every known TLV has its length; the first offending one decides.
uint16_t CheckTlvLengths(const QmiMessage &request) {
    for (const Tlv &t : request.tlvs) {
        for (const auto &rule : kStartRules) {
            if (rule.type != t.type)
                continue;
            if (rule.exact && t.value.size() != rule.exact)
                return qmi::kErrMalformedMsg;
            if (t.value.size() > rule.max)
                return qmi::kErrArgTooLong;
        }
    }
    return qmi::kErrNone;
}

// DNS preferences must name a unicast host: not 0.0.0.0, not multicast
// or broadcast, not loopback.
bool DnsPreferencesValid(const QmiMessage &request) {
    for (uint8_t type : {qmi::kSnPrimaryDns, qmi::kSnSecondaryDns}) {
        if (const Tlv *t = request.Find(type)) {
            uint32_t address = GetU32(t->value.data());
            uint32_t first = address >> 24;
            if (address == 0 || first == 127 || first >= 224)
                return false;
        }
    }
    return true;
}

// What the request alone decides, before the network is asked; the TLV
// lengths are already checked, so single-byte values can be read.
StartRefusal CheckCallParameters(const QmiMessage &request) {
    if (const Tlv *t = request.Find(qmi::kSnIpFamily)) {
        uint8_t family = t->value[0];
        if (family == 6)
            return CallFailed(qmi::kEndUnspecified, qmi::k3gppUnknownPdpType);
        if (family != 4 && family != 8)
            return Refuse(qmi::kErrInvalidArg);
    }
    if (const Tlv *t = request.Find(qmi::kSnProfile3gpp)) {
        if (t->value[0] != 1)
            return Refuse(qmi::kErrInvalidProfile);
    }
    if (const Tlv *t = request.Find(qmi::kSnTechnology)) {
        if (!(t->value[0] & 0x01)) // 3GPP not allowed: this module has nothing else
            return CallFailed(qmi::kEndNoService, 0);
    }
    return StartRefusal();
}

StartRefusal CheckRequest(const QmiMessage &request) {
    uint16_t lengths = CheckTlvLengths(request);
    if (lengths != qmi::kErrNone)
        return Refuse(lengths);
    if (!DnsPreferencesValid(request))
        return Refuse(qmi::kErrInvalidArg);
    return CheckCallParameters(request);
}

// The network's user and password, where it has them, must be given; an
// authentication preference must then allow one of the network's protocols.
bool CredentialsAccepted(const NetworkConfig &net, const QmiMessage &request) {
    const Tlv *user = request.Find(qmi::kSnUserName);
    const Tlv *password = request.Find(qmi::kSnPassword);
    const Tlv *auth = request.Find(qmi::kSnAuthentication);
    bool credentialsOk = (net.user.empty() || (user && Text(user) == net.user)) &&
                         (net.password.empty() || (password && Text(password) == net.password));
    bool needsAuth = !net.user.empty() || !net.password.empty();
    if (needsAuth && auth && !(auth->value[0] & net.authMask))
        credentialsOk = false;
    return credentialsOk;
}

} // namespace

// The network's answer to a valid request; `apn` receives the APN asked for.
StartRefusal Engine::CheckNetworkAdmits(const QmiMessage &request, std::string *apn) const {
    if (!config_.PacketServiceAvailable())
        return CallFailed(qmi::kEndNoService, 0);
    const Tlv *apnTlv = request.Find(qmi::kSnApn);
    *apn = apnTlv ? Text(apnTlv) : config_.network.apn;
    if (strcasecmp(apn->c_str(), config_.network.apn.c_str()) != 0)
        return CallFailed(qmi::kEndUnspecified, qmi::k3gppUnknownApn);
    if (!CredentialsAccepted(config_.network, request))
        return CallFailed(qmi::kEndUnspecified, qmi::k3gppAuthenticationFailed);
    return StartRefusal();
}

void Engine::StartNetwork(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    std::string apn;
    StartRefusal refusal = CheckRequest(request);
    if (refusal.error == qmi::kErrNone)
        refusal = CheckNetworkAdmits(request, &apn);
    if (refusal.error == qmi::kErrNone) {
        bool taken[2] = {SessionOnChannel(0) != nullptr, SessionOnChannel(1) != nullptr};
        int channel = sink_.ChooseDataChannel(taken);
        if (channel >= 0) {
            OpenSession(endpoint, request, fault, channel, apn);
            return;
        }
        refusal = CallFailed(qmi::kEndUnspecified, 0);
    }
    // Without kErrCallFailed this is a plain error reply.
    ReplyStartFailure(endpoint, request, fault, refusal.error, refusal.reason, refusal.verbose);
}

// Connected at once without a connect delay; otherwise authenticating, and
// the reply waits for CompleteStart.
void Engine::OpenSession(int endpoint, const QmiMessage &request, const FaultAction &fault,
                         int channel, const std::string &apn) {
    Session s;
    s.channel = channel;
    s.handle = nextHandle_++;
    s.clientId = request.clientId;
    s.apn = apn;
    s.address = SessionAddress(channel);
    if (const Tlv *t = request.Find(qmi::kSnPrimaryDns))
        s.dns[0] = GetU32(t->value.data());
    if (const Tlv *t = request.Find(qmi::kSnSecondaryDns))
        s.dns[1] = GetU32(t->value.data());
    s.startEndpoint = endpoint;
    s.startTransaction = request.transactionId;
    s.startFault = fault;
    if (config_.connectDelayMs == 0) {
        s.status = qmi::kStatusConnected;
        sessions_[s.handle] = s;
        QmiMessage reply = ReplyTo(request);
        reply.AddResult(qmi::kErrNone);
        reply.AddU32(qmi::kTlvFirst, s.handle);
        sink_.SendReply(endpoint, reply, fault);
        IndicateStatus(qmi::kStatusConnected, false);
        return;
    }
    s.status = qmi::kStatusAuthenticating;
    s.pending = true;
    sessions_[s.handle] = s;
    IndicateStatus(qmi::kStatusAuthenticating, false);
    uint32_t handle = s.handle;
    sink_.After(config_.connectDelayMs, [this, handle] { CompleteStart(handle); });
}

void Engine::CompleteStart(uint32_t handle) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end() || !it->second.pending)
        return; // aborted, stopped or ended meanwhile
    Session &s = it->second;
    s.pending = false;
    s.status = qmi::kStatusConnected;
    QmiMessage reply;
    reply.qmuxFlags = qmi::kQmuxFromService;
    reply.service = qmi::kWds;
    reply.clientId = s.clientId;
    reply.flags = qmi::kResponse;
    reply.transactionId = s.startTransaction;
    reply.messageId = qmi::kWdsStartNetwork;
    reply.AddResult(qmi::kErrNone);
    reply.AddU32(qmi::kTlvFirst, s.handle);
    sink_.SendReply(s.startEndpoint, reply, s.startFault);
    IndicateStatus(qmi::kStatusConnected, false);
}

void Engine::FailStart(const Session &s, uint16_t error, uint16_t reason, uint16_t verbose) {
    QmiMessage request;
    request.service = qmi::kWds;
    request.clientId = s.clientId;
    request.transactionId = s.startTransaction;
    request.messageId = qmi::kWdsStartNetwork;
    ReplyStartFailure(s.startEndpoint, request, s.startFault, error, reason, verbose);
}

void Engine::StopNetwork(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    const Tlv *t = request.Find(qmi::kTlvFirst);
    if (!t) {
        ReplyError(endpoint, request, qmi::kErrMissingArg, fault);
        return;
    }
    if (t->value.size() != 4) {
        ReplyError(endpoint, request, qmi::kErrMalformedMsg, fault);
        return;
    }
    uint32_t handle = GetU32(t->value.data());
    auto it = sessions_.find(handle);
    if (it == sessions_.end() || it->second.clientId != request.clientId) {
        ReplyError(endpoint, request, qmi::kErrInvalidHandle, fault);
        return;
    }
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    sink_.SendReply(endpoint, reply, fault);
    EndSession(handle, qmi::kEndClientEnd, true);
}

void Engine::Abort(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    const Tlv *t = request.Find(qmi::kTlvFirst);
    if (!t) {
        ReplyError(endpoint, request, qmi::kErrMissingArg, fault);
        return;
    }
    if (t->value.size() != 2) {
        ReplyError(endpoint, request, qmi::kErrMalformedMsg, fault);
        return;
    }
    uint16_t transaction = GetU16(t->value.data());
    for (auto &entry : sessions_) {
        Session &s = entry.second;
        if (s.pending && s.clientId == request.clientId && s.startTransaction == transaction) {
            Session copy = s;
            sessions_.erase(entry.first);
            FailStart(copy, qmi::kErrAborted, 0, 0);
            QmiMessage reply = ReplyTo(request);
            reply.AddResult(qmi::kErrNone);
            sink_.SendReply(endpoint, reply, fault);
            IndicateStatus(qmi::kStatusDisconnected, false);
            return;
        }
    }
    // Nothing of that client is in progress under that id: it completed or never was.
    ReplyError(endpoint, request, qmi::kErrInvalidTransactionId, fault);
}

} // namespace kxmodem

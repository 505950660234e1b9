// NAS service: signal strength, the serving system (registration, roaming,
// radio interface, the operator), the home network and the system
// information, and the serving-system indication for clients that ask.
#include "engine.h"

namespace kxmodem {

namespace {

bool Registered(int registration) {
    return registration == kRegHome || registration == kRegRoaming;
}

uint8_t NasRegistration(int registration) {
    switch (registration) {
    case kRegHome:
    case kRegRoaming:
        return qmi::kNasRegistered;
    case kRegSearching:
        return qmi::kNasSearching;
    case kRegDenied:
        return qmi::kNasDenied;
    default:
        return qmi::kNasNotRegistered;
    }
}

// MCC, MNC and description as the PLMN TLVs carry them. `numeric` is the
// operator's MCC and MNC digits ("00101").
Bytes Plmn(const std::string &numeric, const std::string &description) {
    Bytes v;
    uint16_t mcc = 0, mnc = 0;
    for (size_t i = 0; i < numeric.size(); ++i) {
        uint16_t digit = static_cast<uint16_t>(numeric[i] - '0');
        if (i < 3)
            mcc = static_cast<uint16_t>(mcc * 10 + digit);
        else
            mnc = static_cast<uint16_t>(mnc * 10 + digit);
    }
    PutU16(v, mcc);
    PutU16(v, mnc);
    size_t length = description.size() > 255 ? 255 : description.size();
    v.push_back(static_cast<uint8_t>(length));
    v.insert(v.end(), description.begin(), description.begin() + static_cast<long>(length));
    return v;
}

// Three characters of a numeric operator name from `from`, 0xFF past its end.
void PutDigits(Bytes &v, const std::string &numeric, size_t from) {
    for (size_t i = from; i < from + 3; ++i)
        v.push_back(i < numeric.size() ? static_cast<uint8_t>(numeric[i]) : 0xFF);
}

} // namespace

void Engine::HandleNas(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    QmiMessage reply = ReplyTo(request);
    switch (request.messageId) {
    case qmi::kNasGetSignalStrength:
        break;
    case qmi::kNasRegisterIndications:
        RegisterIndications(endpoint, request, fault);
        return;
    case qmi::kNasGetServingSystem:
        reply.AddResult(qmi::kErrNone);
        AddServingSystem(&reply);
        sink_.SendReply(endpoint, reply, fault);
        return;
    case qmi::kNasGetHomeNetwork:
        reply.AddResult(qmi::kErrNone);
        reply.AddTlv(qmi::kTlvFirst, Plmn(config_.homeOperatorNumeric, config_.homeOperatorLong));
        sink_.SendReply(endpoint, reply, fault);
        return;
    case qmi::kNasGetSystemInfo:
        reply.AddResult(qmi::kErrNone);
        AddSystemInfo(&reply);
        sink_.SendReply(endpoint, reply, fault);
        return;
    default:
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        return;
    }
    uint16_t mask = 0;
    if (const Tlv *t = request.Find(qmi::kTlvSignalRequestMask)) {
        if (t->value.size() != 2) {
            ReplyError(endpoint, request, qmi::kErrMalformedMsg, fault);
            return;
        }
        mask = GetU16(t->value.data());
    }
    if (!config_.radioOn) {
        ReplyError(endpoint, request, qmi::kErrNoNetworkFound, fault);
        return;
    }
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kTlvFirst,
                 Bytes{static_cast<uint8_t>(config_.signalDbm), config_.radioInterface});
    // Of the optional measurements only those that a UMTS cell has are given.
    if (mask & qmi::kMaskRssi) {
        Bytes v;
        PutU16(v, 1);
        v.push_back(static_cast<uint8_t>(-static_cast<int>(config_.signalDbm)));
        v.push_back(config_.radioInterface);
        reply.AddTlv(qmi::kTlvRssiList, v);
    }
    if (mask & qmi::kMaskEcio) {
        Bytes v;
        PutU16(v, 1);
        v.push_back(config_.ecio);
        v.push_back(config_.radioInterface);
        reply.AddTlv(qmi::kTlvEcioList, v);
    }
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::RegisterIndications(int endpoint, const QmiMessage &request,
                                 const FaultAction &fault) {
    const Tlv *t = request.Find(qmi::kTlvServingSystemEvents);
    if (t && t->value.size() != 1) {
        ReplyError(endpoint, request, qmi::kErrMalformedMsg, fault);
        return;
    }
    // Other indications the request may name are not sent by this module;
    // asking for them is not an error.
    if (t && t->value[0])
        servingSystemListeners_.insert(request.clientId);
    else if (t)
        servingSystemListeners_.erase(request.clientId);
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::AddServingSystem(QmiMessage *m) const {
    int registration = config_.EffectiveRegistration();
    bool registered = Registered(registration);
    uint8_t attach = registered ? qmi::kAttached : qmi::kDetached;
    Bytes v{NasRegistration(registration), attach, attach,
            registered ? qmi::kNetwork3gpp : qmi::kNetworkUnknown};
    v.push_back(registered ? 1 : 0);
    if (registered)
        v.push_back(config_.radioInterface);
    m->AddTlv(qmi::kTlvFirst, v);
    if (!registered)
        return;
    m->AddU8(qmi::kTlvRoamingIndicator,
             registration == kRegRoaming ? qmi::kRoamingOn : qmi::kRoamingOff);
    m->AddTlv(qmi::kTlvDataServiceCapability, Bytes{1, qmi::kDataCapabilityHsdpa});
    m->AddTlv(qmi::kTlvCurrentPlmn, Plmn(config_.operatorNumeric, config_.operatorLong));
}

void Engine::AddSystemInfo(QmiMessage *m) const {
    int registration = config_.EffectiveRegistration();
    bool registered = Registered(registration);
    uint8_t status = !config_.radioOn             ? qmi::kServiceNone
                     : registered                 ? qmi::kServiceAvailable
                     : registration == kRegDenied ? qmi::kServiceLimited
                                                  : qmi::kServiceNone;
    m->AddTlv(qmi::kTlvWcdmaServiceStatus,
              Bytes{status, status, static_cast<uint8_t>(registered ? 1 : 0)});
    if (!registered)
        return;
    Bytes v{1, qmi::kDomainCsPs,
            1, qmi::kDomainCsPs,
            1, static_cast<uint8_t>(registration == kRegRoaming ? 1 : 0),
            1, 0};
    v.push_back(1);
    PutU16(v, kCellLac);
    v.push_back(1);
    PutU32(v, kCellId);
    v.insert(v.end(), {0, qmi::kDomainNone, 0}); // no registration reject
    v.push_back(1);
    PutDigits(v, config_.operatorNumeric, 0);
    PutDigits(v, config_.operatorNumeric, 3);
    v.insert(v.end(), {0, 0, 0, 0}); // HS call status, HS service: not given
    v.push_back(0);                  // no primary scrambling code
    PutU16(v, 0);
    m->AddTlv(qmi::kTlvWcdmaSystemInfo, v);
}

void Engine::ServingSystemChanged() {
    for (uint8_t cid : servingSystemListeners_) {
        QmiMessage ind;
        ind.qmuxFlags = qmi::kQmuxFromService;
        ind.service = qmi::kNas;
        ind.clientId = cid;
        ind.flags = qmi::kIndication;
        ind.transactionId = 0;
        ind.messageId = qmi::kNasGetServingSystem;
        AddServingSystem(&ind);
        sink_.SendIndication(OwnerOf(qmi::kNas, cid), ind);
    }
}

} // namespace kxmodem

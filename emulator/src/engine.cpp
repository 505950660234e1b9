#include "engine.h"

#include <algorithm>

namespace kxmodem {

std::string FormatAddress(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

static uint16_t OwnerKey(uint8_t service, uint8_t clientId) {
    return static_cast<uint16_t>(service << 8 | clientId);
}

QmiMessage Engine::ReplyTo(const QmiMessage &request) const {
    QmiMessage reply;
    reply.qmuxFlags = qmi::kQmuxFromService;
    reply.service = request.service;
    reply.clientId = request.service == qmi::kCtl ? 0 : request.clientId;
    reply.flags = request.service == qmi::kCtl ? qmi::kCtlResponse : qmi::kResponse;
    reply.transactionId = request.transactionId;
    reply.messageId = request.messageId;
    return reply;
}

void Engine::ReplyError(int endpoint, const QmiMessage &request, uint16_t error,
                        const FaultAction &fault) {
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(error);
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::ReplyMalformed(int endpoint, const QmiMessage &request) {
    ReplyError(endpoint, request, qmi::kErrMalformedMsg);
}

void Engine::HandleRequest(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    if (request.service != qmi::kCtl) {
        // Requests of a service need a client id of that service.
        if (!clients_.IsAllocated(request.service, request.clientId)) {
            ReplyError(endpoint, request, qmi::kErrInvalidClientId, fault);
            return;
        }
        owners_[OwnerKey(request.service, request.clientId)] = endpoint;
    }
    if (request.service != qmi::kCtl && request.messageId == qmi::kGetSupportedMessages) {
        ReplySupportedMessages(endpoint, request, fault);
        return;
    }
    switch (request.service) {
    case qmi::kCtl:
        HandleCtl(endpoint, request, fault);
        break;
    case qmi::kWds:
        HandleWds(endpoint, request, fault);
        break;
    case qmi::kNas:
        HandleNas(endpoint, request, fault);
        break;
    case qmi::kDms:
        HandleDms(endpoint, request, fault);
        break;
    default:
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        break;
    }
}

int Engine::OwnerOf(uint8_t service, uint8_t clientId) const {
    auto it = owners_.find(OwnerKey(service, clientId));
    return it == owners_.end() ? -1 : it->second;
}

void Engine::EndpointClosed(int endpoint) {
    for (const auto &o : owners_) {
        if (o.second == endpoint)
            orphans_.push_back(o.first);
    }
}

void Engine::AdoptOrphans(int endpoint) {
    for (uint16_t key : orphans_) {
        auto it = owners_.find(key);
        if (it != owners_.end())
            it->second = endpoint;
    }
    orphans_.clear();
}

void Engine::Reset() {
    clients_.ReleaseAll();
    owners_.clear();
    orphans_.clear();
    sessions_.clear();
    servingSystemListeners_.clear();
}

void Engine::ReleaseClient(uint8_t service, uint8_t clientId) {
    clients_.Release(service, clientId);
    owners_.erase(OwnerKey(service, clientId));
    if (service == qmi::kNas)
        servingSystemListeners_.erase(clientId);
    if (service != qmi::kWds)
        return;
    // A released client takes its calls down with it.
    std::vector<uint32_t> handles;
    for (const auto &s : sessions_) {
        if (s.second.clientId == clientId)
            handles.push_back(s.first);
    }
    for (uint32_t h : handles)
        EndSession(h, qmi::kEndClientEnd, true);
}

void Engine::IndicateStatus(uint8_t status, bool reconfigure) {
    for (uint8_t cid : clients_.Allocated(qmi::kWds)) {
        QmiMessage ind;
        ind.qmuxFlags = qmi::kQmuxFromService;
        ind.service = qmi::kWds;
        ind.clientId = cid;
        ind.flags = qmi::kIndication;
        ind.transactionId = 0;
        ind.messageId = qmi::kWdsGetPacketServiceStatus;
        ind.AddTlv(qmi::kTlvFirst, Bytes{status, static_cast<uint8_t>(reconfigure ? 1 : 0)});
        sink_.SendIndication(OwnerOf(qmi::kWds, cid), ind);
    }
}

void Engine::Reconfigure() {
    IndicateStatus(OverallStatus(), true);
}

uint8_t Engine::OverallStatus() const {
    bool pending = false;
    for (const auto &s : sessions_) {
        if (s.second.status == qmi::kStatusConnected)
            return qmi::kStatusConnected;
        pending = pending || s.second.pending;
    }
    return pending ? qmi::kStatusAuthenticating : qmi::kStatusDisconnected;
}

const Session *Engine::SessionOnChannel(int channel) const {
    for (const auto &s : sessions_) {
        if (s.second.channel == channel)
            return &s.second;
    }
    return nullptr;
}

std::vector<Session> Engine::Sessions() const {
    std::vector<Session> out;
    for (const auto &s : sessions_)
        out.push_back(s.second);
    return out;
}

void Engine::EndSession(uint32_t handle, uint16_t reason, bool indicate) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end())
        return;
    Session s = it->second;
    sessions_.erase(it);
    if (s.pending)
        FailStart(s, qmi::kErrCallFailed, reason, 0);
    if (indicate)
        IndicateStatus(qmi::kStatusDisconnected, false);
}

int Engine::EndSessions(int channel, uint16_t reason) {
    std::vector<uint32_t> handles;
    for (const auto &s : sessions_) {
        if (channel < 0 || s.second.channel == channel)
            handles.push_back(s.first);
    }
    for (uint32_t h : handles)
        EndSession(h, reason, true);
    return static_cast<int>(handles.size());
}

void Engine::SetRadio(bool on) {
    int before = config_.EffectiveRegistration();
    config_.radioOn = on;
    if (!config_.PacketServiceAvailable())
        EndSessions(-1, qmi::kEndNoService);
    if (config_.EffectiveRegistration() != before) {
        sink_.RegistrationChanged();
        ServingSystemChanged();
    }
}

void Engine::SetRegistration(int registration) {
    int before = config_.EffectiveRegistration();
    config_.registration = registration;
    if (!config_.PacketServiceAvailable())
        EndSessions(-1, qmi::kEndNoService);
    if (config_.EffectiveRegistration() != before) {
        sink_.RegistrationChanged();
        ServingSystemChanged();
    }
}

void Engine::ReplySupportedMessages(int endpoint, const QmiMessage &request,
                                    const FaultAction &fault) {
    // One bit per message id, lowest id in bit 0 of the first byte.
    Bytes bits;
    for (const auto &m : qmi::Messages()) {
        if (m.service != request.service || !m.served)
            continue;
        if (bits.size() <= m.id / 8u)
            bits.resize(m.id / 8u + 1, 0);
        bits[m.id / 8u] = static_cast<uint8_t>(bits[m.id / 8u] | 1u << (m.id % 8u));
    }
    Bytes value;
    PutU16(value, static_cast<uint16_t>(bits.size()));
    value.insert(value.end(), bits.begin(), bits.end());
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kTlvSupportedMessages, value);
    sink_.SendReply(endpoint, reply, fault);
}

} // namespace kxmodem

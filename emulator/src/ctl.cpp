// CTL service: client ids, version information, sync.
#include "engine.h"

namespace kxmodem {

namespace {

// Services whose clients the module hands out.
bool ServiceOffered(uint8_t service) {
    const qmi::ServiceRow *row = qmi::FindService(service);
    return row && row->served;
}

// The client TLV of Get/Release Client Id: present and `size` bytes long.
uint16_t ClientTlvError(const Tlv *t, size_t size) {
    if (!t)
        return qmi::kErrMissingArg;
    if (t->value.size() != size)
        return qmi::kErrMalformedMsg;
    return qmi::kErrNone;
}

} // namespace

void Engine::HandleCtl(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    switch (request.messageId) {
    case qmi::kCtlGetVersionInfo:
        CtlGetVersionInfo(endpoint, request, fault);
        return;
    case qmi::kCtlGetClientId:
        CtlGetClientId(endpoint, request, fault);
        return;
    case qmi::kCtlReleaseClientId:
        CtlReleaseClientId(endpoint, request, fault);
        return;
    case qmi::kCtlSync:
        CtlSync(endpoint, request, fault);
        return;
    default:
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        return;
    }
}

// Every service the module implements, CTL included.
void Engine::CtlGetVersionInfo(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    QmiMessage reply = ReplyTo(request);
    Bytes v{static_cast<uint8_t>(qmi::Services().size())};
    for (const auto &s : qmi::Services()) {
        v.push_back(s.id);
        PutU16(v, s.major);
        PutU16(v, s.minor);
    }
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kTlvFirst, v);
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::CtlGetClientId(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    const Tlv *t = request.Find(qmi::kTlvFirst);
    uint16_t error = ClientTlvError(t, 1);
    if (error != qmi::kErrNone) {
        ReplyError(endpoint, request, error, fault);
        return;
    }
    uint8_t service = t->value[0];
    if (!ServiceOffered(service)) {
        ReplyError(endpoint, request, qmi::kErrInvalidServiceType, fault);
        return;
    }
    uint8_t id = clients_.Allocate(service);
    if (!id) {
        ReplyError(endpoint, request, qmi::kErrClientIdsExhausted, fault);
        return;
    }
    owners_[static_cast<uint16_t>(service << 8 | id)] = endpoint;
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kTlvFirst, Bytes{service, id});
    sink_.SendReply(endpoint, reply, fault);
}

void Engine::CtlReleaseClientId(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    const Tlv *t = request.Find(qmi::kTlvFirst);
    uint16_t error = ClientTlvError(t, 2);
    if (error != qmi::kErrNone) {
        ReplyError(endpoint, request, error, fault);
        return;
    }
    uint8_t service = t->value[0], id = t->value[1];
    if (!clients_.IsAllocated(service, id)) {
        ReplyError(endpoint, request, qmi::kErrInvalidClientId, fault);
        return;
    }
    // The reply goes out before the indications a released call causes.
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    reply.AddTlv(qmi::kTlvFirst, Bytes{service, id});
    sink_.SendReply(endpoint, reply, fault);
    ReleaseClient(service, id);
}

// Sync resets the control point that asks: the clients it uses are
// released and their calls end. Other connections' clients (a driver beside
// a command-line tool on the terminal) are untouched.
void Engine::CtlSync(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    QmiMessage reply = ReplyTo(request);
    reply.AddResult(qmi::kErrNone);
    sink_.SendReply(endpoint, reply, fault);
    std::vector<uint16_t> mine;
    for (const auto &o : owners_) {
        if (o.second == endpoint)
            mine.push_back(o.first);
    }
    for (uint16_t key : mine)
        ReleaseClient(static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key & 0xFF));
}

} // namespace kxmodem

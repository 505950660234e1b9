// NAS service: signal strength.
#include "engine.h"
#include "qmi_tables.h"

namespace kxmodem {

void Engine::HandleNas(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    if (request.messageId != qmi::kNasGetSignalStrength) {
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        return;
    }
    uint16_t mask = 0;
    if (const Tlv *t = request.Find(0x10)) {
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
    QmiMessage reply = ReplyTo(request);
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

} // namespace kxmodem

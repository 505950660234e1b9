// DMS service: the module's identity (the same lines that answer ATI1) and
// its operating mode (online, or low power while the radio is off).
#include "engine.h"

namespace kxmodem {

void Engine::HandleDms(int endpoint, const QmiMessage &request, const FaultAction &fault) {
    QmiMessage reply = ReplyTo(request);
    switch (request.messageId) {
    case qmi::kDmsGetManufacturer:
        reply.AddResult(qmi::kErrNone);
        reply.AddTlv(qmi::kTlvFirst, config_.Identity(kIdentManufacturer));
        break;
    case qmi::kDmsGetModel:
        reply.AddResult(qmi::kErrNone);
        reply.AddTlv(qmi::kTlvFirst, config_.Identity(kIdentModel));
        break;
    case qmi::kDmsGetRevision:
        reply.AddResult(qmi::kErrNone);
        reply.AddTlv(qmi::kTlvFirst, config_.Identity(kIdentRevision));
        break;
    case qmi::kDmsGetIds:
        // A 3GPP module: an IMEI, no ESN or MEID.
        reply.AddResult(qmi::kErrNone);
        reply.AddTlv(qmi::kTlvImei, config_.Identity(kIdentImei));
        break;
    case qmi::kDmsGetOperatingMode:
        reply.AddResult(qmi::kErrNone);
        reply.AddU8(qmi::kTlvFirst, config_.radioOn ? qmi::kModeOnline : qmi::kModeLowPower);
        break;
    default:
        ReplyError(endpoint, request, qmi::kErrInvalidQmiCmd, fault);
        return;
    }
    sink_.SendReply(endpoint, reply, fault);
}

} // namespace kxmodem

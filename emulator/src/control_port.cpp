// The QMI control port (KXC1, and the pseudo-terminal): frames in, split by
// their QMUX lengths and handed to the engine; replies and indications out,
// shaped by the injected faults (dropped, delayed, duplicated, malformed,
// rejected), traced and captured.
#include "modem_impl.h"

#include <algorithm>
#include <chrono>

namespace kxmodem {

// One message of the control port should hold one frame. A message holding
// several is split by their QMUX lengths; a short one is answered as
// malformed when its header can be read.
void Modem::Impl::HandleQmiBytes(Connection &c, const uint8_t *data, size_t size) {
    int endpoint = c.endpoint;
    while (size > 0) {
        size_t frameLength = size >= 3 ? static_cast<size_t>(GetU16(data + 1)) + 1 : size + 1;
        if (data[0] != qmi::kInterfaceQmux || frameLength >= size) {
            HandleQmiFrame(endpoint, data, size);
            return;
        }
        HandleQmiFrame(endpoint, data, frameLength);
        data += frameLength;
        size -= frameLength;
    }
}

void Modem::Impl::CaptureQmi(const Connection &c, bool received, const uint8_t *data, size_t size) {
    if (!capture.enabled())
        return;
    Capture::Interface interface = c.port == kPtyPort ? Capture::kControlPty : Capture::kControl;
    if (options.showSecrets) {
        capture.Packet(interface, received, data, size, c.where);
        return;
    }
    Bytes masked(data, data + size);
    Trace::MaskSecrets(masked.data(), masked.size());
    capture.Packet(interface, received, masked.data(), masked.size(), c.where);
}

void Modem::Impl::CaptureData(const Connection &c, bool received, const uint8_t *data,
                              size_t size) {
    if (capture.enabled())
        capture.Packet(c.port == kPortData1 ? Capture::kData1 : Capture::kData2, received, data,
                       size, c.where);
}

void Modem::Impl::HandleQmiFrame(int endpoint, const uint8_t *data, size_t size) {
    Connection *c = Find(endpoint);
    std::string where = c ? c->where : "?";
    trace.Qmi(where, true, data, size);
    if (c)
        CaptureQmi(*c, true, data, size);
    QmiMessage m;
    ParseStatus status = ParseFrame(data, size, &m);
    if (status == ParseStatus::kLengthMismatch && size >= kCtlHeaderEnd) {
        // Shorter than its QMUX length says (or longer, with junk): answer
        // from the header if it is one, as for inconsistent TLVs.
        size_t headerEnd = data[4] == qmi::kCtl ? kCtlHeaderEnd : kSvcHeaderEnd;
        if (size >= headerEnd) {
            m.qmuxFlags = data[3];
            m.service = data[4];
            m.clientId = data[5];
            m.flags = data[6];
            m.transactionId = data[4] == qmi::kCtl ? data[7] : GetU16(data + 7);
            m.messageId = GetU16(data + (data[4] == qmi::kCtl ? 8 : 9));
            status = ParseStatus::kBadTlvs;
        }
    }
    if (status == ParseStatus::kOk || status == ParseStatus::kBadTlvs) {
        if (m.flags != qmi::kRequest || (m.qmuxFlags & qmi::kQmuxFromService)) {
            ++counters.qmiIgnored;
            trace.Event(where + " not a request: ignored");
            return;
        }
    }
    if (status == ParseStatus::kBadTlvs) {
        ++counters.qmiMalformed;
        engine.ReplyMalformed(endpoint, m);
        return;
    }
    if (status != ParseStatus::kOk) {
        ++counters.qmiMalformed;
        trace.Event(where + " dropped frame: " + ParseStatusName(status));
        return;
    }
    ++counters.qmiRequests;
    FaultAction fault = faults.Match(m.service, m.messageId);
    if (fault.kind == FaultKind::kReject) {
        engine.ReplyError(endpoint, m, fault.error);
        return;
    }
    engine.HandleRequest(endpoint, m, fault);
}

void Modem::Impl::SendQmiNow(int endpoint, const Bytes &frame, const std::string &note) {
    Connection *c = Find(endpoint);
    if (!c || !SendBytes(endpoint, frame.data(), frame.size())) {
        ++counters.repliesDropped;
        trace.Event("reply lost: receiver gone or not reading");
        return;
    }
    trace.Qmi(c->where, false, frame.data(), frame.size(), note);
    CaptureQmi(*c, false, frame.data(), frame.size());
}

void Modem::Impl::SendReply(int endpoint, const QmiMessage &reply, const FaultAction &fault) {
    Bytes frame = BuildFrame(reply);
    std::string note;
    switch (fault.kind) {
    case FaultKind::kDrop:
        ++counters.repliesDropped;
        trace.Qmi("fault", false, frame.data(), frame.size(), "dropped");
        return;
    case FaultKind::kMalformed:
        note = "malformed";
        if (fault.malform == MalformKind::kTruncate && frame.size() > 8) {
            frame.resize(frame.size() - 2);
            frame[1] = static_cast<uint8_t>(frame.size() - 1);
            frame[2] = static_cast<uint8_t>((frame.size() - 1) >> 8);
        } else if (fault.malform == MalformKind::kFlags) {
            frame[6] = 0x00;
        } else {
            frame[0] = 0x02;
        }
        break;
    default:
        break;
    }
    Connection *c = Find(endpoint);
    if (!c) {
        ++counters.repliesDropped;
        return;
    }
    auto now = Clock::now();
    Clock::time_point when = now;
    if (fault.kind == FaultKind::kDelay) {
        when = std::max(now + std::chrono::milliseconds(fault.ms), c->notBefore);
        c->notBefore = when;
        note = "delayed " + std::to_string(fault.ms) + " ms";
    } else if (fault.kind == FaultKind::kLate) {
        when = now + std::chrono::milliseconds(fault.ms);
        note = "late by " + std::to_string(fault.ms) + " ms";
    } else if (c->notBefore > now) {
        when = c->notBefore; // keep order behind a delayed reply
    }
    int copies = fault.kind == FaultKind::kDuplicate ? 2 : 1;
    if (copies == 2)
        note = "duplicated";
    for (int i = 0; i < copies; ++i) {
        ++counters.qmiReplies;
        if (when <= now)
            SendQmiNow(endpoint, frame, note);
        else
            AfterAt(when, [this, endpoint, frame, note] { SendQmiNow(endpoint, frame, note); });
    }
}

void Modem::Impl::SendIndication(int endpoint, const QmiMessage &indication) {
    Bytes frame = BuildFrame(indication);
    Connection *c = Find(endpoint);
    if (!c || !SendBytes(endpoint, frame.data(), frame.size())) {
        ++counters.indicationsLost;
        trace.Qmi("nobody", false, frame.data(), frame.size(), "indication lost");
        return;
    }
    ++counters.qmiIndications;
    trace.Qmi(c->where, false, frame.data(), frame.size());
    CaptureQmi(*c, false, frame.data(), frame.size());
}

} // namespace kxmodem

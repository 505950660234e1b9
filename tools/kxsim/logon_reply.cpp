#include "logon_reply.h"

#include <cstdio>

#include "kx_platform_test.h"

// QMI numbers and error names, from the QMI table.
#include "kxqmi/qmi_table.h"

namespace kxsim {

namespace qmi = kxqmi;

namespace {

struct ReasonRow {
    uint16_t code;
    const char *name;
};

// Generic call end reasons (TLV 0x10 of a refused start).
const ReasonRow kCallEndReasons[] = {
    {1, "unspecified"}, {2, "client end"},  {3, "no service"},
    {4, "fade"},        {5, "network end"}, {6, "system acquisition lost"},
};

// Types of a verbose call end reason (TLV 0x11), and the 3GPP causes.
const ReasonRow kVerboseTypes[] = {
    {1, "mobile IP"}, {2, "internal"}, {3, "call manager"}, {6, "3GPP"},
    {7, "PPP"},       {8, "EHRPD"},    {9, "IPv6"},
};
const ReasonRow k3gppCauses[] = {
    {8, "operator determined barring"},
    {26, "insufficient resources"},
    {qmi::k3gppUnknownApn, "unknown APN"},
    {qmi::k3gppUnknownPdpType, "unknown PDP type"},
    {qmi::k3gppAuthenticationFailed, "authentication failed"},
    {30, "activation rejected by the gateway"},
    {31, "activation rejected, unspecified"},
    {32, "service option not supported"},
    {33, "service option not subscribed"},
    {qmi::k3gppRegularDeactivation, "regular deactivation"},
};

template <size_t N>
const char *Name(const ReasonRow (&table)[N], uint16_t code) {
    for (const auto &row : table) {
        if (row.code == code)
            return row.name;
    }
    return "unknown";
}

uint16_t Get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// QMUX frame of a service other than CTL: interface type, length, control
// flags, service, client id; then the service header: control flags,
// transaction id, message id, TLV length; then the TLVs.
const size_t kQmuxHeader = 6;
const size_t kServiceHeader = 7;

} // namespace

LogonReplyWatch::LogonReplyWatch() {
    kxtest::SetStreamTap(
        [this](const std::u16string &device, bool written, const void *data, size_t size) {
            if (device == u"KXC1:")
                OnMessage(written, static_cast<const uint8_t *>(data), size);
        });
}

LogonReplyWatch::~LogonReplyWatch() {
    kxtest::SetStreamTap(nullptr);
}

void LogonReplyWatch::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    requested_ = false;
    replies_.clear();
}

void LogonReplyWatch::OnMessage(bool written, const uint8_t *frame, size_t size) {
    if (size < kQmuxHeader + kServiceHeader || frame[4] != qmi::kWds)
        return;
    const uint8_t *sdu = frame + kQmuxHeader;
    uint8_t flags = sdu[0];
    uint16_t transaction = Get16(sdu + 1), message = Get16(sdu + 3), length = Get16(sdu + 5);
    if (message != qmi::kWdsStartNetwork || kQmuxHeader + kServiceHeader + length > size)
        return;
    if (written) {
        if (flags == qmi::kRequest) {
            std::lock_guard<std::mutex> guard(lock_);
            requested_ = true;
            transaction_ = transaction;
        }
        return;
    }
    if (flags != qmi::kResponse)
        return;
    StartReply reply;
    reply.transaction = transaction;
    const uint8_t *tlv = sdu + kServiceHeader, *end = tlv + length;
    while (end - tlv >= 3) {
        uint8_t type = tlv[0];
        uint16_t n = Get16(tlv + 1);
        const uint8_t *value = tlv + 3;
        if (end - value < n)
            break;
        if (type == qmi::kTlvResult && n == 4) {
            reply.error = Get16(value) == 0 ? 0 : Get16(value + 2);
        } else if (type == qmi::kTlvCallEndReason && n == 2) {
            reply.hasEndReason = true;
            reply.endReason = Get16(value);
        } else if (type == qmi::kTlvVerboseCallEndReason && n == 4) {
            reply.hasVerbose = true;
            reply.verboseType = Get16(value);
            reply.verboseReason = Get16(value + 2);
        }
        tlv = value + n;
    }
    std::lock_guard<std::mutex> guard(lock_);
    replies_.push_back(reply);
}

const LogonReplyWatch::StartReply *LogonReplyWatch::ReplyLocked() const {
    if (!requested_)
        return nullptr;
    for (auto it = replies_.rbegin(); it != replies_.rend(); ++it) {
        if (it->transaction == transaction_)
            return &*it;
    }
    return nullptr;
}

bool LogonReplyWatch::Requested() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requested_;
}

bool LogonReplyWatch::Answered() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ReplyLocked() != nullptr;
}

bool LogonReplyWatch::Accepted() const {
    std::lock_guard<std::mutex> guard(lock_);
    const StartReply *r = ReplyLocked();
    return r && r->error == 0;
}

std::string LogonReplyWatch::Reason() const {
    std::lock_guard<std::mutex> guard(lock_);
    const StartReply *r = ReplyLocked();
    if (!r)
        return "no reply";
    char text[256];
    snprintf(text, sizeof text, "QMI error 0x%04X (%s)", r->error, qmi::ErrorName(r->error));
    std::string reason = text;
    if (r->hasEndReason) {
        snprintf(text, sizeof text, ", call end reason %u (%s)", r->endReason,
                 Name(kCallEndReasons, r->endReason));
        reason += text;
    }
    if (r->hasVerbose) {
        snprintf(text, sizeof text, ", verbose reason %s %u (%s)",
                 Name(kVerboseTypes, r->verboseType), r->verboseReason,
                 r->verboseType == qmi::kVerboseType3gpp ? Name(k3gppCauses, r->verboseReason)
                                                         : "not decoded");
        reason += text;
    }
    return reason;
}

} // namespace kxsim

#include "qmux.h"

namespace kxmodem {

uint16_t GetU16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t GetU32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutU16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

const Tlv *QmiMessage::Find(uint8_t type) const {
    for (const auto &t : tlvs) {
        if (t.type == type)
            return &t;
    }
    return nullptr;
}

void QmiMessage::AddTlv(uint8_t type, const Bytes &value) {
    tlvs.push_back({type, value});
}
void QmiMessage::AddTlv(uint8_t type, const std::string &value) {
    tlvs.push_back({type, Bytes(value.begin(), value.end())});
}
void QmiMessage::AddU8(uint8_t type, uint8_t v) {
    tlvs.push_back({type, Bytes{v}});
}
void QmiMessage::AddU16(uint8_t type, uint16_t v) {
    Bytes b;
    PutU16(b, v);
    tlvs.push_back({type, b});
}
void QmiMessage::AddU32(uint8_t type, uint32_t v) {
    Bytes b;
    PutU32(b, v);
    tlvs.push_back({type, b});
}
void QmiMessage::AddResult(uint16_t error) {
    Bytes b;
    PutU16(b, error == qmi::kErrNone ? 0 : 1);
    PutU16(b, error);
    tlvs.push_back({qmi::kTlvResult, b});
}

const char *ParseStatusName(ParseStatus status) {
    switch (status) {
    case ParseStatus::kOk:
        return "ok";
    case ParseStatus::kTooShort:
        return "too short";
    case ParseStatus::kBadInterface:
        return "bad interface type";
    case ParseStatus::kLengthMismatch:
        return "QMUX length mismatch";
    case ParseStatus::kBadTlvs:
        return "inconsistent TLVs";
    }
    return "?";
}

ParseStatus ParseFrame(const uint8_t *data, size_t size, QmiMessage *out) {
    if (size < kQmuxHeader)
        return ParseStatus::kTooShort;
    if (data[0] != qmi::kInterfaceQmux)
        return ParseStatus::kBadInterface;
    size_t frameLength = static_cast<size_t>(GetU16(data + 1)) + 1;
    if (frameLength != size)
        return ParseStatus::kLengthMismatch;
    out->qmuxFlags = data[3];
    out->service = data[4];
    out->clientId = data[5];
    size_t pos;
    if (out->service == qmi::kCtl) {
        if (size < kCtlHeaderEnd)
            return ParseStatus::kTooShort;
        out->flags = data[6];
        out->transactionId = data[7];
        pos = 8;
    } else {
        if (size < kSvcHeaderEnd)
            return ParseStatus::kTooShort;
        out->flags = data[6];
        out->transactionId = GetU16(data + 7);
        pos = 9;
    }
    out->messageId = GetU16(data + pos);
    size_t tlvLength = GetU16(data + pos + 2);
    pos += 4;
    out->tlvs.clear();
    if (pos + tlvLength != size)
        return ParseStatus::kBadTlvs;
    while (pos < size) {
        if (size - pos < 3)
            return ParseStatus::kBadTlvs;
        Tlv tlv;
        tlv.type = data[pos];
        size_t len = GetU16(data + pos + 1);
        pos += 3;
        if (size - pos < len)
            return ParseStatus::kBadTlvs;
        tlv.value.assign(data + pos, data + pos + len);
        pos += len;
        out->tlvs.push_back(std::move(tlv));
    }
    return ParseStatus::kOk;
}

Bytes BuildFrame(const QmiMessage &m) {
    Bytes f;
    f.reserve(64);
    f.push_back(qmi::kInterfaceQmux);
    PutU16(f, 0); // QMUX length, filled in last
    f.push_back(m.qmuxFlags);
    f.push_back(m.service);
    f.push_back(m.clientId);
    f.push_back(m.flags);
    if (m.service == qmi::kCtl)
        f.push_back(static_cast<uint8_t>(m.transactionId));
    else
        PutU16(f, m.transactionId);
    PutU16(f, m.messageId);
    size_t tlvLengthAt = f.size();
    PutU16(f, 0);
    for (const auto &t : m.tlvs) {
        f.push_back(t.type);
        PutU16(f, static_cast<uint16_t>(t.value.size()));
        f.insert(f.end(), t.value.begin(), t.value.end());
    }
    size_t tlvLength = f.size() - tlvLengthAt - 2;
    f[tlvLengthAt] = static_cast<uint8_t>(tlvLength);
    f[tlvLengthAt + 1] = static_cast<uint8_t>(tlvLength >> 8);
    size_t qmuxLength = f.size() - 1;
    f[1] = static_cast<uint8_t>(qmuxLength);
    f[2] = static_cast<uint8_t>(qmuxLength >> 8);
    return f;
}

void StreamDeframer::Feed(const uint8_t *data, size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
}

bool StreamDeframer::Next(Bytes *frame) {
    for (;;) {
        size_t skip = 0;
        while (skip < buffer_.size() && buffer_[skip] != qmi::kInterfaceQmux)
            ++skip;
        if (skip) {
            skipped_ += skip;
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(skip));
        }
        if (buffer_.size() < 3)
            return false;
        size_t frameLength = static_cast<size_t>(GetU16(buffer_.data() + 1)) + 1;
        if (frameLength < kCtlHeaderEnd || frameLength > kMaxFrame) {
            // Not a plausible frame start: drop the marker byte and look again.
            ++skipped_;
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < frameLength)
            return false;
        frame->assign(buffer_.begin(), buffer_.begin() + static_cast<long>(frameLength));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(frameLength));
        return true;
    }
}

} // namespace kxmodem

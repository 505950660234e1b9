#include "datanet.h"

#include <cstring>

namespace kxmodem {

namespace {

constexpr uint8_t kIcmp = 1;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kReplyTtl = 64;

uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// One's-complement sum of big-endian 16-bit words, added to `sum`. Summed
// eight bytes at a time in native order and swapped at the end: the one's
// complement sum does not depend on byte order (RFC 1071), and packets of
// 1500 bytes pass through here twice each.
uint32_t Sum(const uint8_t *data, size_t size, uint32_t sum) {
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        memcpy(&w, data + i, 8);
        acc += w & 0xFFFFFFFFu;
        acc += w >> 32;
    }
    for (; i + 2 <= size; i += 2) {
        uint16_t w;
        memcpy(&w, data + i, 2);
        acc += w;
    }
    if (i < size) {
        uint8_t last[2] = {data[i], 0};
        uint16_t w;
        memcpy(&w, last, 2);
        acc += w;
    }
    while (acc >> 16)
        acc = (acc & 0xFFFF) + (acc >> 16);
    uint16_t native = static_cast<uint16_t>(acc);
    uint8_t bytes[2];
    memcpy(bytes, &native, 2);
    return sum + static_cast<uint32_t>(bytes[0] << 8 | bytes[1]);
}

uint16_t Fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

} // namespace

uint16_t InternetChecksum(const uint8_t *data, size_t size, uint32_t sum) {
    return Fold(Sum(data, size, sum));
}

PacketVerdict AnswerPacket(const uint8_t *p, size_t size, uint32_t sessionAddress,
                           std::vector<uint8_t> *reply) {
    if (size < 20 || (p[0] >> 4) != 4)
        return PacketVerdict::kInvalid;
    size_t headerLength = static_cast<size_t>(p[0] & 0x0F) * 4;
    size_t totalLength = static_cast<size_t>(p[2] << 8 | p[3]);
    if (headerLength < 20 || totalLength < headerLength || totalLength > size)
        return PacketVerdict::kInvalid;
    if (InternetChecksum(p, headerLength) != 0)
        return PacketVerdict::kInvalid;
    if (Get32(p + 12) != sessionAddress)
        return PacketVerdict::kInvalid;
    bool fragment = (p[6] & 0x20) || ((p[6] & 0x1F) | p[7]);
    if (fragment)
        return PacketVerdict::kUnanswered;
    uint8_t protocol = p[9];
    const uint8_t *payload = p + headerLength;
    size_t payloadLength = totalLength - headerLength;

    if (protocol == kIcmp) {
        if (payloadLength < 8 || InternetChecksum(payload, payloadLength) != 0)
            return PacketVerdict::kInvalid;
        if (payload[0] != kEchoRequest || payload[1] != 0)
            return PacketVerdict::kUnanswered;
    } else if (protocol == kUdp) {
        if (payloadLength < 8)
            return PacketVerdict::kInvalid;
        size_t udpLength = static_cast<size_t>(payload[4] << 8 | payload[5]);
        if (udpLength < 8 || udpLength > payloadLength)
            return PacketVerdict::kInvalid;
        payloadLength = udpLength;
        if (payload[6] | payload[7]) { // checksum 0 means none was computed
            uint8_t pseudo[12];
            for (int i = 0; i < 8; ++i)
                pseudo[i] = p[12 + i];
            pseudo[8] = 0;
            pseudo[9] = kUdp;
            Put16(pseudo + 10, static_cast<uint16_t>(udpLength));
            if (InternetChecksum(payload, udpLength, Sum(pseudo, 12, 0)) != 0)
                return PacketVerdict::kInvalid;
        }
    } else {
        return PacketVerdict::kUnanswered;
    }

    // The answer: a plain 20-byte header, source and destination swapped.
    size_t replyLength = 20 + payloadLength;
    reply->assign(replyLength, 0);
    uint8_t *r = reply->data();
    r[0] = 0x45;
    Put16(r + 2, static_cast<uint16_t>(replyLength));
    r[4] = p[4]; // identification kept, so a trace pairs the two
    r[5] = p[5];
    r[8] = kReplyTtl;
    r[9] = protocol;
    for (int i = 0; i < 4; ++i) {
        r[12 + i] = p[16 + i];
        r[16 + i] = p[12 + i];
    }
    Put16(r + 10, InternetChecksum(r, 20));
    uint8_t *out = r + 20;
    for (size_t i = 0; i < payloadLength; ++i)
        out[i] = payload[i];
    if (protocol == kIcmp) {
        out[0] = kEchoReply;
        out[2] = out[3] = 0;
        Put16(out + 2, InternetChecksum(out, payloadLength));
    } else {
        out[0] = payload[2]; // ports swapped
        out[1] = payload[3];
        out[2] = payload[0];
        out[3] = payload[1];
        out[6] = out[7] = 0;
        uint8_t pseudo[12];
        for (int i = 0; i < 8; ++i)
            pseudo[i] = r[12 + i];
        pseudo[8] = 0;
        pseudo[9] = kUdp;
        Put16(pseudo + 10, static_cast<uint16_t>(payloadLength));
        uint16_t c = InternetChecksum(out, payloadLength, Sum(pseudo, 12, 0));
        Put16(out + 6, c ? c : 0xFFFF);
    }
    return PacketVerdict::kAnswered;
}

} // namespace kxmodem

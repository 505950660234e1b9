// ICMP echo packets for the session's address, as a host's IP stack would
// send them through a data channel. Header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxsim {

// 10.64.<channel>.2: the address kxmodem gives the session on a channel.
inline uint32_t SessionAddress(uint32_t channel) {
    return (10u << 24) | (64u << 16) | (channel << 8) | 2u;
}
constexpr uint32_t kEchoPeer = (10u << 24) | (64u << 16) | (255u << 8) | 1u; // 10.64.255.1

inline uint16_t Checksum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An IPv4 ICMP echo request of `totalSize` bytes (at least 28).
inline std::vector<uint8_t> EchoRequest(uint32_t src, uint32_t dst, uint16_t id, uint16_t seq,
                                        size_t totalSize = 84) {
    if (totalSize < 28)
        totalSize = 28;
    std::vector<uint8_t> p(totalSize, 0);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(totalSize >> 8);
    p[3] = static_cast<uint8_t>(totalSize);
    p[4] = static_cast<uint8_t>(seq >> 8);
    p[5] = static_cast<uint8_t>(seq);
    p[8] = 64;
    p[9] = 1;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    uint16_t c = Checksum(p.data(), 20);
    p[10] = static_cast<uint8_t>(c >> 8);
    p[11] = static_cast<uint8_t>(c);
    uint8_t *icmp = p.data() + 20;
    icmp[0] = 8;
    icmp[4] = static_cast<uint8_t>(id >> 8);
    icmp[5] = static_cast<uint8_t>(id);
    icmp[6] = static_cast<uint8_t>(seq >> 8);
    icmp[7] = static_cast<uint8_t>(seq);
    for (size_t i = 8; i < totalSize - 20; ++i)
        icmp[i] = static_cast<uint8_t>(i);
    c = Checksum(icmp, totalSize - 20);
    icmp[2] = static_cast<uint8_t>(c >> 8);
    icmp[3] = static_cast<uint8_t>(c);
    return p;
}

// True when `p` is the echo reply to (id, seq) addressed to `to`, checksums valid.
inline bool IsEchoReply(const uint8_t *p, size_t n, uint32_t to, uint16_t id, uint16_t seq) {
    if (n < 28 || p[0] != 0x45 || p[9] != 1 || Checksum(p, 20) != 0)
        return false;
    size_t total = static_cast<size_t>(p[2] << 8 | p[3]);
    if (total > n || total < 28 || Checksum(p + 20, total - 20) != 0)
        return false;
    uint32_t dst = static_cast<uint32_t>(p[16]) << 24 | static_cast<uint32_t>(p[17]) << 16 |
                   static_cast<uint32_t>(p[18]) << 8 | p[19];
    const uint8_t *icmp = p + 20;
    return dst == to && icmp[0] == 0 && (icmp[4] << 8 | icmp[5]) == id &&
           (icmp[6] << 8 | icmp[7]) == seq;
}

} // namespace kxsim

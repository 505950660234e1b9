// The small network behind the data ports: it answers ICMP echo requests and
// UDP datagrams (echoed back) sent from a session's address, to any
// destination, with correct IPv4, ICMP and UDP checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxmodem {

enum class PacketVerdict {
    kAnswered,
    kInvalid,    // not IPv4, bad lengths or header checksum, wrong source
    kUnanswered, // valid, but nobody answers (other protocols, fragments, ICMP other than echo)
};

// Answers one packet from the session whose address is `sessionAddress`.
PacketVerdict AnswerPacket(const uint8_t *packet, size_t size, uint32_t sessionAddress,
                           std::vector<uint8_t> *reply);

// Internet checksum (RFC 1071) over data, starting from `sum`.
uint16_t InternetChecksum(const uint8_t *data, size_t size, uint32_t sum = 0);

} // namespace kxmodem

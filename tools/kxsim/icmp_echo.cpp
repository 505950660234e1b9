#include "icmp_echo.h"

#include <arpa/inet.h>
#include <cstdio>

namespace kxsim {

static uint16_t Checksum(const uint8_t *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size & 1)
        sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

static void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

static void Put32(uint8_t *p, uint32_t v) {
    Put16(p, static_cast<uint16_t>(v >> 16));
    Put16(p + 2, static_cast<uint16_t>(v));
}

static uint16_t Get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
static uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(Get16(p)) << 16 | Get16(p + 2);
}

uint32_t ParseIPv4(const std::string &dotted) {
    struct in_addr a;
    if (inet_pton(AF_INET, dotted.c_str(), &a) != 1)
        return 0;
    return ntohl(a.s_addr);
}

std::string FormatIPv4(uint32_t address) {
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
             (address >> 8) & 255, address & 255);
    return text;
}

std::vector<uint8_t> BuildEchoRequest(uint32_t source, uint32_t destination, uint16_t id,
                                      uint16_t sequence, size_t payloadBytes) {
    std::vector<uint8_t> p(20 + 8 + payloadBytes);
    p[0] = 0x45; // IPv4, 20-byte header
    Put16(&p[2], static_cast<uint16_t>(p.size()));
    Put16(&p[4], sequence); // identification
    p[8] = 64;              // time to live
    p[9] = 1;               // ICMP
    Put32(&p[12], source);
    Put32(&p[16], destination);
    Put16(&p[10], Checksum(p.data(), 20));
    uint8_t *icmp = &p[20];
    icmp[0] = 8; // echo request
    Put16(icmp + 4, id);
    Put16(icmp + 6, sequence);
    for (size_t i = 0; i < payloadBytes; ++i)
        icmp[8 + i] = static_cast<uint8_t>('a' + i % 26);
    Put16(icmp + 2, Checksum(icmp, 8 + payloadBytes));
    return p;
}

bool IsEchoReply(const uint8_t *packet, size_t size, uint32_t source, uint32_t destination,
                 uint16_t id, uint16_t sequence) {
    if (size < 28 || (packet[0] >> 4) != 4)
        return false;
    size_t header = (packet[0] & 15) * 4u;
    if (header < 20 || size < header + 8 || Get16(packet + 2) != size || packet[9] != 1)
        return false;
    if (Checksum(packet, header) != 0)
        return false;
    if (Get32(packet + 12) != destination || Get32(packet + 16) != source)
        return false;
    const uint8_t *icmp = packet + header;
    if (icmp[0] != 0 || Checksum(icmp, size - header) != 0)
        return false;
    return Get16(icmp + 4) == id && Get16(icmp + 6) == sequence;
}

} // namespace kxsim

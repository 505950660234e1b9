// Building and checking ICMP echo packets (IPv4) for the data channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxsim {

uint32_t ParseIPv4(const std::string &dotted); // host order; 0 when not an address
std::string FormatIPv4(uint32_t address);

// An IPv4 ICMP echo request from `source` to `destination`.
std::vector<uint8_t> BuildEchoRequest(uint32_t source, uint32_t destination, uint16_t id,
                                      uint16_t sequence, size_t payloadBytes);
// True when `packet` is the echo reply to that request (addresses swapped,
// same id and sequence, checksums correct).
bool IsEchoReply(const uint8_t *packet, size_t size, uint32_t source, uint32_t destination,
                 uint16_t id, uint16_t sequence);

} // namespace kxsim

// The QMI table: every service, message and TLV this system knows, with its
// name and the layout of its value, and the labels of the enumerations those
// layouts name. Everything on the host side takes its QMI knowledge from
// here: the simulated module (what it serves, its trace), the capture
// dissector (generated from these rows), the host programs, the tests'
// fake module and the benchmark. The numbers themselves are in qmi_ids.h.
//
// A layout is a list of fields separated by spaces, read in order from the
// TLV's value (integers little-endian):
//     KIND:NAME            a field
//     KIND:NAME=ENUM       a number whose labels are enumeration ENUM
//     n8:NAME{ ... }       a list: an 8-bit count, then that many groups
//     n16:NAME{ ... }      the same with a 16-bit count
// KIND is one of
//     u8 u16 u32 i8 i16 i32   numbers (unsigned, signed)
//     x8 x16 x32              numbers shown in hexadecimal
//     neg8                    a u8 that stands for its negative (dBm)
//     ipv4                    an IPv4 address (u32, most significant byte last)
//     str                     text, the rest of the value
//     secret                  text that traces show masked unless asked
//     str8                    text after an 8-bit length
//     chars3                  three characters (MCC/MNC digits, 0xFF = none)
//     idbits                  a 16-bit length, then a bit list of message ids
//     bytes                   the rest of the value in hexadecimal
#pragma once

#include <cstddef>
#include <cstdint>

#include "kxqmi/qmi_ids.h"

namespace kxqmi {

// Which frames a message or TLV row applies to.
enum Direction : uint8_t {
    kDirRequest = 0x01,
    kDirResponse = 0x02,
    kDirIndication = 0x04,
    kDirFromModule = kDirResponse | kDirIndication,
    kDirAny = 0x07,
};
constexpr uint8_t kAnyService = 0xFF;
constexpr uint16_t kAnyMessage = 0xFFFF;

struct ServiceRow {
    uint8_t id;
    const char *name;
    uint16_t major, minor; // the version the module reports
    bool served;           // the module hands out clients of it
};

struct MessageRow {
    uint8_t service;
    uint16_t id;
    const char *name;
    bool served; // the module answers it (listed by Get Supported Messages)
};

struct TlvRow {
    uint8_t service;  // or kAnyService
    uint16_t message; // or kAnyMessage
    uint8_t directions;
    uint8_t type;
    const char *name;
    const char *layout;
};

struct EnumRow {
    const char *enumeration;
    uint32_t value;
    const char *label;
};

template <typename Row>
struct Rows {
    const Row *begin_;
    size_t size_;
    const Row *begin() const { return begin_; }
    const Row *end() const { return begin_ + size_; }
    size_t size() const { return size_; }
};

Rows<ServiceRow> Services();
Rows<MessageRow> Messages();
Rows<TlvRow> Tlvs();
Rows<EnumRow> Enums();

const ServiceRow *FindService(uint8_t service);
const MessageRow *FindMessage(uint8_t service, uint16_t message);
// The row of a TLV in a frame going `direction` (one kDir* bit).
const TlvRow *FindTlv(uint8_t service, uint16_t message, uint8_t direction, uint8_t type);
// Label of `value` in `enumeration`, nullptr if none. Enumeration "service"
// labels are the service names.
const char *EnumLabel(const char *enumeration, uint32_t value);

const char *ServiceName(uint8_t service);                   // "service?" if unknown
const char *MessageName(uint8_t service, uint16_t message); // "unknown" if unknown
const char *ErrorName(uint16_t error);                      // "error?" if unknown

} // namespace kxqmi

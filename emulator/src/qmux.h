// QMUX framing: one frame = QMUX header (interface type, length, control
// flags, service, client id), a service message header (CTL: flags, 1-byte
// transaction id; other services: flags, 2-byte transaction id), then the
// message id, the TLV length and the TLVs. All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kxqmi/qmi_table.h"

namespace kxmodem {

// The module speaks QMI as the shared table spells it.
namespace qmi = ::kxqmi;

using Bytes = std::vector<uint8_t>;

struct Tlv {
    uint8_t type = 0;
    Bytes value;
};

struct QmiMessage {
    uint8_t qmuxFlags = 0;
    uint8_t service = 0;
    uint8_t clientId = 0;
    uint8_t flags = 0; // service message control flags
    uint16_t transactionId = 0;
    uint16_t messageId = 0;
    std::vector<Tlv> tlvs;

    const Tlv *Find(uint8_t type) const;
    // Appenders for building replies.
    void AddTlv(uint8_t type, const Bytes &value);
    void AddTlv(uint8_t type, const std::string &value);
    void AddU8(uint8_t type, uint8_t v);
    void AddU16(uint8_t type, uint16_t v);
    void AddU32(uint8_t type, uint32_t v);
    void AddResult(uint16_t error); // result code 0 when error is 0, else 1
};

enum class ParseStatus {
    kOk,
    kTooShort,       // not even a whole header: nothing can be answered
    kBadInterface,   // interface type is not QMUX
    kLengthMismatch, // QMUX length disagrees with the bytes received
    kBadTlvs,        // header readable (answerable), TLV area inconsistent
};

// Parses one whole frame. With kBadTlvs the header fields are filled in.
ParseStatus ParseFrame(const uint8_t *data, size_t size, QmiMessage *out);
Bytes BuildFrame(const QmiMessage &message);
const char *ParseStatusName(ParseStatus status);

// Header sizes.
constexpr size_t kQmuxHeader = 6;
constexpr size_t kCtlHeaderEnd = 12; // QMUX + CTL message header
constexpr size_t kSvcHeaderEnd = 13; // QMUX + service message header
constexpr size_t kMaxFrame = 8192;   // larger claimed lengths are treated as noise

// Splits a byte stream (the pty) into frames by the QMUX length; bytes that
// cannot start a frame are skipped.
class StreamDeframer {
  public:
    void Feed(const uint8_t *data, size_t size);
    // Next whole frame, if any.
    bool Next(Bytes *frame);
    size_t skipped() const { return skipped_; }

  private:
    Bytes buffer_;
    size_t skipped_ = 0;
};

uint16_t GetU16(const uint8_t *p);
uint32_t GetU32(const uint8_t *p);
void PutU16(Bytes &b, uint16_t v);
void PutU32(Bytes &b, uint32_t v);

} // namespace kxmodem

#include "capture.h"

#include <sys/time.h>

#include <vector>

namespace kxmodem {

namespace {

// pcapng block types, option codes and link types.
constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0, kOptComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2, kIfDescription = 3;
constexpr uint16_t kEpbFlags = 2;
constexpr uint32_t kFlagInbound = 1, kFlagOutbound = 2;
constexpr uint16_t kLinkUser0 = 147, kLinkRaw = 101;

struct InterfaceRow {
    const char *name;
    const char *description;
    uint16_t linkType;
};
const InterfaceRow kInterfaces[] = {
    {"KXC1", "QMI control port (QMUX frames)", kLinkUser0},
    {"pty", "QMI control port on the pseudo-terminal (QMUX frames)", kLinkUser0},
    {"KXN1", "packet data channel 1 (raw IP)", kLinkRaw},
    {"KXN2", "packet data channel 2 (raw IP)", kLinkRaw},
};

class Block {
  public:
    explicit Block(uint32_t type) {
        Put32(type);
        Put32(0); // total length, set by Finish
    }
    void Put16(uint16_t v) {
        bytes_.push_back(static_cast<uint8_t>(v));
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Put32(uint32_t v) {
        Put16(static_cast<uint16_t>(v));
        Put16(static_cast<uint16_t>(v >> 16));
    }
    void PutBytes(const void *data, size_t size) {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        bytes_.insert(bytes_.end(), p, p + size);
        while (bytes_.size() % 4)
            bytes_.push_back(0);
    }
    void Option(uint16_t code, const void *data, size_t size) {
        Put16(code);
        Put16(static_cast<uint16_t>(size));
        PutBytes(data, size);
    }
    void Option(uint16_t code, const std::string &text) { Option(code, text.data(), text.size()); }
    const std::vector<uint8_t> &Finish() {
        Put16(kOptEnd);
        Put16(0);
        uint32_t total = static_cast<uint32_t>(bytes_.size() + 4);
        Put32(total);
        for (int i = 0; i < 4; ++i)
            bytes_[4 + i] = static_cast<uint8_t>(total >> (8 * i));
        return bytes_;
    }

  private:
    std::vector<uint8_t> bytes_;
};

bool Write(FILE *out, const std::vector<uint8_t> &bytes) {
    return fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

} // namespace

bool Capture::Open(const std::string &path, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_ = fopen(path.c_str(), "wb");
    if (!out_) {
        *error = "cannot create capture file " + path;
        return false;
    }
    Block section(kSectionHeader);
    section.Put32(kByteOrderMagic);
    section.Put16(1); // version 1.0
    section.Put16(0);
    section.Put32(0xFFFFFFFF); // section length not given
    section.Put32(0xFFFFFFFF);
    section.Option(kShbUserApplication, std::string("kxmodem"));
    bool ok = Write(out_, section.Finish());
    for (const auto &i : kInterfaces) {
        Block b(kInterfaceDescription);
        b.Put16(i.linkType);
        b.Put16(0);
        b.Put32(0); // no snapshot limit
        b.Option(kIfName, std::string(i.name));
        b.Option(kIfDescription, std::string(i.description));
        ok = ok && Write(out_, b.Finish());
    }
    if (!ok || fflush(out_) != 0) {
        fclose(out_);
        out_ = nullptr;
        *error = "cannot write capture file " + path;
        return false;
    }
    return true;
}

void Capture::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_)
        fclose(out_);
    out_ = nullptr;
}

void Capture::Packet(Interface interface, bool received, const uint8_t *data, size_t size,
                     const std::string &connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!out_)
        return;
    timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t micros =
        static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    Block b(kEnhancedPacket);
    b.Put32(interface);
    b.Put32(static_cast<uint32_t>(micros >> 32));
    b.Put32(static_cast<uint32_t>(micros));
    b.Put32(static_cast<uint32_t>(size));
    b.Put32(static_cast<uint32_t>(size));
    b.PutBytes(data, size);
    b.Option(kOptComment, connection);
    const uint8_t flags[4] = {static_cast<uint8_t>(received ? kFlagInbound : kFlagOutbound), 0, 0,
                              0};
    b.Option(kEpbFlags, flags, sizeof flags);
    // A capture that cannot be written any more (disk full) ends; the module goes on.
    if (!Write(out_, b.Finish()) || fflush(out_) != 0) {
        fclose(out_);
        out_ = nullptr;
    }
}

} // namespace kxmodem

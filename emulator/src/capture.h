// A pcapng capture of the module's ports as it runs (kxmodem --pcap): the
// control frames of KXC1 and of the pseudo-terminal, each a packet of link
// type USER0 with its connection in the packet's comment, and the IP packets
// of KXN1 and KXN2 as raw IP. The packet flags give the direction: inbound
// is what the module received, outbound what it sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kxmodem {

class Capture {
  public:
    // The capture's interfaces, in the order of their description blocks.
    enum Interface : uint32_t { kControl = 0, kControlPty, kData1, kData2, kInterfaceCount };

    ~Capture() { Close(); }
    // Creates (or replaces) the file and writes its header.
    bool Open(const std::string &path, std::string *error);
    void Close();
    bool enabled() const { return out_ != nullptr; }

    // `received`: the module received it. `connection` goes into the comment.
    void Packet(Interface interface, bool received, const uint8_t *data, size_t size,
                const std::string &connection);

  private:
    std::mutex mutex_; // guards out_ (leaf; packets come from the loop, Close from Stop)
    FILE *out_ = nullptr;
};

} // namespace kxmodem

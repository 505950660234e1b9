// TUN interfaces (layer 3, no packet information header) in a namespace,
// with an address, routes and the link up.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

#include "kxnet/netns.h"

namespace kxnet {

struct TunConfig {
    std::string name;          // interface name, at most 15 characters
    std::string address;       // "10.64.255.1/16": address with prefix length
    std::string peer;          // optional point-to-point peer address ("" = none)
    bool defaultRoute = false; // default route through the interface
    int mtu = 1500;
    bool ipv6 = false; // IPv6 off keeps router solicitations off the link
};

// One TUN interface, open as long as the object lives: closing the file
// descriptor removes the interface.
class TunInterface {
  public:
    TunInterface() = default;
    ~TunInterface() { Close(); }
    TunInterface(const TunInterface &) = delete;
    TunInterface &operator=(const TunInterface &) = delete;

    // Creates the interface inside ns and configures it. False (and *error)
    // on any failure, with nothing left behind.
    bool Open(const NetNamespace &ns, const TunConfig &config, std::string *error);
    void Close();
    int fd() const { return fd_; }
    const std::string &name() const { return name_; }

    // One packet each; the descriptor is non-blocking: Read returns -1 with
    // errno EAGAIN when nothing is queued.
    ssize_t Read(void *buffer, size_t size) const;
    ssize_t Write(const void *packet, size_t size) const;

  private:
    int fd_ = -1;
    std::string name_;
};

} // namespace kxnet

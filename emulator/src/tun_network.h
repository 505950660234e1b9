// The operator's network on the host's own IP stack, used instead of the
// built-in echo network ("--network tun"): a network namespace with one TUN
// interface holding the operator's address. Packets that the sessions' hosts
// send on the data ports are written into the interface; packets that the
// namespace routes into it (to a session's address) come back to the loop
// thread in batches, which hands each to the data port of the session whose
// address it is for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kxnet/netns.h"
#include "kxnet/tun.h"

namespace kxmodem {

struct TunNetworkConfig {
    std::string namespaceName; // "" = "kxop-<pid>"
    std::string interfaceName = "kxop0";
    std::string address = "10.64.255.1/16"; // the operator side; sessions are 10.64.<ch>.2
};

class TunNetwork {
  public:
    using Packets = std::vector<std::vector<uint8_t>>;
    // Runs work on the modem's loop thread.
    using Post = std::function<void(std::function<void()>)>;
    // Takes packets read from the interface, on the loop thread.
    using Deliver = std::function<void(const Packets &)>;

    TunNetwork() = default;
    ~TunNetwork() { Stop(); }
    TunNetwork(const TunNetwork &) = delete;
    TunNetwork &operator=(const TunNetwork &) = delete;

    bool Start(const TunNetworkConfig &config, Post post, Deliver deliver, std::string *error);
    // Ends the reader thread, closes the interface and removes the namespace.
    // Work already posted must not run afterwards (the loop has ended).
    void Stop();
    // One packet from a session's host into the operator's network (loop
    // thread). False when the interface does not take it.
    bool Send(const uint8_t *packet, size_t size);
    const std::string &namespaceName() const { return ns_.name(); }
    const std::string &address() const { return config_.address; }

  private:
    void ReadLoop();

    TunNetworkConfig config_;
    kxnet::NetNamespace ns_;
    kxnet::TunInterface tun_;
    Post post_;
    Deliver deliver_;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
};

} // namespace kxmodem

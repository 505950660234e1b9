// Named network namespaces (as "ip netns" names them, under /run/netns).
#pragma once

#include <functional>
#include <string>

namespace kxnet {

// Why this process cannot create namespaces and TUN interfaces, "" when it
// can: it needs root (CAP_SYS_ADMIN, CAP_NET_ADMIN), /dev/net/tun and the
// ip program.
std::string NetworkPrerequisiteProblem();

// Removes namespaces named "<prefix><pid>" whose process no longer runs (left
// behind by a run that was killed). Returns how many were removed.
int RemoveStaleNamespaces(const std::string &prefix);

// A named network namespace that exists from Create until Destroy (or
// destruction): its interfaces go with it.
class NetNamespace {
  public:
    NetNamespace() = default;
    ~NetNamespace() { Destroy(); }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    // Creates the namespace with its loopback interface up. False (and
    // *error) when it exists already or cannot be made.
    bool Create(const std::string &name, std::string *error);
    void Destroy();
    const std::string &name() const { return name_; }
    bool valid() const { return !name_.empty(); }

    // Runs fn on a thread of its own that has entered the namespace, and
    // waits for it; what fn creates (sockets, TUN interfaces) belongs to
    // the namespace. False (and *error) when the namespace cannot be entered.
    bool RunInside(const std::function<void()> &fn, std::string *error) const;

  private:
    std::string name_;
};

} // namespace kxnet

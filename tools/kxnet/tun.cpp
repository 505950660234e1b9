#include "kxnet/tun.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kxnet/command.h"

namespace kxnet {

namespace {

// Creates the interface; runs inside the namespace. Returns the descriptor,
// or -1 with `failure` set.
int CreateTun(const TunConfig &config, std::string *failure) {
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *failure = std::string("cannot open /dev/net/tun: ") + strerror(errno);
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    memcpy(ifr.ifr_name, config.name.c_str(), config.name.size());
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        *failure = "cannot create TUN interface " + config.name + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    if (!config.ipv6) {
        // /proc/sys/net is the namespace of the thread that opens it.
        std::string knob = "/proc/sys/net/ipv6/conf/" + config.name + "/disable_ipv6";
        int k = open(knob.c_str(), O_WRONLY | O_CLOEXEC);
        if (k >= 0) {
            ssize_t written = write(k, "1", 1);
            (void)written; // without IPv6 support there is nothing to turn off
            close(k);
        }
    }
    return fd;
}

// MTU, address (and peer), up, and the default route if asked; `why` tells
// the first failure.
bool ConfigureTun(const NetNamespace &ns, const TunConfig &config, std::string *why) {
    const std::string &ifname = config.name;
    std::vector<std::string> address{"address", "add", config.address};
    if (!config.peer.empty()) {
        address.push_back("peer");
        address.push_back(config.peer);
    }
    address.push_back("dev");
    address.push_back(ifname);
    return RunIp(ns.name(), {"link", "set", "dev", ifname, "mtu", std::to_string(config.mtu)},
                 why) &&
           RunIp(ns.name(), address, why) &&
           RunIp(ns.name(), {"link", "set", "dev", ifname, "up"}, why) &&
           (!config.defaultRoute ||
            RunIp(ns.name(), {"route", "add", "default", "dev", ifname}, why));
}

} // namespace

bool TunInterface::Open(const NetNamespace &ns, const TunConfig &config, std::string *error) {
    Close();
    if (config.name.empty() || config.name.size() >= IFNAMSIZ) {
        *error = "bad interface name '" + config.name + "'";
        return false;
    }
    int fd = -1;
    std::string failure;
    if (!ns.RunInside([&] { fd = CreateTun(config, &failure); }, error))
        return false;
    if (fd < 0) {
        *error = failure;
        return false;
    }
    fd_ = fd;
    name_ = config.name;
    std::string why;
    if (!ConfigureTun(ns, config, &why)) {
        *error = "cannot configure " + config.name + " in " + ns.name() + ": " + why;
        Close();
        return false;
    }
    return true;
}

void TunInterface::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    name_.clear();
}

ssize_t TunInterface::Read(void *buffer, size_t size) const {
    ssize_t n;
    do {
        n = read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t TunInterface::Write(const void *packet, size_t size) const {
    ssize_t n;
    do {
        n = write(fd_, packet, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace kxnet

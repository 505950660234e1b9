#include "kxnet/netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kxnet/command.h"

namespace kxnet {

namespace {
const char kNetnsDir[] = "/run/netns/";
}

std::string NetworkPrerequisiteProblem() {
    if (geteuid() != 0)
        return "network namespaces and TUN interfaces need root (CAP_SYS_ADMIN and "
               "CAP_NET_ADMIN); run this as root";
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        return std::string("/dev/net/tun is not usable (") + strerror(errno) +
               "): load the tun module (modprobe tun) or give the container the device";
    if (!Run({"ip", "-V"}))
        return "the ip program (iproute2) is missing: install iproute2";
    return "";
}

int RemoveStaleNamespaces(const std::string &prefix) {
    DIR *dir = opendir(kNetnsDir);
    if (!dir)
        return 0;
    std::vector<std::string> stale;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size())
            continue;
        char *end = nullptr;
        long pid = strtol(name.c_str() + prefix.size(), &end, 10);
        if (*end || pid <= 0)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(name);
    }
    closedir(dir);
    int removed = 0;
    for (const auto &name : stale)
        removed += Run({"ip", "netns", "delete", name}) ? 1 : 0;
    return removed;
}

bool NetNamespace::Create(const std::string &name, std::string *error) {
    Destroy();
    std::string why;
    if (!Run({"ip", "netns", "add", name}, &why)) {
        *error = "cannot create network namespace " + name + ": " + why;
        return false;
    }
    name_ = name;
    if (!RunIp(name_, {"link", "set", "dev", "lo", "up"}, &why)) {
        *error = "namespace " + name + ": " + why;
        Destroy();
        return false;
    }
    return true;
}

void NetNamespace::Destroy() {
    if (name_.empty())
        return;
    // Processes still inside keep the namespace itself alive until they end;
    // the name goes now.
    Run({"ip", "netns", "delete", name_});
    name_.clear();
}

bool NetNamespace::RunInside(const std::function<void()> &fn, std::string *error) const {
    std::string path = kNetnsDir + name_;
    int nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    // setns changes only the calling thread's namespace: a thread of its own
    // keeps the caller where it is.
    int failure = 0;
    std::thread inside([&] {
        if (setns(nsFd, CLONE_NEWNET) != 0) {
            failure = errno;
            return;
        }
        fn();
    });
    inside.join();
    close(nsFd);
    if (failure) {
        *error = "cannot enter namespace " + name_ + ": " + strerror(failure);
        return false;
    }
    return true;
}

} // namespace kxnet

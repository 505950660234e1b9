#include "tun_bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

#include "kxnet/command.h"
#include "kxnet/netns.h"
#include "kxnet/tun.h"

namespace kxsim {

namespace {

constexpr size_t kMaxPacket = 65536;
// How long one pump waits before it looks at the stop request again.
constexpr int kPollMs = 200;
// A channel that keeps failing this long ends the bridge (a reopen of the
// module's ports takes far less).
constexpr int kGiveUpMs = 20000;

// The channel into the interface. One thread; ends at stop or for good failure.
void DownPump(PacketChannel &channel, const kxnet::TunInterface &tun, kxnet::StopSignals &stop,
              TunBridgeStats &stats, std::atomic<bool> &failed) {
    std::vector<uint8_t> buffer(kMaxPacket);
    int failingMs = 0;
    while (!stop.stopped()) {
        long n = channel.Receive(buffer.data(), static_cast<uint32_t>(buffer.size()), kPollMs);
        if (n < 0) {
            ++stats.receiveFailures;
            failingMs += 50;
            if (failingMs >= kGiveUpMs) {
                failed = true;
                stop.RequestStop();
                return;
            }
            usleep(50 * 1000);
            continue;
        }
        failingMs = 0;
        if (n == 0)
            continue;
        // A packet the interface refuses (not IP) is dropped, as a link would.
        if (tun.Write(buffer.data(), static_cast<size_t>(n)) == n) {
            ++stats.packetsDown;
            stats.bytesDown += static_cast<uint64_t>(n);
        }
    }
}

// The interface into the channel. One thread; ends at stop.
void UpPump(PacketChannel &channel, const kxnet::TunInterface &tun, kxnet::StopSignals &stop,
            TunBridgeStats &stats) {
    std::vector<uint8_t> buffer(kMaxPacket);
    pollfd p{tun.fd(), POLLIN, 0};
    while (!stop.stopped()) {
        ssize_t n = tun.Read(buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EAGAIN)
                poll(&p, 1, kPollMs);
            continue;
        }
        if (n == 0)
            continue;
        if (channel.Send(buffer.data(), static_cast<uint32_t>(n))) {
            ++stats.packetsUp;
            stats.bytesUp += static_cast<uint64_t>(n);
        } else {
            ++stats.sendFailures; // lost, as on a radio link; TCP sends it again
        }
    }
}

} // namespace

int BridgeDriverChannel(DriverChannel::SendFn send, DriverChannel::ReceiveFn receive,
                        uint32_t channel, const TunBridgeOptions &options, kxnet::StopSignals &stop,
                        std::string *error) {
    DriverChannel data(send, receive, channel);
    return RunTunBridge(data, options, stop, nullptr, error);
}

std::string DefaultSessionAddress(int channel) {
    return "10.64." + std::to_string(channel) + ".2";
}

int RunTunBridge(PacketChannel &channel, const TunBridgeOptions &options, kxnet::StopSignals &stop,
                 TunBridgeStats *stats, std::string *error) {
    std::string problem = kxnet::NetworkPrerequisiteProblem();
    if (!problem.empty()) {
        *error = problem;
        return 1;
    }
    kxnet::RemoveStaleNamespaces("kxhh-");
    kxnet::NetNamespace ns;
    std::string name =
        options.namespaceName.empty() ? "kxhh-" + std::to_string(getpid()) : options.namespaceName;
    if (!ns.Create(name, error))
        return 1;
    kxnet::TunInterface tun;
    kxnet::TunConfig config;
    config.name = options.interfaceName;
    config.address = options.address + "/32";
    config.defaultRoute = true;
    config.mtu = options.mtu;
    if (!tun.Open(ns, config, error))
        return 1;
    if (!options.quiet)
        printf("kxsim: %s %s in namespace %s, default route through it\n", config.name.c_str(),
               options.address.c_str(), ns.name().c_str());
    fflush(stdout);

    TunBridgeStats local;
    TunBridgeStats &s = stats ? *stats : local;
    std::atomic<bool> failed{false};
    std::thread down([&] { DownPump(channel, tun, stop, s, failed); });
    std::thread up([&] { UpPump(channel, tun, stop, s); });

    int status = 0;
    pid_t child = -1;
    bool ownGroup = false;
    std::thread waiter;
    std::atomic<int> childStatus{-1};
    if (!options.exec.empty()) {
        // A group of its own, so that a stop ends everything the command
        // started; but on a terminal it stays in the foreground group, where
        // it can read the terminal and takes Ctrl-C itself.
        ownGroup = !isatty(STDIN_FILENO);
        child = kxnet::Spawn({"ip", "netns", "exec", ns.name(), "sh", "-c", options.exec}, error,
                             ownGroup);
        if (child < 0) {
            status = 1;
            stop.RequestStop();
        } else {
            waiter = std::thread([&] {
                childStatus = kxnet::WaitChild(child);
                stop.RequestStop();
            });
        }
    }
    stop.WaitFor(-1);
    if (waiter.joinable()) {
        if (childStatus < 0 && ownGroup) // stopped by a signal or a failed channel
            kxnet::TerminateGroup(child);
        else if (childStatus < 0)
            kill(child, SIGTERM);
        waiter.join();
        status = childStatus;
    }
    up.join();
    down.join();
    if (failed) {
        *error = "the data channel failed";
        if (status == 0)
            status = 1;
    }
    return status;
}

} // namespace kxsim

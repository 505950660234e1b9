#include "tun_network.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "modem_impl.h"

namespace kxmodem {

namespace {
constexpr size_t kMaxPacket = 65536;
constexpr size_t kBatch = 64; // packets handed to the loop at once

uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The IPv4 total length when the packet starts with a plausible header, else 0.
size_t Ipv4Length(const uint8_t *p, size_t size) {
    if (size < 20 || (p[0] >> 4) != 4 || (p[0] & 0x0F) < 5)
        return 0;
    size_t total = static_cast<size_t>(p[2] << 8 | p[3]);
    return total >= 20 && total <= size ? total : 0;
}
} // namespace

bool TunNetwork::Start(const TunNetworkConfig &config, Post post, Deliver deliver,
                       std::string *error) {
    config_ = config;
    if (config_.namespaceName.empty())
        config_.namespaceName = "kxop-" + std::to_string(getpid());
    std::string problem = kxnet::NetworkPrerequisiteProblem();
    if (!problem.empty()) {
        *error = "--network tun: " + problem;
        return false;
    }
    kxnet::RemoveStaleNamespaces("kxop-");
    if (!ns_.Create(config_.namespaceName, error))
        return false;
    kxnet::TunConfig tun;
    tun.name = config_.interfaceName;
    tun.address = config_.address;
    if (!tun_.Open(ns_, tun, error) || pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error->empty())
            *error = std::string("pipe: ") + strerror(errno);
        Stop();
        return false;
    }
    post_ = std::move(post);
    deliver_ = std::move(deliver);
    reader_ = std::thread([this] { ReadLoop(); });
    return true;
}

void TunNetwork::Stop() {
    if (reader_.joinable()) {
        char c = 1;
        ssize_t n = write(stopPipe_[1], &c, 1);
        (void)n; // the pipe is empty: the byte fits
        reader_.join();
    }
    for (int &fd : stopPipe_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    tun_.Close();
    ns_.Destroy();
}

bool TunNetwork::Send(const uint8_t *packet, size_t size) {
    return tun_.Write(packet, size) == static_cast<ssize_t>(size);
}

void TunNetwork::ReadLoop() {
    pollfd fds[2] = {{tun_.fd(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        // One batch per wake-up, moved to the loop in one piece: the loop's
        // queue sees a fraction of the packet rate.
        auto batch = std::make_shared<Packets>();
        std::vector<uint8_t> buffer(kMaxPacket);
        while (batch->size() < kBatch) {
            ssize_t n = tun_.Read(buffer.data(), buffer.size());
            if (n <= 0)
                break;
            batch->emplace_back(buffer.begin(), buffer.begin() + n);
        }
        if (!batch->empty())
            post_([this, batch] { deliver_(*batch); });
    }
}

// ---- the modem's side ----

bool Modem::Impl::StartNetwork(std::string *error) {
    if (options.network.empty() || options.network == "echo")
        return true;
    if (options.network != "tun") {
        *error = "unknown network '" + options.network + "' (echo or tun)";
        return false;
    }
    TunNetworkConfig config;
    config.namespaceName = options.networkNamespace;
    network.reset(new TunNetwork);
    bool started = network->Start(
        config, [this](std::function<void()> fn) { Post(std::move(fn)); },
        [this](const TunNetwork::Packets &packets) {
            for (const auto &p : packets)
                DeliverFromNetwork(p.data(), p.size());
        },
        error);
    if (!started) {
        network.reset();
        return false;
    }
    trace.Event("network: TUN " + config.interfaceName + " " + network->address() +
                " in namespace " + network->namespaceName());
    return true;
}

void Modem::Impl::StopNetwork() {
    network.reset();
}

// A packet from the host of session s: only what carries the session's own
// address as its source enters the network.
void Modem::Impl::ForwardToNetwork(Connection &c, const Session &s, const uint8_t *data,
                                   size_t size) {
    size_t length = Ipv4Length(data, size);
    if (length == 0 || Get32(data + 12) != s.address) {
        ++counters.dataDroppedInvalid;
        if (trace.enabled())
            trace.Data(c.where, true, size, "dropped: invalid");
        return;
    }
    if (!network->Send(data, length)) {
        ++counters.dataDroppedUnanswered;
        if (trace.enabled())
            trace.Data(c.where, true, size, "dropped: network did not take it");
        return;
    }
    if (trace.enabled())
        trace.Data(c.where, true, size, "to network");
}

// A packet the operator's network routed to the sessions: it goes to the data
// port of the up session whose address it is for, on the connection its
// host opened last.
void Modem::Impl::DeliverFromNetwork(const uint8_t *packet, size_t size) {
    size_t length = Ipv4Length(packet, size);
    if (length == 0) {
        ++counters.dataDroppedUnanswered; // not IPv4: nobody to give it to
        return;
    }
    uint32_t destination = Get32(packet + 16);
    int channel = -1;
    for (int ch = 0; ch < 2 && channel < 0; ++ch) {
        const Session *s = engine.SessionOnChannel(ch);
        if (s && s->status == qmi::kStatusConnected && s->address == destination)
            channel = ch;
    }
    const Connection *target = nullptr;
    if (channel >= 0) {
        int port = channel == 0 ? kPortData1 : kPortData2;
        for (const auto &entry : connections) {
            if (entry.second.port == port && (!target || entry.second.sequence > target->sequence))
                target = &entry.second;
        }
    }
    if (!target) {
        ++counters.dataDroppedNoSession;
        return;
    }
    if (!SendBytes(target->endpoint, packet, length)) {
        ++counters.repliesDropped;
        if (trace.enabled())
            trace.Data(target->where, false, length, "dropped: host not reading");
        return;
    }
    ++counters.dataOut;
    CaptureData(*target, false, packet, length);
    if (trace.enabled())
        trace.Data(target->where, false, length, "from network");
}

} // namespace kxmodem

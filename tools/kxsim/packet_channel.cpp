#include "packet_channel.h"

#include <kxhost/unix_socket.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kxsim {

namespace {
// The send limit of the driver channel: long enough for a reopen of the
// module's ports to finish inside one call.
constexpr uint32_t kSendTimeoutMs = 15000;
} // namespace

SocketChannel::~SocketChannel() {
    if (fd_ >= 0)
        close(fd_);
}

bool SocketChannel::Open(const std::string &deviceDir, int channel, std::string *error) {
    std::string path = kxhost::ModulePortPath(deviceDir, "KXN" + std::to_string(channel + 1));
    fd_ = kxhost::ConnectUnixSocket(path, SOCK_SEQPACKET);
    if (fd_ < 0) {
        *error = "cannot connect to " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool SocketChannel::Send(const void *packet, uint32_t size) {
    ssize_t n;
    do {
        n = send(fd_, packet, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(size);
}

long SocketChannel::Receive(void *buffer, uint32_t size, uint32_t timeoutMs) {
    // What is queued is taken at once; only an empty port costs a poll.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<long>(n);
        if (n == 0)
            return -1; // the module closed the port
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (attempt == 1)
            return 0;
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(timeoutMs));
        if (r == 0 || (r < 0 && errno == EINTR))
            return 0;
        if (r < 0)
            return -1;
    }
    return 0;
}

bool DriverChannel::Send(const void *packet, uint32_t size) {
    uint32_t length = size;
    return send_(channel_, packet, &length, kSendTimeoutMs) && length == size;
}

long DriverChannel::Receive(void *buffer, uint32_t size, uint32_t timeoutMs) {
    uint32_t length = size;
    if (!receive_(channel_, buffer, &length, timeoutMs))
        return -1;
    return static_cast<long>(length);
}

} // namespace kxsim

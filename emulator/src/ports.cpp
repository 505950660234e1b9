// The module's ports as Unix sockets in the device folder: KXC1 (QMI control,
// one frame per message), KXN1/KXN2 (one IP packet per message), KXA1 (AT
// text, any number of sessions), all SOCK_SEQPACKET, and the control socket
// kxmodem.ctl (SOCK_STREAM, one command per line): serving them, accepting
// and ending connections, reading and sending messages. What a message means
// is the control port's (control_port.cpp), the data ports'
// (data_ports.cpp) or the AT port's (at_port.cpp).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "modem_impl.h"

#include <kxhost/unix_socket.h>

namespace kxmodem {

namespace {
constexpr size_t kMaxMessage = 65536;
}

std::string Modem::Impl::SocketPath(int port) const {
    return kxhost::ModulePortPath(deviceDir, ports[port].name);
}

bool Modem::Impl::OpenPort(int port, std::string *error) {
    Port &p = ports[port];
    if (p.listenFd >= 0)
        return true;
    std::string path = SocketPath(port);
    sockaddr_un addr;
    if (!kxhost::UnixSocketAddress(path, &addr)) {
        *error = "socket path too long: " + path;
        return false;
    }
    int type = port == kPortCtlSocket ? SOCK_STREAM : SOCK_SEQPACKET;
    // A socket left by an earlier run is replaced; one that still answers
    // belongs to a module that is running.
    int probe = kxhost::ConnectUnixSocket(path, type);
    if (probe >= 0) {
        close(probe);
        *error = "a module is already serving " + path;
        return false;
    }
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return false;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        *error = "cannot serve " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    p.listenFd = fd;
    p.present = true;
    trace.Event(std::string("port ") + p.name + " present");
    return true;
}

void Modem::Impl::ClosePort(int port) {
    Port &p = ports[port];
    if (p.listenFd >= 0) {
        // Connections still in the backlog are taken first, so that every
        // host sees its connection end the same way (end of file).
        Accept(port);
        close(p.listenFd);
        unlink(SocketPath(port).c_str());
        p.listenFd = -1;
    }
    p.present = false;
    std::vector<int> endpoints;
    // The AT port's terminal is not the socket: it stays.
    for (const auto &c : connections) {
        if (c.second.port == port && !c.second.terminal)
            endpoints.push_back(c.first);
    }
    for (int e : endpoints)
        CloseConnection(e);
}

Connection *Modem::Impl::Find(int endpoint) {
    auto it = connections.find(endpoint);
    return it == connections.end() ? nullptr : &it->second;
}

void Modem::Impl::Accept(int port) {
    for (;;) {
        int fd = accept4(ports[port].listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        int endpoint = nextEndpoint++;
        Connection &c = connections[endpoint];
        c.endpoint = endpoint;
        c.fd = fd;
        c.port = port;
        c.sequence = nextSequence++;
        c.where = std::string(ports[port].name) + "#" + std::to_string(endpoint);
        trace.Event(c.where + " connected");
        if (port == kPortControl)
            engine.AdoptOrphans(endpoint);
    }
}

void Modem::Impl::CloseConnection(int endpoint) {
    auto it = connections.find(endpoint);
    if (it == connections.end())
        return;
    trace.Event(it->second.where + " closed");
    if (!it->second.terminal)
        close(it->second.fd);
    if (it->second.port == kPortControl)
        engine.EndpointClosed(endpoint);
    connections.erase(it);
}

void Modem::Impl::Readable(int endpoint) {
    Connection *c = Find(endpoint);
    if (!c)
        return;
    static thread_local std::vector<uint8_t> buffer(kMaxMessage);
    for (int round = 0; round < 64; ++round) {
        ssize_t n = c->terminal ? read(c->fd, buffer.data(), buffer.size())
                                : recv(c->fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n < 0 && c->terminal)
            return; // EIO while nobody has the terminal open
        if (n <= 0 && !c->terminal) {
            CloseConnection(endpoint);
            return;
        }
        if (n <= 0)
            return;
        size_t size = static_cast<size_t>(n);
        switch (c->port) {
        case kPtyPort:
            c->deframer.Feed(buffer.data(), size);
            for (Bytes frame; c->deframer.Next(&frame);)
                HandleQmiFrame(endpoint, frame.data(), frame.size());
            break;
        case kPortControl:
            HandleQmiBytes(*c, buffer.data(), size);
            break;
        case kPortData1:
        case kPortData2:
            HandleData(*c, buffer.data(), size);
            break;
        case kPortAt:
            HandleAt(*c, std::string(buffer.begin(), buffer.begin() + n));
            break;
        case kPortCtlSocket: {
            c->lineBuffer.append(reinterpret_cast<char *>(buffer.data()), size);
            size_t nl;
            while ((nl = c->lineBuffer.find('\n')) != std::string::npos) {
                std::string line = c->lineBuffer.substr(0, nl);
                c->lineBuffer.erase(0, nl + 1);
                std::string answer = Execute(line) + "\n";
                if (send(c->fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0)
                    break;
                c = Find(endpoint); // a command may have closed it (vanish)
                if (!c)
                    return;
            }
            if (c->lineBuffer.size() > 65536)
                c->lineBuffer.clear();
            break;
        }
        }
        c = Find(endpoint); // handlers may close connections
        if (!c)
            return;
    }
}

bool Modem::Impl::SendBytes(int endpoint, const uint8_t *data, size_t size) {
    Connection *c = Find(endpoint);
    if (!c)
        return false;
    if (c->terminal) {
        c->outBuffer.append(reinterpret_cast<const char *>(data), size);
        FlushPty(*c);
        return true;
    }
    ssize_t n = send(c->fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(size);
}

} // namespace kxmodem

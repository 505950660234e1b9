// The module's ports as Unix sockets in the device folder: KXC1 (QMI control,
// one frame per message), KXN1/KXN2 (one IP packet per message), KXA1 (AT
// text, any number of sessions), all SOCK_SEQPACKET, and the control socket
// kxmodem.ctl (SOCK_STREAM, one command per line).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "datanet.h"
#include "modem_impl.h"

namespace kxmodem {

namespace {
constexpr size_t kMaxMessage = 65536;
}

std::string Modem::Impl::SocketPath(int port) const {
    return deviceDir + "/" + ports[port].name;
}

bool Modem::Impl::OpenPort(int port, std::string *error) {
    Port &p = ports[port];
    if (p.listenFd >= 0)
        return true;
    std::string path = SocketPath(port);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        *error = "socket path too long: " + path;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int type = port == kPortCtlSocket ? SOCK_STREAM : SOCK_SEQPACKET;
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return false;
    }
    // A socket left by an earlier run is replaced; one that still answers
    // belongs to a module that is running.
    int probe = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        close(probe);
        close(fd);
        *error = "a module is already serving " + path;
        return false;
    }
    if (probe >= 0)
        close(probe);
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

// One message of the control port should hold one frame. A message holding
// several is split by their QMUX lengths; a short one is answered as
// malformed when its header can be read.
void Modem::Impl::HandleQmiBytes(Connection &c, const uint8_t *data, size_t size) {
    int endpoint = c.endpoint;
    while (size > 0) {
        size_t frameLength = size >= 3 ? static_cast<size_t>(GetU16(data + 1)) + 1 : size + 1;
        if (data[0] != qmi::kInterfaceQmux || frameLength >= size) {
            HandleQmiFrame(endpoint, data, size);
            return;
        }
        HandleQmiFrame(endpoint, data, frameLength);
        data += frameLength;
        size -= frameLength;
    }
}

void Modem::Impl::CaptureQmi(const Connection &c, bool received, const uint8_t *data, size_t size) {
    if (!capture.enabled())
        return;
    Capture::Interface interface = c.port == kPtyPort ? Capture::kControlPty : Capture::kControl;
    if (options.showSecrets) {
        capture.Packet(interface, received, data, size, c.where);
        return;
    }
    Bytes masked(data, data + size);
    Trace::MaskSecrets(masked.data(), masked.size());
    capture.Packet(interface, received, masked.data(), masked.size(), c.where);
}

void Modem::Impl::CaptureData(const Connection &c, bool received, const uint8_t *data,
                              size_t size) {
    if (capture.enabled())
        capture.Packet(c.port == kPortData1 ? Capture::kData1 : Capture::kData2, received, data,
                       size, c.where);
}

void Modem::Impl::HandleQmiFrame(int endpoint, const uint8_t *data, size_t size) {
    Connection *c = Find(endpoint);
    std::string where = c ? c->where : "?";
    trace.Qmi(where, true, data, size);
    if (c)
        CaptureQmi(*c, true, data, size);
    QmiMessage m;
    ParseStatus status = ParseFrame(data, size, &m);
    if (status == ParseStatus::kLengthMismatch && size >= kCtlHeaderEnd) {
        // Shorter than its QMUX length says (or longer, with junk): answer
        // from the header if it is one, as for inconsistent TLVs.
        size_t headerEnd = data[4] == qmi::kCtl ? kCtlHeaderEnd : kSvcHeaderEnd;
        if (size >= headerEnd) {
            m.qmuxFlags = data[3];
            m.service = data[4];
            m.clientId = data[5];
            m.flags = data[6];
            m.transactionId = data[4] == qmi::kCtl ? data[7] : GetU16(data + 7);
            m.messageId = GetU16(data + (data[4] == qmi::kCtl ? 8 : 9));
            status = ParseStatus::kBadTlvs;
        }
    }
    if (status == ParseStatus::kOk || status == ParseStatus::kBadTlvs) {
        if (m.flags != qmi::kRequest || (m.qmuxFlags & qmi::kQmuxFromService)) {
            ++counters.qmiIgnored;
            trace.Event(where + " not a request: ignored");
            return;
        }
    }
    if (status == ParseStatus::kBadTlvs) {
        ++counters.qmiMalformed;
        engine.ReplyMalformed(endpoint, m);
        return;
    }
    if (status != ParseStatus::kOk) {
        ++counters.qmiMalformed;
        trace.Event(where + " dropped frame: " + ParseStatusName(status));
        return;
    }
    ++counters.qmiRequests;
    FaultAction fault = faults.Match(m.service, m.messageId);
    if (fault.kind == FaultKind::kReject) {
        engine.ReplyError(endpoint, m, fault.error);
        return;
    }
    engine.HandleRequest(endpoint, m, fault);
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

void Modem::Impl::SendQmiNow(int endpoint, const Bytes &frame, const std::string &note) {
    Connection *c = Find(endpoint);
    if (!c || !SendBytes(endpoint, frame.data(), frame.size())) {
        ++counters.repliesDropped;
        trace.Event("reply lost: receiver gone or not reading");
        return;
    }
    trace.Qmi(c->where, false, frame.data(), frame.size(), note);
    CaptureQmi(*c, false, frame.data(), frame.size());
}

void Modem::Impl::SendReply(int endpoint, const QmiMessage &reply, const FaultAction &fault) {
    Bytes frame = BuildFrame(reply);
    std::string note;
    switch (fault.kind) {
    case FaultKind::kDrop:
        ++counters.repliesDropped;
        trace.Qmi("fault", false, frame.data(), frame.size(), "dropped");
        return;
    case FaultKind::kMalformed:
        note = "malformed";
        if (fault.malform == MalformKind::kTruncate && frame.size() > 8) {
            frame.resize(frame.size() - 2);
            frame[1] = static_cast<uint8_t>(frame.size() - 1);
            frame[2] = static_cast<uint8_t>((frame.size() - 1) >> 8);
        } else if (fault.malform == MalformKind::kFlags) {
            frame[6] = 0x00;
        } else {
            frame[0] = 0x02;
        }
        break;
    default:
        break;
    }
    Connection *c = Find(endpoint);
    if (!c) {
        ++counters.repliesDropped;
        return;
    }
    auto now = Clock::now();
    Clock::time_point when = now;
    if (fault.kind == FaultKind::kDelay) {
        when = std::max(now + std::chrono::milliseconds(fault.ms), c->notBefore);
        c->notBefore = when;
        note = "delayed " + std::to_string(fault.ms) + " ms";
    } else if (fault.kind == FaultKind::kLate) {
        when = now + std::chrono::milliseconds(fault.ms);
        note = "late by " + std::to_string(fault.ms) + " ms";
    } else if (c->notBefore > now) {
        when = c->notBefore; // keep order behind a delayed reply
    }
    int copies = fault.kind == FaultKind::kDuplicate ? 2 : 1;
    if (copies == 2)
        note = "duplicated";
    for (int i = 0; i < copies; ++i) {
        ++counters.qmiReplies;
        if (when <= now)
            SendQmiNow(endpoint, frame, note);
        else
            AfterAt(when, [this, endpoint, frame, note] { SendQmiNow(endpoint, frame, note); });
    }
}

void Modem::Impl::SendIndication(int endpoint, const QmiMessage &indication) {
    Bytes frame = BuildFrame(indication);
    Connection *c = Find(endpoint);
    if (!c || !SendBytes(endpoint, frame.data(), frame.size())) {
        ++counters.indicationsLost;
        trace.Qmi("nobody", false, frame.data(), frame.size(), "indication lost");
        return;
    }
    ++counters.qmiIndications;
    trace.Qmi(c->where, false, frame.data(), frame.size());
    CaptureQmi(*c, false, frame.data(), frame.size());
}

// A new session goes to the data port its host opened most recently and that
// carries no session yet; with none open (a host that moves no data, such as
// a command-line tool), to the lowest free channel.
int Modem::Impl::ChooseDataChannel(const bool taken[2]) {
    // A host opens the data port before it asks for the session; the
    // connection may still wait in the backlog while its request is read.
    Accept(kPortData1);
    Accept(kPortData2);
    int best = -1;
    uint64_t bestSequence = 0;
    for (const auto &entry : connections) {
        const Connection &c = entry.second;
        if (c.port != kPortData1 && c.port != kPortData2)
            continue;
        int channel = c.port == kPortData1 ? 0 : 1;
        if (!taken[channel] && c.sequence > bestSequence) {
            best = channel;
            bestSequence = c.sequence;
        }
    }
    if (best >= 0)
        return best;
    for (int ch = 0; ch < 2; ++ch) {
        if (!taken[ch])
            return ch;
    }
    return -1;
}

void Modem::Impl::HandleData(Connection &c, const uint8_t *data, size_t size) {
    ++counters.dataIn;
    CaptureData(c, true, data, size);
    int channel = c.port == kPortData1 ? 0 : 1;
    const Session *s = engine.SessionOnChannel(channel);
    if (!s || s->status != qmi::kStatusConnected) {
        ++counters.dataDroppedNoSession;
        trace.Data(c.where, true, size, "dropped: no session up");
        return;
    }
    if (network) {
        ForwardToNetwork(c, *s, data, size);
        return;
    }
    std::vector<uint8_t> reply;
    switch (AnswerPacket(data, size, s->address, &reply)) {
    case PacketVerdict::kInvalid:
        ++counters.dataDroppedInvalid;
        trace.Data(c.where, true, size, "dropped: invalid");
        return;
    case PacketVerdict::kUnanswered:
        ++counters.dataDroppedUnanswered;
        trace.Data(c.where, true, size, "unanswered");
        return;
    case PacketVerdict::kAnswered:
        break;
    }
    trace.Data(c.where, true, size, data[9] == 1 ? "ICMP" : "UDP");
    if (SendBytes(c.endpoint, reply.data(), reply.size())) {
        ++counters.dataOut;
        CaptureData(c, false, reply.data(), reply.size());
        trace.Data(c.where, false, reply.size(), "echo");
    }
}

void Modem::Impl::HandleAt(Connection &c, const std::string &text) {
    trace.At(c.where, true, text);
    size_t before = std::count(text.begin(), text.end(), '\r');
    counters.atCommands += before;
    int endpoint = c.endpoint;
    std::string out = c.at.Feed(text, *this);
    // The command may have changed the radio, which sent unsolicited codes.
    if (!out.empty() && Find(endpoint)) {
        SendBytes(endpoint, reinterpret_cast<const uint8_t *>(out.data()), out.size());
        trace.At(c.where, false, out);
    }
}

void Modem::Impl::RegistrationChanged() {
    for (auto &entry : connections) {
        Connection &c = entry.second;
        if (c.port != kPortAt)
            continue;
        std::string code = c.at.RegistrationCode(engine.config());
        if (code.empty())
            continue;
        SendBytes(c.endpoint, reinterpret_cast<const uint8_t *>(code.data()), code.size());
        trace.At(c.where, false, code);
    }
}

static int PortByName(const std::string &name) {
    static const char *names[] = {"KXC1", "KXN1", "KXN2", "KXA1"};
    for (int i = 0; i < 4; ++i) {
        if (strcasecmp(name.c_str(), names[i]) == 0)
            return i;
    }
    return -1;
}

std::string Modem::Impl::Vanish(const std::string &name, long ms) {
    std::vector<int> which;
    if (name == "all")
        which = {kPortControl, kPortData1, kPortData2, kPortAt};
    else if (PortByName(name) >= 0)
        which = {PortByName(name)};
    else
        return "error: unknown port '" + name + "'";
    for (int p : which) {
        ClosePort(p);
        trace.Event(std::string("port ") + ports[p].name + " vanished");
    }
    if (ms > 0)
        After(static_cast<uint32_t>(ms), [this, name] { Restore(name); });
    return "ok";
}

// A module that restarts drops off the bus: every port vanishes and every
// connection ends, and it comes back knowing no client and no session. A
// vanish alone replaces the ports while the module keeps running, so a
// host's client ids and calls survive it; after a reset they are unknown.
std::string Modem::Impl::Reset(long ms) {
    std::string answer = Vanish("all", ms);
    engine.Reset();
    trace.Event("module restarted: client ids and sessions forgotten");
    return answer;
}

std::string Modem::Impl::Restore(const std::string &name) {
    std::vector<int> which;
    if (name == "all")
        which = {kPortControl, kPortData1, kPortData2, kPortAt};
    else if (PortByName(name) >= 0)
        which = {PortByName(name)};
    else
        return "error: unknown port '" + name + "'";
    std::string error;
    for (int p : which) {
        if (!OpenPort(p, &error))
            return "error: " + error;
    }
    return "ok";
}

} // namespace kxmodem

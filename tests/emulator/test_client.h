// Helpers for tests that talk to an embedded kxmodem through its sockets, as
// the platform's stream devices do.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kxmodem/modem.h"
#include "qmux.h"

namespace kxtest {

using kxmodem::Bytes;
using kxmodem::QmiMessage;

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kxmodem-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0)
            perror("rm");
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

class Socket {
  public:
    Socket() = default;
    Socket(const Socket &) = delete;
    ~Socket() { Close(); }
    bool Connect(const std::string &path, int type = SOCK_SEQPACKET) {
        Close();
        fd_ = socket(AF_UNIX, type, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            Close();
            return false;
        }
        return true;
    }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool Send(const Bytes &b) {
        return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == (ssize_t)b.size();
    }
    bool Send(const std::string &s) { return Send(Bytes(s.begin(), s.end())); }
    // One message, or false after timeoutMs (or when the module closed the socket).
    bool Recv(Bytes *out, int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        out->resize(65536);
        ssize_t n = recv(fd_, out->data(), out->size(), 0);
        if (n <= 0)
            return false;
        out->resize(static_cast<size_t>(n));
        return true;
    }
    // Text gathered until `until` appears (or time runs out).
    std::string RecvText(const std::string &until, int timeoutMs = 2000) {
        std::string text;
        Bytes b;
        while (text.find(until) == std::string::npos && Recv(&b, timeoutMs))
            text.append(b.begin(), b.end());
        return text;
    }
    // True when the module closed its end.
    bool ClosedByPeer(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        char c;
        return recv(fd_, &c, 1, MSG_DONTWAIT) == 0;
    }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// A QMI control point on KXC1 that keeps indications aside.
class QmiClient {
  public:
    bool Connect(const std::string &dir) { return socket_.Connect(dir + "/KXC1"); }
    Socket &socket() { return socket_; }

    static QmiMessage Make(uint8_t service, uint8_t cid, uint16_t msg, uint16_t tid) {
        QmiMessage m;
        m.service = service;
        m.clientId = service == 0 ? 0 : cid;
        m.transactionId = tid;
        m.messageId = msg;
        return m;
    }
    QmiMessage Request(uint8_t service, uint8_t cid, uint16_t msg) {
        return Make(service, cid, msg, static_cast<uint16_t>(service == 0 ? ++ctlTid_ : ++tid_));
    }
    bool Send(const QmiMessage &m) { return socket_.Send(kxmodem::BuildFrame(m)); }
    // Next reply (flags 0x01/0x02); indications met on the way are kept.
    bool NextReply(QmiMessage *reply, Bytes *raw = nullptr, int timeoutMs = 2000) {
        Bytes b;
        while (socket_.Recv(&b, timeoutMs)) {
            QmiMessage m;
            if (kxmodem::ParseFrame(b.data(), b.size(), &m) != kxmodem::ParseStatus::kOk)
                return false;
            if (m.flags == 0x04) {
                indications.push_back(m);
                continue;
            }
            *reply = m;
            if (raw)
                *raw = b;
            return true;
        }
        return false;
    }
    QmiMessage Call(const QmiMessage &request, Bytes *raw = nullptr) {
        QmiMessage reply;
        reply.messageId = 0xFFFF;
        if (Send(request))
            NextReply(&reply, raw);
        return reply;
    }
    bool NextIndication(QmiMessage *ind, int timeoutMs = 2000) {
        if (indications.empty()) {
            QmiMessage m;
            Bytes b;
            while (indications.empty() && socket_.Recv(&b, timeoutMs)) {
                if (kxmodem::ParseFrame(b.data(), b.size(), &m) == kxmodem::ParseStatus::kOk &&
                    m.flags == 0x04)
                    indications.push_back(m);
            }
            if (indications.empty())
                return false;
        }
        *ind = indications.front();
        indications.erase(indications.begin());
        return true;
    }
    uint8_t GetClientId(uint8_t service) {
        QmiMessage r = Request(0, 0, 0x0022);
        r.AddU8(0x01, service);
        QmiMessage reply = Call(r);
        const kxmodem::Tlv *t = reply.Find(0x01);
        return Error(reply) == 0 && t && t->value.size() == 2 ? t->value[1] : 0;
    }
    // QMI error code of a reply; 0xFFFF when it had no result TLV.
    static uint16_t Error(const QmiMessage &reply) {
        const kxmodem::Tlv *t = reply.Find(0x02);
        if (!t || t->value.size() != 4)
            return 0xFFFF;
        return kxmodem::GetU16(t->value.data() + 2);
    }

    std::vector<QmiMessage> indications;

  private:
    Socket socket_;
    uint8_t ctlTid_ = 0;
    uint16_t tid_ = 0;
};

} // namespace kxtest

#include "qmi_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kxqmi/qmi_ids.h"

namespace kxsim {

namespace {

using namespace kxqmi;
constexpr int kReplyTimeoutMs = 5000;

void Put16(std::string *s, uint16_t v) {
    s->push_back(static_cast<char>(v & 0xFF));
    s->push_back(static_cast<char>(v >> 8));
}

std::string Tlv(uint8_t type, const std::string &value) {
    std::string t(1, static_cast<char>(type));
    Put16(&t, static_cast<uint16_t>(value.size()));
    return t + value;
}

uint16_t Get16(const std::string &s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1])
                                                                   << 8);
}

// The value of TLV `type` in a message's TLV area, or false.
bool FindTlv(const std::string &tlvs, uint8_t type, std::string *value) {
    size_t at = 0;
    while (at + 3 <= tlvs.size()) {
        size_t length = Get16(tlvs, at + 1);
        if (at + 3 + length > tlvs.size())
            return false;
        if (static_cast<uint8_t>(tlvs[at]) == type) {
            *value = tlvs.substr(at + 3, length);
            return true;
        }
        at += 3 + length;
    }
    return false;
}

} // namespace

bool QmiSession::Start(const std::string &deviceDir, const QmiLogon &logon, std::string *error) {
    Stop();
    std::string path = deviceDir + "/KXC1";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *error = "cannot connect to " + path + ": " + strerror(errno);
        Stop();
        return false;
    }
    std::string reply, value;
    if (!Request(kCtl, kCtlGetClientId, Tlv(kTlvFirst, std::string(1, kWds)), &reply, error))
        return false;
    if (!FindTlv(reply, kTlvFirst, &value) || value.size() != 2) {
        *error = "client id reply without an id";
        return false;
    }
    clientId_ = static_cast<uint8_t>(value[1]);
    std::string tlvs;
    if (!logon.apn.empty())
        tlvs += Tlv(kSnApn, logon.apn);
    if (!logon.user.empty())
        tlvs += Tlv(kSnUserName, logon.user);
    if (!logon.password.empty())
        tlvs += Tlv(kSnPassword, logon.password);
    if (!Request(kWds, kWdsStartNetwork, tlvs, &reply, error))
        return false;
    if (!FindTlv(reply, kTlvFirst, &value) || value.size() != 4) {
        *error = "start reply without a packet data handle";
        return false;
    }
    handle_ = 0;
    for (int i = 3; i >= 0; --i)
        handle_ = handle_ << 8 | static_cast<uint8_t>(value[static_cast<size_t>(i)]);
    return true;
}

void QmiSession::Stop() {
    std::string reply, ignored;
    if (fd_ >= 0 && handle_) {
        std::string h;
        for (int i = 0; i < 4; ++i)
            h.push_back(static_cast<char>(handle_ >> (8 * i)));
        Request(kWds, kWdsStopNetwork, Tlv(kTlvFirst, h), &reply, &ignored);
    }
    handle_ = 0;
    if (fd_ >= 0 && clientId_) {
        std::string id{static_cast<char>(kWds), static_cast<char>(clientId_)};
        Request(kCtl, kCtlReleaseClientId, Tlv(kTlvFirst, id), &reply, &ignored);
    }
    clientId_ = 0;
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

// Sends one request and waits for its reply (indications in between are
// skipped); *reply gets the reply's TLV area. False for a failure result.
bool QmiSession::Request(uint8_t service, uint16_t message, const std::string &tlvs,
                         std::string *reply, std::string *error) {
    uint16_t transaction = transaction_++;
    if (service == kCtl)
        transaction &= 0xFF;
    std::string sdu(1, static_cast<char>(kRequest));
    if (service == kCtl) {
        sdu.push_back(static_cast<char>(transaction));
    } else {
        Put16(&sdu, transaction);
    }
    Put16(&sdu, message);
    Put16(&sdu, static_cast<uint16_t>(tlvs.size()));
    sdu += tlvs;
    std::string frame(1, static_cast<char>(kInterfaceQmux));
    Put16(&frame, static_cast<uint16_t>(sdu.size() + 5));
    frame.push_back(0x00); // QMUX control flags: from the host
    frame.push_back(static_cast<char>(service));
    frame.push_back(static_cast<char>(service == kCtl ? 0 : clientId_));
    frame += sdu;
    if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        *error = std::string("control port: ") + strerror(errno);
        return false;
    }
    size_t header = service == kCtl ? 12 : 13; // QMUX 6 + SDU header
    char buffer[4096];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, kReplyTimeoutMs) <= 0) {
            *error = "no reply from the module";
            return false;
        }
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            *error = "control port closed";
            return false;
        }
        std::string in(buffer, static_cast<size_t>(n));
        if (in.size() < header || static_cast<uint8_t>(in[4]) != service)
            continue;
        uint16_t id = service == kCtl ? static_cast<uint8_t>(in[7]) : Get16(in, 7);
        uint16_t msg = Get16(in, service == kCtl ? 8 : 9);
        if (id != transaction || msg != message)
            continue; // an indication or a stale reply
        *reply = in.substr(header);
        std::string result;
        if (!FindTlv(*reply, kTlvResult, &result) || result.size() != 4) {
            *error = "reply without a result";
            return false;
        }
        if (Get16(result, 0) != 0) {
            *error =
                "the module refused the request (error " + std::to_string(Get16(result, 2)) + ")";
            return false;
        }
        return true;
    }
}

} // namespace kxsim

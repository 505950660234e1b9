// The floors of the control-path benchmark; see raw_clients.h.
#include "raw_clients.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "kxqmi/qmi_ids.h"
#include <kxhost/unix_socket.h>

namespace kxbench {
namespace {

using namespace kxqmi;

// CTL Get Client Id for WDS, transaction 1.
const uint8_t kGetWdsClient[16] = {
    kInterfaceQmux,  0x0F, 0x00, 0x00, kCtl,      0x00, kRequest, 0x01,
    kCtlGetClientId, 0x00, 0x04, 0x00, kTlvFirst, 0x01, 0x00,     kWds};
const size_t kClientReplyLength = 24; // the client id is its last byte
const size_t kStatusReplyLength = 24;

bool WriteAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int ConnectPort(const std::string &dir, const char *port) {
    return kxhost::ConnectUnixSocket(kxhost::ModulePortPath(dir, port), SOCK_SEQPACKET);
}

void BuildStatusRequest(uint8_t *frame, uint8_t client, uint16_t transactionId) {
    const uint8_t f[13] = {kInterfaceQmux,
                           0x0C,
                           0x00,
                           0x00,
                           kWds,
                           client,
                           kRequest,
                           static_cast<uint8_t>(transactionId),
                           static_cast<uint8_t>(transactionId >> 8),
                           kWdsGetPacketServiceStatus,
                           0x00,
                           0x00,
                           0x00};
    memcpy(frame, f, sizeof f);
}

RawSocketControl::~RawSocketControl() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawSocketControl::Open(const std::string &dir, std::string *error) {
    fd_ = ConnectPort(dir, "KXC1");
    uint8_t reply[128];
    if (fd_ < 0 || send(fd_, kGetWdsClient, sizeof kGetWdsClient, 0) != sizeof kGetWdsClient ||
        recv(fd_, reply, sizeof reply, 0) != static_cast<ssize_t>(kClientReplyLength)) {
        *error = "no WDS client id from the module's control socket";
        return false;
    }
    client_ = reply[kClientReplyLength - 1];
    return true;
}

bool RawSocketControl::Requests(long count) {
    uint8_t frame[13], reply[128];
    for (long i = 0; i < count; ++i) {
        BuildStatusRequest(frame, client_, static_cast<uint16_t>(++tid_ & 63));
        if (send(fd_, frame, sizeof frame, 0) != sizeof frame ||
            recv(fd_, reply, sizeof reply, 0) != static_cast<ssize_t>(kStatusReplyLength))
            return false;
    }
    return true;
}

bool RawSocketControl::StartSession() {
    // WDS Start Network Interface, transaction 0x3f, with user name and password.
    const uint8_t start[] = {kInterfaceQmux,
                             0x1e,
                             0x00,
                             0x00,
                             kWds,
                             client_,
                             kRequest,
                             0x3f,
                             0x00,
                             kWdsStartNetwork,
                             0x00,
                             0x12,
                             0x00,
                             kSnUserName,
                             0x06,
                             0x00,
                             'k',
                             'x',
                             'u',
                             's',
                             'e',
                             'r',
                             kSnPassword,
                             0x06,
                             0x00,
                             'k',
                             'x',
                             'p',
                             'a',
                             's',
                             's'};
    uint8_t reply[128];
    if (send(fd_, start, sizeof start, 0) != sizeof start ||
        recv(fd_, reply, sizeof reply, 0) != 27)
        return false;
    return recv(fd_, reply, sizeof reply, 0) > 0; // its status indication
}

RawPtyControl::~RawPtyControl() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawPtyControl::ReadFrame(uint8_t *frame, size_t size, size_t *length) {
    size_t have = 0, want = 3;
    while (have < want) {
        ssize_t n = read(fd_, frame + have, want - have);
        if (n <= 0)
            return false;
        have += static_cast<size_t>(n);
        if (have == 3) {
            if (frame[0] != 0x01)
                return false;
            want = (frame[1] | (frame[2] << 8)) + 1u;
            if (want > size || want < 3)
                return false;
        }
    }
    *length = have;
    return true;
}

bool RawPtyControl::Open(const std::string &path, std::string *error) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    uint8_t reply[512];
    size_t length = 0;
    if (fd_ < 0 || !WriteAll(fd_, kGetWdsClient, sizeof kGetWdsClient) ||
        !ReadFrame(reply, sizeof reply, &length) || length != kClientReplyLength) {
        *error = "no WDS client id from the module's pseudo-terminal";
        return false;
    }
    client_ = reply[kClientReplyLength - 1];
    return true;
}

bool RawPtyControl::Requests(long count) {
    uint8_t frame[13], reply[512];
    for (long i = 0; i < count; ++i) {
        BuildStatusRequest(frame, client_, static_cast<uint16_t>(++tid_ & 63));
        size_t length = 0;
        if (!WriteAll(fd_, frame, sizeof frame) || !ReadFrame(reply, sizeof reply, &length) ||
            length != kStatusReplyLength)
            return false;
    }
    return true;
}

RawData::~RawData() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawData::Open(const std::string &dir, std::string *error) {
    fd_ = ConnectPort(dir, "KXN1");
    if (fd_ < 0)
        *error = "cannot connect to the module's data socket";
    return fd_ >= 0;
}

bool RawData::Echo(const uint8_t *packet, size_t size, uint8_t *reply, size_t replySize) {
    return write(fd_, packet, size) == static_cast<ssize_t>(size) &&
           read(fd_, reply, replySize) == static_cast<ssize_t>(size);
}

} // namespace kxbench

// The floors: the driver's request and packet bytes moved by hand, with no
// driver, over the module's control socket, its data socket and its
// pseudo-terminal.
#pragma once

#include <cstdint>
#include <string>

namespace kxbench {

// One SOCK_SEQPACKET connection to a port of the module (dir/KXC1, ...).
int ConnectPort(const std::string &dir, const char *port);

// The 13-byte WDS Get Packet Service Status request the driver sends.
void BuildStatusRequest(uint8_t *frame, uint8_t client, uint16_t transactionId);

// The control port over a socket: a WDS client of its own, then request and
// reply ping-pong.
class RawSocketControl {
  public:
    ~RawSocketControl();
    bool Open(const std::string &dir, std::string *error);
    // count synchronous requests; false when a reply is missing or wrong.
    bool Requests(long count);
    // Starts the packet session of channel 0 (when no driver did).
    bool StartSession();

  private:
    int fd_ = -1;
    uint8_t client_ = 0;
    uint16_t tid_ = 0;
};

// The control port on the module's pseudo-terminal: a byte stream, frames
// cut by their QMUX length.
class RawPtyControl {
  public:
    ~RawPtyControl();
    bool Open(const std::string &path, std::string *error);
    bool Requests(long count);

  private:
    bool ReadFrame(uint8_t *frame, size_t size, size_t *length);
    int fd_ = -1;
    uint8_t client_ = 0;
    uint16_t tid_ = 0;
};

// The data port over a socket: a packet written, its echo read.
class RawData {
  public:
    ~RawData();
    bool Open(const std::string &dir, std::string *error);
    bool Echo(const uint8_t *packet, size_t size, uint8_t *reply, size_t replySize);

  private:
    int fd_ = -1;
};

} // namespace kxbench

// A data channel as the TUN bridge sees it: one IP packet per send and per
// receive. Two kinds: the driver's exports (KxCmdSend/KxCmdReceive loaded
// from KxCmdApi.so), and the module's data port socket used directly (the
// plain relay that measures what the driver adds).
#pragma once

#include <cstdint>
#include <string>

namespace kxsim {

class PacketChannel {
  public:
    virtual ~PacketChannel() = default;
    // Sends one packet; false when the channel did not take it.
    virtual bool Send(const void *packet, uint32_t size) = 0;
    // Waits up to timeoutMs for one packet: its size, 0 when none came in
    // time, -1 when the channel failed.
    virtual long Receive(void *buffer, uint32_t size, uint32_t timeoutMs) = 0;
};

// The module's data port socket (<deviceDir>/KXN1 or KXN2) without the driver.
class SocketChannel : public PacketChannel {
  public:
    SocketChannel() = default;
    ~SocketChannel() override;
    SocketChannel(const SocketChannel &) = delete;
    SocketChannel &operator=(const SocketChannel &) = delete;
    bool Open(const std::string &deviceDir, int channel, std::string *error);
    bool Send(const void *packet, uint32_t size) override;
    long Receive(void *buffer, uint32_t size, uint32_t timeoutMs) override;

  private:
    int fd_ = -1;
};

// KxCmdSend / KxCmdReceive of a loaded KxCmdApi on one channel.
class DriverChannel : public PacketChannel {
  public:
    // KxCmdSend and KxCmdReceive (BOOL and DWORD are int and uint32_t).
    using SendFn = int (*)(uint32_t, const void *, uint32_t *, uint32_t);
    using ReceiveFn = int (*)(uint32_t, void *, uint32_t *, uint32_t);
    DriverChannel(SendFn send, ReceiveFn receive, uint32_t channel)
        : send_(send), receive_(receive), channel_(channel) {}
    bool Send(const void *packet, uint32_t size) override;
    long Receive(void *buffer, uint32_t size, uint32_t timeoutMs) override;

  private:
    SendFn send_;
    ReceiveFn receive_;
    uint32_t channel_;
};

} // namespace kxsim

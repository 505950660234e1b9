// The module side of the control port for tests: answers every request the
// driver writes with a correct reply, unless told to hold, reject or drop it,
// and builds replies and indications byte by byte.
#pragma once

#include "KxCmdApi.h"

#include <kx_test_device.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace kxtest {

// Decoded header of a request the driver wrote.
struct Request {
    uint8_t service = 0;
    uint8_t clientId = 0;
    uint16_t transactionId = 0;
    uint16_t message = 0;
    Bytes frame;
};
Request Decode(const Bytes &frame);

// A reply as the module sends it (QMUX control flags 0x80). payload, when
// given, becomes TLV 0x01 behind the result TLV.
Bytes ReplyFrame(uint8_t service, uint8_t clientId, uint16_t transactionId, uint16_t message,
                 uint16_t resultCode = 0, uint16_t errorCode = 0, const Bytes *payload = nullptr);
// The WDS packet-service status indication.
Bytes StatusIndication(uint8_t connectionStatus, uint8_t reconfigure, uint16_t transactionId = 0);

class FakeModule {
  public:
    // Registers "KXC1:" unless told not to (then it only builds answers).
    explicit FakeModule(bool registerControl = true);
    ~FakeModule();

    std::shared_ptr<TestDevice> control;

    // What the module answers.
    uint8_t wdsClientId = 0x05;
    uint8_t nasClientId = 0x07;
    uint32_t packetDataHandle = 0x12345678;
    uint8_t connectionStatus = 2;
    uint32_t rates[4] = {9600, 14400, 384000, 3600000};
    uint8_t signalStrength = 0xBA, radioInterface = 0x05;

    // Requests of these messages (service << 16 | message) are answered
    // with result code 1.
    void Reject(uint8_t service, uint16_t message);
    // While set and returning true for a request, it is kept unanswered.
    void Hold(std::function<bool(const Request &)> hold);
    // Answers (correctly) the requests held so far, oldest first, at most
    // `count` of them.
    void ReleaseHeld(size_t count = SIZE_MAX);
    size_t HeldCount();
    // Replaces the default answer to a request: return true when handled.
    void Intercept(std::function<bool(const Request &, FakeModule &)> intercept);

    // The correct reply to a request.
    Bytes Answer(const Request &request) const;
    void Push(const Bytes &frame) { control->Push(frame); }

    std::vector<Request> Requests() const;
    // Requests written so far of one service and message.
    size_t CountOf(uint8_t service, uint16_t message) const;
    bool WaitForRequests(size_t count, unsigned realMilliseconds = 5000) const;

  private:
    void OnWrite(const Bytes &written);
    mutable std::mutex mutex_;
    std::set<uint32_t> rejected_;
    std::function<bool(const Request &)> hold_;
    std::function<bool(const Request &, FakeModule &)> intercept_;
    std::vector<Request> held_;
};

} // namespace kxtest

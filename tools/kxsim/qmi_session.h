// A packet session started with the module's own control port and no driver:
// the plain relay of "kxsim tunnel --without-driver" uses it, so that the
// benchmark compares the driver with a path that does not contain it at all.
// It sends three requests (a WDS client id, Start Network Interface, and at
// the end Stop Network Interface and the release of the client id).
#pragma once

#include <cstdint>
#include <string>

namespace kxsim {

struct QmiLogon {
    std::string apn, user, password;
};

class QmiSession {
  public:
    QmiSession() = default;
    ~QmiSession() { Stop(); }
    QmiSession(const QmiSession &) = delete;
    QmiSession &operator=(const QmiSession &) = delete;

    // Connects to <deviceDir>/KXC1 and starts a network interface. The module
    // puts it on the data port opened last, so open that first.
    bool Start(const std::string &deviceDir, const QmiLogon &logon, std::string *error);
    // Stops the interface and releases the client id. Idempotent.
    void Stop();

  private:
    bool Request(uint8_t service, uint16_t message, const std::string &tlvs, std::string *reply,
                 std::string *error);

    int fd_ = -1;
    uint8_t clientId_ = 0;
    uint32_t handle_ = 0;
    uint16_t transaction_ = 1;
};

} // namespace kxsim

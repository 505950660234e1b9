// What the module answered to the driver's logon. KxCmdLogon tells its
// caller only 1 or 0; the reason of a refusal travels in the module's reply
// to the driver's Start Network Interface request. This host sees that
// exchange as it crosses the control port, through the platform's
// stream-device tap (it reads the frames, it does not change them).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kxsim {

class LogonReplyWatch {
  public:
    LogonReplyWatch(); // installs the tap
    // Removes the tap. The tap runs on the threads that use the control
    // port, so destroy this only once the driver is closed.
    ~LogonReplyWatch();
    LogonReplyWatch(const LogonReplyWatch &) = delete;
    LogonReplyWatch &operator=(const LogonReplyWatch &) = delete;

    // Forgets what was seen; call before each logon.
    void Reset();
    // The driver wrote a Start Network Interface request since Reset.
    bool Requested() const;
    // The module's reply to that request came.
    bool Answered() const;
    // The reply accepted the start.
    bool Accepted() const;
    // The reply's reason, e.g. "QMI error 0x000E (CALL_FAILED), call end reason 1
    // (unspecified), verbose reason 3GPP 27 (unknown APN)".
    std::string Reason() const;

  private:
    // One reply to a start request, as the module sent it.
    struct StartReply {
        uint16_t transaction = 0;
        uint16_t error = 0; // 0 when the start was accepted
        bool hasEndReason = false, hasVerbose = false;
        uint16_t endReason = 0, verboseType = 0, verboseReason = 0;
    };
    void OnMessage(bool written, const uint8_t *frame, size_t size);
    // The reply to the request, or null. Called with lock_ held.
    const StartReply *ReplyLocked() const;

    mutable std::mutex lock_; // guards the fields below (leaf)
    bool requested_ = false;
    uint16_t transaction_ = 0; // of the last start request written
    // Every start reply since Reset: the reader thread may see a reply
    // before the writing thread's tap has seen its request.
    std::vector<StartReply> replies_;
};

} // namespace kxsim

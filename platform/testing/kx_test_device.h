// In-process stream devices for tests.
//
// A test registers a device under a name such as u"KXC1:"; while it is
// registered, CreateFileW of that name opens it instead of the module's
// socket. The test plays the module side: it scripts the messages that
// ReadFile returns, sees every message written, answers writes from a
// responder, and can make any call fail, a write take fewer bytes, or the
// device vanish and return. The driver side goes through the same handle
// code as a socket device (time-outs, purge, close), so what a test proves
// holds for the real transport too.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kxtest {

using Bytes = std::vector<uint8_t>;

// Calls of the driver side that a test can make fail.
enum class DeviceCall { Open, Read, Write, SetTimeouts, GetTimeouts, Purge };

class TestDevice {
  public:
    // Registers the device; it is unregistered when the last reference
    // goes. Names compare case-insensitively, like the target's.
    static std::shared_ptr<TestDevice> Register(const std::u16string &name);
    ~TestDevice();

    // ---- the module side -------------------------------------------------
    // Queue one message for the driver's next read (one read, one message).
    void Push(const Bytes &message);
    void Push(const void *data, size_t size);
    // Called on the device's own thread for every message the driver
    // writes, after it was recorded; may Push replies.
    void SetResponder(std::function<void(const Bytes &written)> responder);
    // Every message written so far, in order.
    std::vector<Bytes> Writes() const;
    size_t WriteCount() const;
    void ClearWrites();
    // Wait until at least count messages were written; false on time-out
    // (real milliseconds, not scaled).
    bool WaitForWrites(size_t count, unsigned realMilliseconds = 5000) const;

    // ---- faults ---------------------------------------------------------------
    // The next `times` calls of that kind fail (Win32 failure, nothing done).
    void FailNext(DeviceCall call, int times = 1);
    // Every write from now on takes at most `bytes` bytes (and reports it);
    // a negative value lifts the limit.
    void LimitWrites(long bytes);
    // The device goes away: open handles' reads and writes fail, opens fail,
    // until Return().
    void Vanish();
    void Return();

    // ---- what the driver did -------------------------------------------------
    int OpenCount() const;                           // successful opens
    int CloseCount() const;                          // handles closed
    bool IsOpen() const;                             // a handle is open now
    std::vector<COMMTIMEOUTS> TimeoutWrites() const; // every SetCommTimeouts record
    std::vector<DWORD> Purges() const;               // every PurgeComm mask

    struct State; // shared with the platform's device code

  private:
    explicit TestDevice(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace kxtest

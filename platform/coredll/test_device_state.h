// Internal: the shared state of an in-process test device (module side and
// driver side meet here).
#pragma once

#include "kx_internal.h"
#include "kx_test_device.h"

#include <deque>
#include <thread>

namespace kxtest {

struct TestDevice::State {
    struct Connection {
        int moduleFd = -1; // module end of the socket pair; guarded by State::mutex
        std::thread pump;  // reads what the driver writes
    };

    std::u16string name; // upper case

    mutable std::mutex mutex; // guards every field below
    mutable std::condition_variable changed;
    std::vector<Bytes> writes;
    // Pushed and not yet sent: while no connection is open, or while the
    // driver side has not made room for it.
    std::deque<Bytes> pending;
    std::function<void(const Bytes &)> responder;
    int failNext[6] = {0, 0, 0, 0, 0, 0};
    long writeLimit = -1;
    bool present = true;
    bool open = false;
    int opens = 0;
    int closes = 0;
    std::vector<COMMTIMEOUTS> timeoutWrites;
    std::vector<DWORD> purges;
    std::shared_ptr<Connection> current;
    std::vector<std::shared_ptr<Connection>> connections; // every pump to join

    // Under mutex: true when a failure of that call was scripted (and uses it).
    bool ConsumeFailureLocked(DeviceCall call);
    bool ConsumeFailure(DeviceCall call) {
        std::lock_guard<std::mutex> guard(mutex);
        return ConsumeFailureLocked(call);
    }
    // Under the deterministic scheduler: what a side that waits to read
    // blocks on. The driver side is woken when the module side sends or
    // goes, the module side when the driver writes or closes.
    const void *DriverSideKey() const { return &pending; }
    const void *ModuleSideKey() const { return &writes; }

    // Under mutex: sends what is pending on the open connection, oldest
    // first, without waiting; true when nothing is left for it (everything
    // sent, or no connection to send on).
    bool SendPendingNowLocked();
    // Under mutex (lock): sends everything pending, waiting for room with
    // the lock released.
    void SendPendingLocked(std::unique_lock<std::mutex> &lock);

    // Opens a new connection; returns the driver end, or -1 (last error set).
    int Connect();
    void NoteClosed();
    void Shutdown();
};

// The registered device of that name, or null.
std::shared_ptr<TestDevice::State> FindTestDevice(const std::u16string &upperName);

} // namespace kxtest

// coredll's kernel objects as its source files share them: the handle
// table, waitable objects and the wait lock, scaled time, the thread count.
// Host machinery behind the Win32 calls; not for deliverables.
#pragma once

#include <windows.h>

#include "kx_time_scale.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kx {

// ---- handles ------------------------------------------------------------------
// Every kernel handle names a ref-counted object in one process-wide table.
// A call looks the object up and keeps a reference for its duration, so a
// CloseHandle in another thread never frees an object that is in use; the
// object only learns of the close through OnClose().
class Object {
  public:
    virtual ~Object() = default;
    // Called once, when the handle is closed (before the table drops it).
    virtual void OnClose() {}
};

HANDLE AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
int HandleCount();

// ---- waitable objects -----------------------------------------------------------
// All waitable state is guarded by one process-wide mutex (WaitMutex()); each
// waiting thread sleeps on its own condition variable, registered with the
// objects it waits for, so a signal wakes only the threads that care.
struct WaitBlock {
    std::condition_variable cv;
};

class Waitable : public Object {
  public:
    // Under WaitMutex(): is the object signalled? If so and the object is
    // auto-reset, consume=true takes the signal.
    virtual bool TryAcquireLocked(bool consume) = 0;
    // What the object is, in a deadlock report ("event", "thread").
    virtual const char *KindName() const { return "object"; }
    // Under WaitMutex(): wake every registered waiter.
    void WakeLocked();
    std::vector<WaitBlock *> waiters;
};

std::mutex &WaitMutex();

// ---- threads ------------------------------------------------------------------------
int RunningThreads();
// Threads of a stuck schedule, parked for good, stop counting as running.
void ForgetParkedThreads(int count);

} // namespace kx

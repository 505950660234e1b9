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
//
// Each object states its kind, so that a look-up checks a handle's type with
// a comparison (every class T that Lookup<T> names says which kinds it
// covers, in T::HoldsKind) instead of a run-time type search.
enum class ObjectKind { Event, Thread, File, RegistryKey };

class Object {
  public:
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    // Called once, when the handle is closed (before the table drops it).
    virtual void OnClose() {}
    const ObjectKind kind;
};

HANDLE AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    std::shared_ptr<Object> object = LookupHandle(handle);
    if (!object || !T::HoldsKind(object->kind))
        return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}
int HandleCount();

// ---- waitable objects -----------------------------------------------------------
// All waitable state is guarded by one process-wide mutex (WaitMutex()). A
// waiting thread sleeps on a futex word of its own (its WaitBlock),
// registered with the objects it waits for, so a signal wakes only the
// threads that care. A signal marks each registered waiter woken under
// WaitMutex() and collects it in a WakeList; the sleepers are woken (the
// system call) as soon as WaitMutex() is released, so that a woken thread
// does not find the lock still held by its waker.
//
// The wake is never put off further, not even while the signalling thread
// holds critical sections: as on Win32, the waiter becomes runnable at once.
// A thread may keep its sections and go on without ever blocking through the
// platform again (spin on a flag the woken thread sets, poll, end), so a wake
// kept until it leaves them or blocks could come late or never.
struct WaitBlock {
    // The futex word: 0 while its thread sleeps, 1 once a signal came.
    // Written under WaitMutex(); read by its thread without it.
    std::atomic<uint32_t> woken{0};
};

// The sleepers a signal woke, to be woken after WaitMutex() is released.
class WakeList {
  public:
    WakeList() = default;
    WakeList(const WakeList &) = delete;
    WakeList &operator=(const WakeList &) = delete;
    ~WakeList() { Run(); }
    // Under WaitMutex(): marks the block woken and keeps it for Run().
    void Add(WaitBlock *block);
    // Without WaitMutex(): wakes the sleepers now.
    void Run();

  private:
    static const int kCapacity = 8;
    WaitBlock *blocks_[kCapacity];
    int count_ = 0;
};

// Static TLS for per-thread records that every wait and every critical
// section touches: an offset from the thread pointer instead of a look-up
// call (they are small, so this holds also when the library comes by dlopen).
#define KX_HOT_THREAD_LOCAL __attribute__((tls_model("initial-exec"))) thread_local

// Sleeps while *word holds `expected`, until the absolute steady-clock time
// (ns since the clock's epoch; negative: no limit). It may return early (a
// wake-up, a signal, a spurious wake): the caller looks again.
void FutexSleep(std::atomic<uint32_t> *word, uint32_t expected, int64_t deadlineNs);
// Wakes up to `count` threads sleeping on the word.
void FutexWake(std::atomic<uint32_t> *word, int count);

class Waitable : public Object {
  public:
    using Object::Object;
    static bool HoldsKind(ObjectKind k) {
        return k == ObjectKind::Event || k == ObjectKind::Thread;
    }
    // Under WaitMutex(): is the object signalled? If so and the object is
    // auto-reset, consume=true takes the signal.
    virtual bool TryAcquireLocked(bool consume) = 0;
    // What the object is, in a deadlock report ("event", "thread").
    virtual const char *KindName() const { return "object"; }
    // Under WaitMutex(): wake every registered waiter (through wakes).
    void WakeLocked(WakeList &wakes);
    std::vector<WaitBlock *> waiters;
};

std::mutex &WaitMutex();

// ---- threads ------------------------------------------------------------------------
int RunningThreads();
// Threads of a stuck schedule, parked for good, stop counting as running.
void ForgetParkedThreads(int count);

} // namespace kx

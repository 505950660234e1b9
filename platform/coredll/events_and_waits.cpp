// Events and the wait functions.
//
// A wait registers its thread's WaitBlock with the objects and sleeps on the
// block's futex word; a signal sets the word under WaitMutex() and wakes the
// sleeper right after releasing it (WakeList), whatever else the signalling
// thread holds. No wake is lost: the word is cleared under WaitMutex() before
// the sleeper releases it, and the sleep returns at once when the word is no
// longer 0. A late wake-up that finds its sleeper gone only makes a later
// wait of that thread look again.
//
// Under the deterministic scheduler a scheduled thread's wait blocks in the
// scheduler instead, in virtual time (ScheduledWait).
#include "kernel_objects.h"
#include "scheduler.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <new>

namespace kx {

void FutexSleep(std::atomic<uint32_t> *word, uint32_t expected, int64_t deadlineNs) {
    timespec until;
    timespec *limit = nullptr;
    if (deadlineNs >= 0) {
        until.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
        until.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
        limit = &until;
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, the steady clock.
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
            expected, limit, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWake(std::atomic<uint32_t> *word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count,
            nullptr, nullptr, 0);
}

std::mutex &WaitMutex() {
    static std::mutex *mutex = new std::mutex; // outlives static destructors
    return *mutex;
}

namespace {

// Each thread waits on its own block; it lives as long as the thread, so a
// wake-up made after the wait ended still names a word of that thread.
KX_HOT_THREAD_LOCAL WaitBlock threadBlock;

} // namespace

void WakeList::Add(WaitBlock *block) {
    block->woken.store(1, std::memory_order_release);
    if (count_ == kCapacity) {
        FutexWake(&block->woken, 1); // rare: many sleepers on one signal
        return;
    }
    blocks_[count_++] = block;
}

void WakeList::Run() {
    for (int i = 0; i < count_; ++i)
        FutexWake(&blocks_[i]->woken, 1);
    count_ = 0;
}

void Waitable::WakeLocked(WakeList &wakes) {
    if (sched::On())
        sched::Notify(this);
    for (WaitBlock *w : waiters)
        wakes.Add(w);
}

namespace {

class Event : public Waitable {
  public:
    Event(bool manual, bool initial)
        : Waitable(ObjectKind::Event), manualReset(manual), signalled(initial) {}
    static bool HoldsKind(ObjectKind k) { return k == ObjectKind::Event; }
    const char *KindName() const override { return "event"; }
    bool TryAcquireLocked(bool consume) override {
        if (!signalled)
            return false;
        if (consume && !manualReset)
            signalled = false;
        return true;
    }
    const bool manualReset;
    bool signalled; // guarded by WaitMutex()
    std::u16string name;
};

// Named events are shared within the process: a second CreateEventW of the
// same name opens the existing event (ERROR_ALREADY_EXISTS).
std::mutex namedMutex;
std::map<std::u16string, std::weak_ptr<Event>> namedEvents;

std::shared_ptr<Event> LookupEvent(HANDLE handle) {
    auto e = Lookup<Event>(handle);
    if (!e)
        SetLastError(ERROR_INVALID_HANDLE);
    return e;
}

} // namespace
} // namespace kx

using namespace kx;

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                               LPCWSTR name) {
    if (name && *name) {
        std::lock_guard<std::mutex> guard(namedMutex);
        std::u16string key(name);
        auto existing = namedEvents[key].lock();
        if (existing) {
            HANDLE h = AddHandle(existing);
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
        auto e = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
        e->name = key;
        namedEvents[key] = e;
        SetLastError(ERROR_SUCCESS);
        return AddHandle(e);
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

extern "C" BOOL SetEvent(HANDLE handle) {
    KX_SCHEDULING_POINT("SetEvent", handle);
    auto e = LookupEvent(handle);
    if (!e)
        return FALSE;
    WakeList wakes;
    {
        std::lock_guard<std::mutex> guard(WaitMutex());
        e->signalled = true;
        e->WakeLocked(wakes);
    }
    wakes.Run();
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE handle) {
    KX_SCHEDULING_POINT("ResetEvent", handle);
    auto e = LookupEvent(handle);
    if (!e)
        return FALSE;
    std::lock_guard<std::mutex> guard(WaitMutex());
    e->signalled = false;
    return TRUE;
}

namespace {

struct Span {
    std::shared_ptr<Waitable> *data;
    size_t size;
    std::shared_ptr<Waitable> *begin() const { return data; }
    std::shared_ptr<Waitable> *end() const { return data + size; }
    std::shared_ptr<Waitable> &operator[](size_t i) const { return data[i]; }
};

// The references a wait holds: room for the most a wait may name, but only
// as many built (and released) as it names. A wait allocates nothing.
class HeldObjects {
  public:
    HeldObjects() = default;
    HeldObjects(const HeldObjects &) = delete;
    HeldObjects &operator=(const HeldObjects &) = delete;
    ~HeldObjects() {
        for (size_t i = 0; i < size_; ++i)
            Data()[i].~shared_ptr();
    }
    void Add(std::shared_ptr<Waitable> object) {
        new (&Data()[size_++]) std::shared_ptr<Waitable>(std::move(object));
    }
    Span Objects() { return Span{Data(), size_}; }

  private:
    std::shared_ptr<Waitable> *Data() {
        return std::launder(reinterpret_cast<std::shared_ptr<Waitable> *>(storage_));
    }
    alignas(std::shared_ptr<Waitable>) unsigned char storage_[MAXIMUM_WAIT_OBJECTS *
                                                              sizeof(std::shared_ptr<Waitable>)];
    size_t size_ = 0;
};

// Under WaitMutex(): takes the objects when the wait is satisfied and sets
// *result (WAIT_OBJECT_0 + index).
bool SatisfiedLocked(Span objects, bool waitAll, DWORD *result) {
    if (waitAll) {
        for (auto &o : objects)
            if (!o->TryAcquireLocked(false))
                return false;
        for (auto &o : objects)
            o->TryAcquireLocked(true);
        *result = WAIT_OBJECT_0;
        return true;
    }
    for (size_t i = 0; i < objects.size; ++i) {
        if (objects[i]->TryAcquireLocked(true)) {
            *result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
            return true;
        }
    }
    return false;
}

// The wait of a thread under the deterministic scheduler: virtual time,
// and the scheduler's blocking instead of the condition variable.
DWORD ScheduledWait(Span objects, const HANDLE *handles, bool waitAll, DWORD milliseconds) {
    sched::Point(objects.size == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects", handles[0]);
    uint64_t deadline = sched::DeadlineAfter(milliseconds);
    const void *keys[MAXIMUM_WAIT_OBJECTS];
    for (size_t i = 0; i < objects.size; ++i)
        keys[i] = objects[i].get();
    for (;;) {
        DWORD result;
        {
            std::lock_guard<std::mutex> guard(WaitMutex());
            if (SatisfiedLocked(objects, waitAll, &result))
                return result;
        }
        if (sched::Now() >= deadline)
            return WAIT_TIMEOUT;
        char description[160];
        int n = snprintf(description, sizeof description, "%s(",
                         objects.size == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects");
        for (size_t i = 0; i < objects.size && n < 120; ++i)
            n += snprintf(description + n, sizeof description - n, "%s%s %p", i ? ", " : "",
                          objects[i]->KindName(), handles[i]);
        if (milliseconds == INFINITE)
            snprintf(description + n, sizeof description - n, "%s, INFINITE)",
                     waitAll ? ", all" : "");
        else
            snprintf(description + n, sizeof description - n, "%s, %lu ms)", waitAll ? ", all" : "",
                     static_cast<unsigned long>(milliseconds));
        sched::Block(keys, static_cast<int>(objects.size), deadline, description);
    }
}

DWORD WaitFor(DWORD count, const HANDLE *handles, bool waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HeldObjects held;
    for (DWORD i = 0; i < count; ++i) {
        auto w = Lookup<Waitable>(handles[i]);
        if (!w) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        held.Add(std::move(w));
    }
    Span objects = held.Objects();
    if (sched::On() && sched::Scheduled())
        return ScheduledWait(objects, handles, waitAll, milliseconds);
    DWORD result = WAIT_TIMEOUT;
    {
        std::lock_guard<std::mutex> guard(WaitMutex());
        if (SatisfiedLocked(objects, waitAll, &result) || milliseconds == 0)
            return result;
    }
    auto deadline = DeadlineAfter(milliseconds);
    int64_t deadlineNs =
        IsInfinite(deadline)
            ? -1
            : std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch())
                  .count();
    WaitBlock &block = threadBlock;
    std::unique_lock<std::mutex> lock(WaitMutex());
    for (auto &o : objects)
        o->waiters.push_back(&block);
    for (;;) {
        if (SatisfiedLocked(objects, waitAll, &result))
            break;
        if (deadlineNs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            result = WAIT_TIMEOUT;
            break;
        }
        block.woken.store(0, std::memory_order_relaxed);
        lock.unlock();
        FutexSleep(&block.woken, 0, deadlineNs);
        lock.lock();
    }
    for (auto &o : objects) {
        auto &v = o->waiters;
        v.erase(std::remove(v.begin(), v.end(), &block), v.end());
    }
    return result;
}

} // namespace

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitFor(1, &handle, false, milliseconds);
}

extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                        DWORD milliseconds) {
    return WaitFor(count, handles, waitAll != FALSE, milliseconds);
}

// Events and the wait functions.
#include "kernel_objects.h"
#include "scheduler.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

namespace kx {

std::mutex &WaitMutex() {
    static std::mutex *mutex = new std::mutex; // outlives static destructors
    return *mutex;
}

void Waitable::WakeLocked() {
    if (sched::On())
        sched::Notify(this);
    for (WaitBlock *w : waiters)
        w->cv.notify_one();
}

namespace {

class Event : public Waitable {
  public:
    Event(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
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
    std::lock_guard<std::mutex> guard(WaitMutex());
    e->signalled = true;
    e->WakeLocked();
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
    // A wait allocates nothing: the references live in a fixed array.
    std::array<std::shared_ptr<Waitable>, MAXIMUM_WAIT_OBJECTS> held;
    Span objects{held.data(), 0};
    for (DWORD i = 0; i < count; ++i) {
        auto w = Lookup<Waitable>(handles[i]);
        if (!w) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        held[objects.size++] = std::move(w);
    }
    if (sched::On() && sched::Scheduled())
        return ScheduledWait(objects, handles, waitAll, milliseconds);
    auto deadline = DeadlineAfter(milliseconds);
    WaitBlock block;
    std::unique_lock<std::mutex> lock(WaitMutex());
    bool registered = false;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (SatisfiedLocked(objects, waitAll, &result))
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result = WAIT_TIMEOUT;
            break;
        }
        if (!registered) {
            for (auto &o : objects)
                o->waiters.push_back(&block);
            registered = true;
        }
        if (IsInfinite(deadline))
            block.cv.wait(lock);
        else
            block.cv.wait_until(lock, deadline);
    }
    if (registered) {
        for (auto &o : objects) {
            auto &v = o->waiters;
            v.erase(std::remove(v.begin(), v.end(), &block), v.end());
        }
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

// Events and the wait functions.
#include "kx_internal.h"

#include <algorithm>
#include <array>
#include <map>

namespace kx {

std::mutex &WaitMutex() {
    static std::mutex *mutex = new std::mutex; // outlives static destructors
    return *mutex;
}

void Waitable::WakeLocked() {
    for (WaitBlock *w : waiters)
        w->cv.notify_one();
}

namespace {

class Event : public Waitable {
  public:
    Event(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
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
    auto e = LookupEvent(handle);
    if (!e)
        return FALSE;
    std::lock_guard<std::mutex> guard(WaitMutex());
    e->signalled = true;
    e->WakeLocked();
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE handle) {
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
    auto deadline = DeadlineAfter(milliseconds);
    WaitBlock block;
    std::unique_lock<std::mutex> lock(WaitMutex());
    bool registered = false;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (auto &o : objects)
                all = all && o->TryAcquireLocked(false);
            if (all) {
                for (auto &o : objects)
                    o->TryAcquireLocked(true);
                result = WAIT_OBJECT_0;
                break;
            }
        } else {
            bool found = false;
            for (DWORD i = 0; i < count && !found; ++i) {
                if (objects[i]->TryAcquireLocked(true)) {
                    result = WAIT_OBJECT_0 + i;
                    found = true;
                }
            }
            if (found)
                break;
        }
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

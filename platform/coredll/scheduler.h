// Internal interface of the deterministic scheduler (scheduler.cpp): the one
// place where the platform's calls meet the test mode that runs every
// platform thread one at a time, in an order chosen from a seed, with
// virtual time.
//
// Off (the default), every hook below costs one load of a global flag and a
// branch that is never taken: call sites test On() first and fall through to
// the ordinary code.
//
// On (a run of kxtest::RunScheduled is under way), exactly one scheduled
// thread holds the turn. A thread gives it up only inside this interface:
// at a scheduling point (Point), when it blocks (Block), and when it ends
// (EndThread). Whatever a thread does between two of those calls is atomic
// with respect to the other scheduled threads, so the platform's own short
// internal locks (the wait mutex, the handle table, a device's state) are
// never contended; none of them may be held across Point or Block.
//
// Lock order: any platform-internal lock before the scheduler's run lock;
// the scheduler never takes another lock while holding its own.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace kx {
namespace sched {

extern std::atomic<bool> runUnderWay;

// True while a scheduled run is under way (in any thread).
inline bool On() {
    return __builtin_expect(runUnderWay.load(std::memory_order_relaxed), false);
}

const uint64_t NoDeadline = UINT64_MAX;

// ---- scheduling -------------------------------------------------------------------------
// True when the calling thread runs under the scheduler. A thread that is
// not (one the scenario did not create through the platform) calling the
// platform during a run is itself a failure of the run, reported as such.
bool Scheduled();
// A scheduling point: the scheduler may let other threads run before the
// caller goes on. `what` names the call (a string literal), `object` the
// handle or address it works on.
void Point(const char *what, const void *object = nullptr);
// Blocks the caller until one of `keys` is notified or virtual time reaches
// `deadline`; true when notified. `description` says what the thread waits
// for (copied; it appears in a deadlock report). The caller re-checks its
// condition afterwards: a notification only means "look again".
bool Block(const void *const *keys, int count, uint64_t deadline, const char *description);
// Makes every thread blocked on `key` runnable. Never switches threads.
void Notify(const void *key);

// ---- virtual time -----------------------------------------------------------------------
uint64_t Now();
// Now() + milliseconds; NoDeadline for INFINITE.
uint64_t DeadlineAfter(DWORD milliseconds);
// Sleep under the scheduler; false when the caller is not scheduled.
bool Sleep(DWORD milliseconds);

// ---- critical sections --------------------------------------------------------------------
// Under the scheduler a section's owner is kept by the scheduler, not by the
// host mutex. Each returns false (nothing done) when the caller is not
// scheduled.
bool EnterSection(const void *section);
bool TryEnterSection(const void *section, BOOL *entered);
bool LeaveSection(const void *section);
bool DeleteSection(const void *section);

// ---- threads -------------------------------------------------------------------------------
struct ThreadRecord;
// Called by the creator before the new OS thread starts: the thread is
// known (and runnable) from this moment. Null when the caller is not
// scheduled. platformThread: counted among the platform's threads.
ThreadRecord *AddThread(DWORD threadId, bool platformThread);
// The first act of the new OS thread: waits for its first turn.
void StartThread(ThreadRecord *record);
// The OS thread for a record could not be created: the record ends unrun.
void DropThread(ThreadRecord *record);
// The last act of an ending thread: hands the turn on for good. The OS
// thread may then only return (it runs concurrently with the next one).
void EndThread();
// A host thread that plays a part under the scheduler (an in-process
// device's module side); `body` runs scheduled.
std::thread SpawnThread(const char *name, std::function<void()> body);
// Names the next thread that the calling thread creates.
void NameNextThread(const char *name);

} // namespace sched
} // namespace kx

// A scheduling point at the start of a platform call that publishes (or
// may block): free when the scheduler is off.
#define KX_SCHEDULING_POINT(what, object)                                                          \
    do {                                                                                           \
        if (kx::sched::On())                                                                       \
            kx::sched::Point(what, object);                                                        \
    } while (0)

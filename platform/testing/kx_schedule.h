// Deterministic scheduling of the platform's threads, for tests (not part of
// the Win32 API; implemented in coredll's scheduler).
//
// RunScheduled runs a body as the main thread of one schedule. Until every
// thread of the schedule has ended, exactly one platform thread runs at a
// time: the body's, every CreateThread thread and every in-process device's
// module side. Each platform call that can block or publish (critical
// sections, events, waits, Sleep, thread start and end, the Interlocked
// family, CloseHandle, the in-process devices' open, read, write, purge and
// time-out calls) is a scheduling point at which the seed's strategy picks
// the thread that goes on. Time is virtual: GetTickCount starts at
// startTick and moves only when no thread can run but some wait with a time
// limit; then it jumps to the earliest limit. A 30000 ms wait costs nothing.
//
// A schedule fails on a deadlock (no thread can run and none waits with a
// limit: the report names what each thread waits for), on a livelock (more
// steps than stepBudget), on a hang (more virtual time than timeBudget), and
// when the body reports a broken invariant with ScheduleFailure. After a
// deadlock, livelock or hang the schedule's threads are left parked for
// good (nothing of theirs runs again) and stop counting as running
// platform threads.
//
// Preconditions: no platform thread is running and no critical section is
// held when RunScheduled is called; the body creates every thread and
// in-process device connection it uses. Socket devices are not reachable
// under the scheduler (opening one fails): only in-process devices are.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kxtest {

enum class Strategy {
    Random, // every step: a uniformly chosen runnable thread
    Pct,    // probabilistic concurrency testing: random thread priorities,
            // depth - 1 priority change points among the first expectedSteps
            // choices (steps at which more than one thread could go on)
};

struct ScheduleSpec {
    Strategy strategy = Strategy::Pct;
    int depth = 3;              // PCT: the depth of the faults it aims at
    uint64_t expectedSteps = 0; // PCT: choices over which change points fall (0: stepBudget)
    uint64_t seed = 1;
    uint64_t stepBudget = 200000;  // more steps than this: livelock
    uint64_t timeBudget = 3600000; // more virtual milliseconds than this: hang
    DWORD startTick = 1000000;     // GetTickCount at the start
    bool trace = false;            // record every step (ScheduleResult::trace)
};

struct ScheduleResult {
    bool passed = false;
    std::string failure;            // the first failure and, for a stuck run, every thread's state
    uint64_t steps = 0;             // scheduling points passed
    uint64_t choices = 0;           // steps at which more than one thread could go on
    uint64_t switches = 0;          // times the turn went to another thread
    int threads = 0;                // threads the schedule ran, its main thread included
    uint64_t virtualMs = 0;         // virtual time that passed
    uint64_t fingerprint = 0;       // digest of the sequence of turns: same seed, same value
    std::vector<std::string> trace; // with ScheduleSpec::trace
};

// Runs body once under the scheduler, on a thread of its own, and returns
// when every thread of the schedule has ended or the schedule failed.
ScheduleResult RunScheduled(const ScheduleSpec &spec, std::function<void()> body);

// Inside a schedule: true on its threads.
bool UnderScheduler();
// Inside a schedule: an invariant does not hold. The schedule goes on to
// its end (threads still end, handles are still closed) and then fails with
// the first message.
void ScheduleFailure(const std::string &message);
// Names a thread of the schedule in traces and reports: the next thread
// the calling thread creates.
void NameNextScheduledThread(const char *name);

} // namespace kxtest

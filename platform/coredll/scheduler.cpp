// The deterministic scheduler: one scheduled thread runs at a time, the
// seed's strategy picks which one at every scheduling point, time is
// virtual. See scheduler.h for the hooks and kx_schedule.h for the test
// interface.
//
// Every scheduled thread is a host thread that waits on its own condition
// variable until the run's `current` names it. Handing the turn on is: set
// `current`, notify the next thread, wait. All of it under the run's one
// mutex, which therefore also orders every memory access of one thread's
// turn before the next thread's (what the thread sanitizer sees).
#include "scheduler.h"

#include "kx_internal.h"
#include "kx_schedule.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace kx {
namespace sched {

std::atomic<bool> runUnderWay{false};

namespace {

// splitmix64: small, fast, and the same sequence on every host.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
};

const int MaxKeys = MAXIMUM_WAIT_OBJECTS + 2;

struct Run;

} // namespace

struct ThreadRecord {
    enum State { Runnable, Blocked, Ended };
    Run *run = nullptr;
    int index = 0;
    DWORD threadId = 0;
    bool platformThread = false;
    char name[48] = {};
    State state = Runnable;
    std::condition_variable turn;
    const void *keys[MaxKeys] = {};
    int keyCount = 0;
    uint64_t deadline = NoDeadline;
    bool timedOut = false;
    char waitingFor[200] = {};
    uint64_t priority = 0; // PCT: the highest runnable priority runs
};

namespace {

struct Run {
    explicit Run(const kxtest::ScheduleSpec &s) : spec(s), random{s.seed} {
        now = spec.startTick;
        if (spec.strategy == kxtest::Strategy::Pct) {
            uint64_t k = spec.expectedSteps != 0 ? spec.expectedSteps : spec.stepBudget;
            for (int i = 1; i < spec.depth; ++i)
                changePoints.push_back(1 + random.Below(k));
            // Sorted, so that they are met in order.
            for (size_t i = 1; i < changePoints.size(); ++i)
                for (size_t j = i; j > 0 && changePoints[j - 1] > changePoints[j]; --j)
                    std::swap(changePoints[j - 1], changePoints[j]);
        }
    }

    std::mutex mutex; // guards every field below
    std::condition_variable overChanged;
    const kxtest::ScheduleSpec spec;
    Random random;
    std::vector<std::unique_ptr<ThreadRecord>> threads;
    std::vector<ThreadRecord *> candidates; // scratch of Choose
    ThreadRecord *current = nullptr;
    uint64_t now = 0;
    uint64_t steps = 0;
    uint64_t choices = 0; // steps at which more than one thread could go on
    uint64_t switches = 0;
    uint64_t fingerprint = 1469598103934665603ull;
    std::vector<uint64_t> changePoints;
    size_t nextChange = 0;
    int live = 0;
    struct Owner {
        ThreadRecord *thread;
        int count;
    };
    std::unordered_map<const void *, Owner> sections;
    bool over = false;  // ended, or stuck for good
    bool stuck = false; // deadlock, livelock or hang: threads left parked
    std::string failure;
    std::vector<std::string> trace;
};

std::atomic<Run *> currentRun{nullptr};
thread_local ThreadRecord *self = nullptr;
thread_local char nextThreadName[48] = {}; // NameNextThread

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void TraceLocked(Run &r, const std::string &line) {
    if (r.spec.trace)
        r.trace.push_back(Format("%6" PRIu64 " t=%" PRIu64 " ", r.steps, r.now) + line);
}

void NoteFailureLocked(Run &r, const std::string &message) {
    if (r.failure.empty())
        r.failure = message;
}

// Every thread that has not ended, and what it is doing.
std::string ThreadReportLocked(Run &r) {
    std::string out;
    for (auto &t : r.threads) {
        if (t->state == ThreadRecord::Ended)
            continue;
        out += Format("\n  T%d %s: ", t->index, t->name);
        if (t->state == ThreadRecord::Runnable) {
            out += "runnable";
        } else {
            out += t->waitingFor;
            if (t->deadline != NoDeadline)
                out += Format(" (time limit at t=%" PRIu64 ")", t->deadline);
        }
    }
    return out;
}

// The run cannot go on: record why, leave its threads parked.
void GetStuckLocked(Run &r, const std::string &why) {
    NoteFailureLocked(r, why +
                             Format(" (step %" PRIu64 ", virtual time %" PRIu64 " ms)", r.steps,
                                    r.now - r.spec.startTick) +
                             ThreadReportLocked(r));
    TraceLocked(r, why);
    r.stuck = true;
    r.over = true;
    r.current = nullptr;
    r.overChanged.notify_all();
}

void NotifyLocked(Run &r, const void *key) {
    for (auto &t : r.threads) {
        if (t->state != ThreadRecord::Blocked)
            continue;
        for (int i = 0; i < t->keyCount; ++i) {
            if (t->keys[i] == key) {
                t->state = ThreadRecord::Runnable;
                t->timedOut = false;
                break;
            }
        }
    }
}

// The next thread to run after a step of `me`, after moving time on if
// nobody can run; null when the run is stuck.
ThreadRecord *ChooseLocked(Run &r, ThreadRecord *me) {
    for (;;) {
        r.candidates.clear();
        for (auto &t : r.threads)
            if (t->state == ThreadRecord::Runnable)
                r.candidates.push_back(t.get());
        if (!r.candidates.empty())
            break;
        uint64_t earliest = NoDeadline;
        for (auto &t : r.threads)
            if (t->state == ThreadRecord::Blocked && t->deadline < earliest)
                earliest = t->deadline;
        if (earliest == NoDeadline) {
            bool mainEnded = r.threads[0]->state == ThreadRecord::Ended;
            GetStuckLocked(r, mainEnded ? "threads left waiting after the schedule's main thread "
                                          "ended: none can run and none waits with a time limit"
                                        : "deadlock: no thread can run and none waits with a "
                                          "time limit");
            return nullptr;
        }
        if (earliest > r.now)
            r.now = earliest;
        if (r.now - r.spec.startTick > r.spec.timeBudget) {
            GetStuckLocked(r,
                           Format("hang: virtual time passed %" PRIu64 " ms", r.spec.timeBudget));
            return nullptr;
        }
        TraceLocked(r, "time moves on");
        r.fingerprint = (r.fingerprint ^ r.now) * 1099511628211ull;
        for (auto &t : r.threads) {
            if (t->state == ThreadRecord::Blocked && t->deadline <= r.now) {
                t->state = ThreadRecord::Runnable;
                t->timedOut = true;
            }
        }
    }
    if (r.candidates.size() > 1) {
        // A choice: PCT's change points fall among these, not among the
        // steps where only one thread could go on (a scenario's set-up).
        ++r.choices;
        if (r.nextChange < r.changePoints.size() && r.choices >= r.changePoints[r.nextChange]) {
            // The thread that made the step drops below every thread that
            // has not met a change point yet.
            me->priority = r.changePoints.size() - r.nextChange;
            ++r.nextChange;
            TraceLocked(r, Format("T%d %s: priority drops", me->index, me->name));
        }
    }
    if (r.spec.strategy == kxtest::Strategy::Random)
        return r.candidates[r.random.Below(r.candidates.size())];
    ThreadRecord *best = r.candidates[0];
    for (ThreadRecord *t : r.candidates)
        if (t->priority > best->priority)
            best = t;
    return best;
}

// One step of `me`: the strategy picks who goes on. Returns when `me` has
// the turn again, at once when `me` has ended; never when the run is stuck.
void StepLocked(Run &r, std::unique_lock<std::mutex> &lock, ThreadRecord *me) {
    ++r.steps;
    ThreadRecord *next = nullptr;
    if (!r.over) {
        if (r.steps > r.spec.stepBudget)
            GetStuckLocked(r, Format("livelock: more than %" PRIu64 " steps", r.spec.stepBudget));
        else
            next = ChooseLocked(r, me);
    }
    if (next == nullptr) {
        if (me->state == ThreadRecord::Ended)
            return;
        for (;;) // parked for good: the run is stuck
            me->turn.wait(lock);
    }
    r.fingerprint = (r.fingerprint ^ static_cast<uint64_t>(next->index + 1)) * 1099511628211ull;
    if (next != me) {
        ++r.switches;
        r.current = next;
        next->turn.notify_one();
    }
    if (me->state == ThreadRecord::Ended)
        return;
    me->turn.wait(lock, [&] { return r.current == me; });
}

ThreadRecord *NewThreadLocked(Run &r, DWORD threadId, bool platformThread, const char *name) {
    auto record = std::make_unique<ThreadRecord>();
    record->run = &r;
    record->index = static_cast<int>(r.threads.size());
    record->threadId = threadId;
    record->platformThread = platformThread;
    snprintf(record->name, sizeof record->name, "%s", name);
    // Initial priorities lie above every change point's.
    record->priority = static_cast<uint64_t>(r.spec.depth) + 1 + (r.random.Next() >> 16);
    ++r.live;
    ThreadRecord *t = record.get();
    r.threads.push_back(std::move(record));
    TraceLocked(r, Format("T%d %s starts", t->index, t->name));
    return t;
}

// A thread that the scheduler does not run called the platform during a
// run: its calls go unscheduled, and the run fails.
bool StrayCall(const char *what) {
    Run *r = currentRun.load();
    if (r != nullptr) {
        std::lock_guard<std::mutex> guard(r->mutex);
        NoteFailureLocked(
            *r, Format("a thread outside the scheduler called %s during the schedule", what));
    }
    return false;
}

} // namespace

bool Scheduled() {
    return self != nullptr;
}

void Point(const char *what, const void *object) {
    ThreadRecord *me = self;
    if (me == nullptr) {
        StrayCall(what);
        return;
    }
    Run &r = *me->run;
    std::unique_lock<std::mutex> lock(r.mutex);
    TraceLocked(r, Format("T%d %s: %s %p", me->index, me->name, what, object));
    StepLocked(r, lock, me);
}

bool Block(const void *const *keys, int count, uint64_t deadline, const char *description) {
    ThreadRecord *me = self;
    if (me == nullptr)
        return StrayCall(description);
    Run &r = *me->run;
    std::unique_lock<std::mutex> lock(r.mutex);
    me->keyCount = count < MaxKeys ? count : MaxKeys;
    for (int i = 0; i < me->keyCount; ++i)
        me->keys[i] = keys[i];
    me->deadline = deadline;
    me->timedOut = false;
    me->state = ThreadRecord::Blocked;
    snprintf(me->waitingFor, sizeof me->waitingFor, "%s", description);
    TraceLocked(r, Format("T%d %s: waits for %s", me->index, me->name, description));
    StepLocked(r, lock, me);
    me->keyCount = 0;
    return !me->timedOut;
}

void Notify(const void *key) {
    Run *r = currentRun.load();
    if (r == nullptr || self == nullptr)
        return;
    std::lock_guard<std::mutex> guard(r->mutex);
    NotifyLocked(*r, key);
}

uint64_t Now() {
    ThreadRecord *me = self;
    if (me == nullptr)
        return 0;
    std::lock_guard<std::mutex> guard(me->run->mutex);
    return me->run->now;
}

uint64_t DeadlineAfter(DWORD milliseconds) {
    return milliseconds == INFINITE ? NoDeadline : Now() + milliseconds;
}

bool Sleep(DWORD milliseconds) {
    if (self == nullptr)
        return StrayCall("Sleep");
    if (milliseconds == 0) {
        Point("Sleep", nullptr);
        return true;
    }
    char description[64];
    snprintf(description, sizeof description, "Sleep(%lu ms)",
             static_cast<unsigned long>(milliseconds));
    Block(nullptr, 0, DeadlineAfter(milliseconds), description);
    return true;
}

bool EnterSection(const void *section) {
    ThreadRecord *me = self;
    if (me == nullptr)
        return StrayCall("EnterCriticalSection");
    Run &r = *me->run;
    std::unique_lock<std::mutex> lock(r.mutex);
    TraceLocked(r, Format("T%d %s: EnterCriticalSection %p", me->index, me->name, section));
    StepLocked(r, lock, me);
    for (;;) {
        auto it = r.sections.find(section);
        if (it == r.sections.end()) {
            r.sections.emplace(section, Run::Owner{me, 1});
            return true;
        }
        if (it->second.thread == me) {
            ++it->second.count;
            return true;
        }
        me->keys[0] = section;
        me->keyCount = 1;
        me->deadline = NoDeadline;
        me->state = ThreadRecord::Blocked;
        snprintf(me->waitingFor, sizeof me->waitingFor, "EnterCriticalSection(%p), held by T%d %s",
                 section, it->second.thread->index, it->second.thread->name);
        TraceLocked(r, Format("T%d %s: waits for %s", me->index, me->name, me->waitingFor));
        StepLocked(r, lock, me);
        me->keyCount = 0;
    }
}

bool TryEnterSection(const void *section, BOOL *entered) {
    ThreadRecord *me = self;
    if (me == nullptr)
        return StrayCall("TryEnterCriticalSection");
    Point("TryEnterCriticalSection", section);
    Run &r = *me->run;
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.sections.find(section);
    if (it == r.sections.end()) {
        r.sections.emplace(section, Run::Owner{me, 1});
        *entered = TRUE;
    } else if (it->second.thread == me) {
        ++it->second.count;
        *entered = TRUE;
    } else {
        *entered = FALSE;
    }
    return true;
}

bool LeaveSection(const void *section) {
    ThreadRecord *me = self;
    if (me == nullptr)
        return StrayCall("LeaveCriticalSection");
    Run &r = *me->run;
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        auto it = r.sections.find(section);
        if (it == r.sections.end() || it->second.thread != me) {
            NoteFailureLocked(r, Format("T%d %s left critical section %p, which it does not hold",
                                        me->index, me->name, section));
        } else if (--it->second.count == 0) {
            r.sections.erase(it);
            NotifyLocked(r, section);
        }
    }
    Point("LeaveCriticalSection", section);
    return true;
}

bool DeleteSection(const void *section) {
    ThreadRecord *me = self;
    if (me == nullptr)
        return StrayCall("DeleteCriticalSection");
    Run &r = *me->run;
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.sections.find(section);
    if (it != r.sections.end()) {
        if (it->second.thread != me)
            NoteFailureLocked(r, Format("T%d %s deleted critical section %p, held by T%d %s",
                                        me->index, me->name, section, it->second.thread->index,
                                        it->second.thread->name));
        r.sections.erase(it);
    }
    return true;
}

ThreadRecord *AddThread(DWORD threadId, bool platformThread) {
    ThreadRecord *me = self;
    if (me == nullptr) {
        StrayCall("CreateThread");
        return nullptr;
    }
    Run &r = *me->run;
    std::lock_guard<std::mutex> guard(r.mutex);
    char name[48];
    if (nextThreadName[0] != 0)
        snprintf(name, sizeof name, "%s", nextThreadName);
    else
        snprintf(name, sizeof name, "thread %lu", static_cast<unsigned long>(threadId));
    nextThreadName[0] = 0;
    return NewThreadLocked(r, threadId, platformThread, name);
}

void StartThread(ThreadRecord *record) {
    self = record;
    Run &r = *record->run;
    std::unique_lock<std::mutex> lock(r.mutex);
    record->turn.wait(lock, [&] { return r.current == record; });
}

void DropThread(ThreadRecord *record) {
    Run &r = *record->run;
    std::lock_guard<std::mutex> guard(r.mutex);
    record->state = ThreadRecord::Ended;
    --r.live;
}

void EndThread() {
    ThreadRecord *me = self;
    if (me == nullptr)
        return;
    self = nullptr;
    Run &r = *me->run;
    std::unique_lock<std::mutex> lock(r.mutex);
    me->state = ThreadRecord::Ended;
    TraceLocked(r, Format("T%d %s ends", me->index, me->name));
    NotifyLocked(r, me);
    if (--r.live == 0) {
        r.over = true;
        r.current = nullptr;
        r.overChanged.notify_all();
        return;
    }
    StepLocked(r, lock, me);
}

std::thread SpawnThread(const char *name, std::function<void()> body) {
    ThreadRecord *record = nullptr;
    if (ThreadRecord *me = self) {
        std::lock_guard<std::mutex> guard(me->run->mutex);
        record = NewThreadLocked(*me->run, 0, false, name);
    } else {
        StrayCall(name);
    }
    return std::thread([record, body] {
        if (record)
            StartThread(record);
        body();
        EndThread();
    });
}

void NameNextThread(const char *name) {
    snprintf(nextThreadName, sizeof nextThreadName, "%s", name);
}

} // namespace sched
} // namespace kx

namespace kxtest {

using kx::sched::Run;
using kx::sched::ThreadRecord;

ScheduleResult RunScheduled(const ScheduleSpec &spec, std::function<void()> body) {
    ScheduleResult result;
    if (kx::sched::runUnderWay.load() || kx::sched::Scheduled()) {
        result.failure = "RunScheduled called while a schedule is under way";
        return result;
    }
    auto *run = new Run(spec);
    ThreadRecord *main;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        main = kx::sched::NewThreadLocked(*run, 0, false, "main");
        run->current = main;
    }
    kx::sched::currentRun.store(run);
    kx::sched::runUnderWay.store(true);
    // Owned by the schedule's main thread: a stuck schedule keeps it.
    auto *work = new std::function<void()>(std::move(body));
    std::thread host([main, work] {
        kx::sched::StartThread(main);
        (*work)();
        kx::sched::EndThread();
    });

    std::unique_lock<std::mutex> lock(run->mutex);
    // A thread that runs for minutes without a scheduling point loops in
    // code that calls no platform function: nothing else can go on.
    uint64_t stepsSeen = run->steps;
    while (!run->over) {
        if (run->overChanged.wait_for(lock, std::chrono::seconds(120)) == std::cv_status::timeout &&
            !run->over && run->steps == stepsSeen) {
            kx::sched::GetStuckLocked(
                *run, "no scheduling point for 120 s of real time: a thread loops without "
                      "calling the platform");
        }
        stepsSeen = run->steps;
    }
    result.passed = run->failure.empty();
    result.failure = run->failure;
    result.steps = run->steps;
    result.choices = run->choices;
    result.switches = run->switches;
    result.threads = static_cast<int>(run->threads.size());
    result.virtualMs = run->now - spec.startTick;
    result.fingerprint = run->fingerprint;
    result.trace = std::move(run->trace);
    bool stuck = run->stuck;
    int parkedPlatformThreads = 0;
    for (auto &t : run->threads)
        if (t->state != ThreadRecord::Ended && t->platformThread)
            ++parkedPlatformThreads;
    lock.unlock();

    kx::sched::runUnderWay.store(false);
    kx::sched::currentRun.store(nullptr);
    if (stuck) {
        // Parked for good with everything they hold: the run, the body. They
        // stay reachable from here, so that a leak check at exit does not
        // take what the parked threads still use for a leak.
        static auto *const keptForParkedThreads = new std::vector<const void *>();
        keptForParkedThreads->push_back(run);
        keptForParkedThreads->push_back(work);
        host.detach();
        kx::ForgetParkedThreads(parkedPlatformThreads);
    } else {
        host.join();
        delete work;
        delete run;
    }
    return result;
}

bool UnderScheduler() {
    return kx::sched::Scheduled();
}

void ScheduleFailure(const std::string &message) {
    Run *r = kx::sched::currentRun.load();
    if (r == nullptr)
        return;
    std::lock_guard<std::mutex> guard(r->mutex);
    kx::sched::NoteFailureLocked(*r, message);
}

void NameNextScheduledThread(const char *name) {
    kx::sched::NameNextThread(name);
}

} // namespace kxtest

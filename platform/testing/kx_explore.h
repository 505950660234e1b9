// The explorer: runs a scenario under many schedules of the deterministic
// scheduler (kx_schedule.h) and reports the first that fails, with the one
// line that replays it.
//
// A scenario is a function run as the main thread of each schedule. It
// builds everything fresh (scripted devices, the library under test, its
// threads through CreateThread), lets them run, joins them, and states its
// invariants with ScheduleFailure (or Expect below). The same scenario code
// also runs without the scheduler.
//
// Environment (for the person at the keyboard; CI sets none of it):
//   KX_EXPLORE_REPLAY=SPEC   run only that schedule (as printed in a replay
//                            line) and print its failure, if any
//   KX_EXPLORE_TRACE=1       with a replay: print every step
//   KX_EXPLORE_SCHEDULES=N   run N schedules instead of the test's number
//   KX_EXPLORE_FIRST_SEED=S  start from seed S instead of the test's
#pragma once

#include "kx_schedule.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kxtest {

struct ExploreOptions {
    // What reruns the test (a gtest filter such as "Suite.Name"), for the
    // replay line.
    std::string test;
    int schedules = 300;
    uint64_t firstSeed = 1;
    // The strategies, taken in turn (schedule i uses strategies[i % n] with
    // seed firstSeed + i). Empty: PCT of depths 2 and 3, and random.
    std::vector<ScheduleSpec> strategies;
    // PCT's expected number of choices, when a strategy leaves it 0:
    // measured by one schedule of the random strategy with seed 0 before the
    // others.
    uint64_t stepBudget = 200000;
    uint64_t timeBudget = 3600000;
};

struct ExploreResult {
    bool passed = true;
    int schedules = 0;    // schedules run
    ScheduleSpec failing; // the first failing schedule
    std::string failure;  // its failure
    std::string replay;   // the line that reruns it
    uint64_t totalSteps = 0;
    uint64_t maxSteps = 0;
    int maxThreads = 0;
    double seconds = 0; // real time the schedules took
    // "N schedules, S steps (max M), T threads at most, X schedules/s".
    std::string Summary() const;
};

ExploreResult Explore(const ExploreOptions &options, const std::function<void()> &scenario);

// "pct:d=3:k=412:seed=17", "random:seed=17"; ParseSpec reads it back.
std::string DescribeSpec(const ScheduleSpec &spec);
bool ParseSpec(const std::string &text, ScheduleSpec *spec);

// A platform thread (CreateThread) running fn, named in traces and reports.
HANDLE StartThread(const char *name, std::function<void()> fn);
// Waits for the thread to end, without limit, and closes its handle.
void JoinThread(HANDLE thread);

// Inside a schedule: records the message as the schedule's failure when
// the condition does not hold; returns the condition.
inline bool Expect(bool condition, const std::string &message) {
    if (!condition)
        ScheduleFailure(message);
    return condition;
}

} // namespace kxtest

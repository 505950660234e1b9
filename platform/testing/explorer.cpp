// The explorer: a scenario under many seeded schedules (kx_explore.h).
#include "kx_explore.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kxtest {
namespace {

std::string Environment(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

std::string ThisProgram() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "TEST_PROGRAM";
    path[n] = 0;
    return path;
}

std::string ReplayLine(const ExploreOptions &options, const ScheduleSpec &spec) {
    std::string line = "KX_EXPLORE_REPLAY=" + DescribeSpec(spec) + " " + ThisProgram();
    if (!options.test.empty())
        line += " --gtest_filter=" + options.test;
    return line;
}

std::vector<ScheduleSpec> Strategies(const ExploreOptions &options) {
    if (!options.strategies.empty())
        return options.strategies;
    ScheduleSpec pct2, pct3, random;
    pct2.strategy = pct3.strategy = Strategy::Pct;
    pct2.depth = 2;
    pct3.depth = 3;
    random.strategy = Strategy::Random;
    return {pct2, pct3, random};
}

void Note(ExploreResult &result, const ScheduleResult &run) {
    ++result.schedules;
    result.totalSteps += run.steps;
    if (run.steps > result.maxSteps)
        result.maxSteps = run.steps;
    if (run.threads > result.maxThreads)
        result.maxThreads = run.threads;
}

DWORD WINAPI ThreadBody(LPVOID parameter) {
    auto *fn = static_cast<std::function<void()> *>(parameter);
    (*fn)();
    delete fn;
    return 0;
}

} // namespace

HANDLE StartThread(const char *name, std::function<void()> fn) {
    auto *body = new std::function<void()>(std::move(fn));
    DWORD id = 0;
    NameNextScheduledThread(name);
    HANDLE thread = CreateThread(nullptr, 0, ThreadBody, body, 0, &id);
    if (thread == nullptr) {
        delete body;
        ScheduleFailure(std::string("CreateThread failed for ") + name);
        return nullptr;
    }
    return thread;
}

void JoinThread(HANDLE thread) {
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

std::string DescribeSpec(const ScheduleSpec &spec) {
    char text[128];
    if (spec.strategy == Strategy::Pct)
        snprintf(text, sizeof text, "pct:d=%d:k=%" PRIu64 ":seed=%" PRIu64, spec.depth,
                 spec.expectedSteps, spec.seed);
    else
        snprintf(text, sizeof text, "random:seed=%" PRIu64, spec.seed);
    return text;
}

bool ParseSpec(const std::string &text, ScheduleSpec *spec) {
    ScheduleSpec out = *spec;
    int depth = 0;
    uint64_t k = 0, seed = 0;
    int used = 0;
    if (sscanf(text.c_str(), "pct:d=%d:k=%" SCNu64 ":seed=%" SCNu64 "%n", &depth, &k, &seed,
               &used) == 3 &&
        used == static_cast<int>(text.size()) && depth >= 1) {
        out.strategy = Strategy::Pct;
        out.depth = depth;
        out.expectedSteps = k;
    } else if (sscanf(text.c_str(), "random:seed=%" SCNu64 "%n", &seed, &used) == 1 &&
               used == static_cast<int>(text.size())) {
        out.strategy = Strategy::Random;
    } else {
        return false;
    }
    out.seed = seed;
    *spec = out;
    return true;
}

std::string ExploreResult::Summary() const {
    char text[256];
    snprintf(text, sizeof text,
             "%d schedules, %" PRIu64 " steps (at most %" PRIu64
             " in one), at most %d threads, %.0f schedules/s",
             schedules, totalSteps, maxSteps, maxThreads, seconds > 0 ? schedules / seconds : 0.0);
    return text;
}

ExploreResult Explore(const ExploreOptions &options, const std::function<void()> &scenario) {
    ExploreResult result;
    auto started = std::chrono::steady_clock::now();
    auto finish = [&] {
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    };
    auto fail = [&](const ScheduleSpec &spec, const ScheduleResult &run) {
        result.passed = false;
        result.failing = spec;
        result.failure = run.failure;
        result.replay = ReplayLine(options, spec);
        return finish();
    };

    std::string replay = Environment("KX_EXPLORE_REPLAY");
    if (!replay.empty()) {
        ScheduleSpec spec;
        spec.stepBudget = options.stepBudget;
        spec.timeBudget = options.timeBudget;
        if (!ParseSpec(replay, &spec)) {
            result.passed = false;
            result.failure = "KX_EXPLORE_REPLAY: not a schedule: " + replay;
            return finish();
        }
        spec.trace = Environment("KX_EXPLORE_TRACE") == "1";
        ScheduleResult run = RunScheduled(spec, scenario);
        Note(result, run);
        for (const std::string &line : run.trace)
            fprintf(stderr, "%s\n", line.c_str());
        fprintf(stderr,
                "replayed %s: %" PRIu64 " steps, %d threads, fingerprint %016" PRIx64 ", %s\n",
                DescribeSpec(spec).c_str(), run.steps, run.threads, run.fingerprint,
                run.passed ? "passed" : "FAILED");
        return run.passed ? finish() : fail(spec, run);
    }

    int schedules = options.schedules;
    if (!Environment("KX_EXPLORE_SCHEDULES").empty())
        schedules = atoi(Environment("KX_EXPLORE_SCHEDULES").c_str());
    uint64_t firstSeed = options.firstSeed;
    if (!Environment("KX_EXPLORE_FIRST_SEED").empty())
        firstSeed = strtoull(Environment("KX_EXPLORE_FIRST_SEED").c_str(), nullptr, 10);

    std::vector<ScheduleSpec> strategies = Strategies(options);
    uint64_t measuredSteps = 0;
    for (ScheduleSpec &spec : strategies) {
        spec.stepBudget = options.stepBudget;
        spec.timeBudget = options.timeBudget;
        if (spec.strategy != Strategy::Pct || spec.expectedSteps != 0)
            continue;
        if (measuredSteps == 0) {
            ScheduleSpec probe;
            probe.strategy = Strategy::Random;
            probe.seed = 0;
            probe.stepBudget = options.stepBudget;
            probe.timeBudget = options.timeBudget;
            ScheduleResult run = RunScheduled(probe, scenario);
            Note(result, run);
            if (!run.passed)
                return fail(probe, run);
            measuredSteps = run.choices > 0 ? run.choices : 1;
        }
        spec.expectedSteps = measuredSteps;
    }
    for (int i = 0; i < schedules; ++i) {
        ScheduleSpec spec = strategies[static_cast<size_t>(i) % strategies.size()];
        spec.seed = firstSeed + static_cast<uint64_t>(i);
        ScheduleResult run = RunScheduled(spec, scenario);
        Note(result, run);
        if (!run.passed)
            return fail(spec, run);
    }
    return finish();
}

} // namespace kxtest

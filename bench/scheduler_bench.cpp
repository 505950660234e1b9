// The deterministic scheduler's cost: schedules per second as the steps and
// the threads of a schedule grow, and what the hooks cost when the
// scheduler is off (a critical section and an Interlocked call against the
// host's own primitives).
#include <benchmark/benchmark.h>

#include <kx_explore.h>

#include <pthread.h>
#include <windows.h>

namespace {

// `threads` platform threads, each passing `steps` scheduling points.
void Schedule(int threads, int steps) {
    LONG volatile counter = 0;
    HANDLE handles[64];
    for (int t = 0; t < threads; ++t)
        handles[t] = kxtest::StartThread("worker", [&counter, steps] {
            for (int i = 0; i < steps; ++i)
                InterlockedIncrement(&counter);
        });
    for (int t = 0; t < threads; ++t)
        kxtest::JoinThread(handles[t]);
}

void ScheduleCost(benchmark::State &state, kxtest::Strategy strategy) {
    int threads = static_cast<int>(state.range(0));
    int steps = static_cast<int>(state.range(1));
    kxtest::ScheduleSpec spec;
    spec.strategy = strategy;
    spec.depth = 3;
    spec.expectedSteps = static_cast<uint64_t>(threads) * steps;
    uint64_t seed = 1, totalSteps = 0, switches = 0;
    for (auto _ : state) {
        spec.seed = seed++;
        kxtest::ScheduleResult run = kxtest::RunScheduled(spec, [&] { Schedule(threads, steps); });
        if (!run.passed)
            state.SkipWithError(run.failure.c_str());
        totalSteps += run.steps;
        switches += run.switches;
    }
    state.counters["schedules/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["steps/s"] =
        benchmark::Counter(static_cast<double>(totalSteps), benchmark::Counter::kIsRate);
    state.counters["switches/schedule"] =
        static_cast<double>(switches) / static_cast<double>(state.iterations());
}

void BM_SchedulePct(benchmark::State &state) {
    ScheduleCost(state, kxtest::Strategy::Pct);
}
void BM_ScheduleRandom(benchmark::State &state) {
    ScheduleCost(state, kxtest::Strategy::Random);
}

// Scheduler off: the hooks are one relaxed load and a branch never taken;
// compare with the host primitives below (CPU time is the steadier figure
// on a loaded machine).
void BM_CriticalSectionOff(benchmark::State &state) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    for (auto _ : state) {
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    }
    DeleteCriticalSection(&cs);
}

void BM_HostRecursiveMutex(benchmark::State &state) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
}

void BM_InterlockedIncrementOff(benchmark::State &state) {
    LONG volatile v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(InterlockedIncrement(&v));
}

void BM_HostAtomicIncrement(benchmark::State &state) {
    LONG volatile v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(__atomic_add_fetch(&v, 1, __ATOMIC_SEQ_CST));
}

void Shapes(benchmark::internal::Benchmark *b) {
    for (int threads : {1, 2, 4, 8, 16})
        b->Args({threads, 100});
    for (int steps : {10, 1000, 10000})
        b->Args({2, steps});
    b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

} // namespace

BENCHMARK(BM_SchedulePct)->Apply(Shapes);
BENCHMARK(BM_ScheduleRandom)->Apply(Shapes);
BENCHMARK(BM_CriticalSectionOff);
BENCHMARK(BM_HostRecursiveMutex);
BENCHMARK(BM_InterlockedIncrementOff);
BENCHMARK(BM_HostAtomicIncrement);
BENCHMARK_MAIN();

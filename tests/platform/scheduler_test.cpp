// The deterministic scheduler and the explorer, on small programs whose
// faults are known: they must be found within a bounded number of
// schedules, a correct program must pass, and a seed must replay exactly.
#include <kx_explore_gtest.h>
#include <kx_platform_test.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cctype>
#include <set>

namespace kxtest {
namespace {

// Two threads add one each to a counter through a separate load and store
// (each a scheduling point): the classic lost update.
void LostUpdate() {
    LONG volatile counter = 0;
    auto add = [&] {
        LONG seen = InterlockedCompareExchange(&counter, 0, 0);
        InterlockedExchange(&counter, seen + 1);
    };
    HANDLE a = StartThread("adder a", add);
    HANDLE b = StartThread("adder b", add);
    JoinThread(a);
    JoinThread(b);
    Expect(counter == 2, "lost update: the counter is " + std::to_string(counter));
}

// The same with an atomic increment: correct.
void AtomicUpdate() {
    LONG volatile counter = 0;
    auto add = [&] { InterlockedIncrement(&counter); };
    HANDLE a = StartThread("adder a", add);
    HANDLE b = StartThread("adder b", add);
    HANDLE c = StartThread("adder c", add);
    JoinThread(a);
    JoinThread(b);
    JoinThread(c);
    Expect(counter == 3, "the counter is " + std::to_string(counter));
}

// Two threads take two critical sections in opposite orders.
void LockOrderInversion() {
    CRITICAL_SECTION first, second;
    InitializeCriticalSection(&first);
    InitializeCriticalSection(&second);
    auto inOrder = [&](CRITICAL_SECTION *outer, CRITICAL_SECTION *inner) {
        EnterCriticalSection(outer);
        EnterCriticalSection(inner);
        LeaveCriticalSection(inner);
        LeaveCriticalSection(outer);
    };
    HANDLE a = StartThread("first then second", [&] { inOrder(&first, &second); });
    HANDLE b = StartThread("second then first", [&] { inOrder(&second, &first); });
    JoinThread(a);
    JoinThread(b);
    DeleteCriticalSection(&first);
    DeleteCriticalSection(&second);
}

// A correct hand-over: a producer fills a slot under a lock and signals an
// auto-reset event; the consumer waits with a time limit, and a time-out
// thread with a long limit never fires first because time only moves when
// nobody can run.
void ProducerConsumer() {
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    int slot = 0;
    int received = 0;
    HANDLE producer = StartThread("producer", [&] {
        for (int i = 1; i <= 3; ++i) {
            for (;;) {
                EnterCriticalSection(&lock);
                bool empty = slot == 0;
                if (empty)
                    slot = i;
                LeaveCriticalSection(&lock);
                if (empty)
                    break;
                Sleep(10);
            }
            SetEvent(ready);
        }
    });
    HANDLE consumer = StartThread("consumer", [&] {
        while (received < 3) {
            DWORD waited = WaitForSingleObject(ready, 30000);
            Expect(waited == WAIT_OBJECT_0 || waited == WAIT_TIMEOUT, "wait failed");
            EnterCriticalSection(&lock);
            if (slot != 0) {
                Expect(slot == received + 1, "out of order: " + std::to_string(slot));
                received = slot;
                slot = 0;
            }
            LeaveCriticalSection(&lock);
        }
    });
    JoinThread(producer);
    JoinThread(consumer);
    Expect(received == 3, "received " + std::to_string(received));
    CloseHandle(ready);
    DeleteCriticalSection(&lock);
}

std::vector<std::string> WithoutAddresses(const std::vector<std::string> &trace) {
    std::vector<std::string> out;
    for (const std::string &line : trace) {
        std::string plain;
        for (size_t i = 0; i < line.size(); ++i) {
            plain += line[i];
            if (line.compare(i, 2, "0x") == 0) {
                plain += "x?";
                for (i += 2; i < line.size() && isxdigit(static_cast<unsigned char>(line[i]));
                     ++i) {
                }
                --i;
            }
        }
        out.push_back(plain);
    }
    return out;
}

ScheduleSpec Spec(Strategy strategy, uint64_t seed, int depth = 3, uint64_t steps = 40) {
    ScheduleSpec spec;
    spec.strategy = strategy;
    spec.seed = seed;
    spec.depth = depth;
    spec.expectedSteps = steps;
    return spec;
}

// The first failing seed of a strategy among `limit` schedules (0: none).
uint64_t FirstFailingSeed(Strategy strategy, int depth, int limit,
                          const std::function<void()> &body, std::string *failure) {
    for (int seed = 1; seed <= limit; ++seed) {
        ScheduleResult run = RunScheduled(Spec(strategy, seed, depth), body);
        if (!run.passed) {
            *failure = run.failure;
            return static_cast<uint64_t>(seed);
        }
    }
    return 0;
}

TEST(Scheduler, FindsTheLostUpdate) {
    std::string failure;
    EXPECT_NE(FirstFailingSeed(Strategy::Random, 0, 50, LostUpdate, &failure), 0u);
    EXPECT_NE(failure.find("lost update"), std::string::npos) << failure;
    // PCT of depth 2 needs one change point between load and store.
    EXPECT_NE(FirstFailingSeed(Strategy::Pct, 2, 100, LostUpdate, &failure), 0u);
}

TEST(Scheduler, FindsTheLockOrderInversionAndNamesWhatEachThreadWaitsFor) {
    std::string failure;
    int before = RunningThreadCount();
    EXPECT_NE(FirstFailingSeed(Strategy::Random, 0, 50, LockOrderInversion, &failure), 0u);
    EXPECT_NE(failure.find("deadlock"), std::string::npos) << failure;
    EXPECT_NE(failure.find("first then second: EnterCriticalSection("), std::string::npos)
        << failure;
    EXPECT_NE(failure.find("held by T2 second then first"), std::string::npos) << failure;
    EXPECT_NE(failure.find("held by T1 first then second"), std::string::npos) << failure;
    EXPECT_NE(failure.find("main: WaitForSingleObject(thread"), std::string::npos) << failure;
    // The parked threads of the stuck schedule no longer count as running.
    EXPECT_EQ(RunningThreadCount(), before);
    EXPECT_NE(FirstFailingSeed(Strategy::Pct, 2, 100, LockOrderInversion, &failure), 0u);
}

TEST(Scheduler, CorrectProgramsPassEverySchedule) {
    ExploreOptions options;
    options.schedules = 300;
    ExploreResult atomic = ExploreInTest(options, AtomicUpdate);
    EXPECT_GE(atomic.schedules, 301); // the measuring schedule and 300 (or KX_EXPLORE_SCHEDULES)
    ExploreInTest(options, ProducerConsumer);
}

TEST(Scheduler, TheExplorerReportsTheFirstFailingScheduleAndItsReplayLine) {
    ExploreOptions options;
    options.test = "Scheduler.Replay";
    ExploreResult result = Explore(options, LostUpdate);
    ASSERT_FALSE(result.passed);
    EXPECT_LT(result.schedules, 60);
    EXPECT_EQ(result.replay.find("KX_EXPLORE_REPLAY=" + DescribeSpec(result.failing) + " "), 0u)
        << result.replay;
    EXPECT_NE(result.replay.find(" --gtest_filter=Scheduler.Replay"), std::string::npos);
    // The failing schedule, run again from its description, fails again.
    ScheduleSpec again;
    ASSERT_TRUE(ParseSpec(DescribeSpec(result.failing), &again));
    EXPECT_EQ(DescribeSpec(again), DescribeSpec(result.failing));
    EXPECT_FALSE(RunScheduled(again, LostUpdate).passed);
    EXPECT_FALSE(ParseSpec("pct:d=3:seed=4", &again));
    EXPECT_FALSE(ParseSpec("random:seed=4x", &again));
}

TEST(Scheduler, TheSameSeedReplaysTheSameSteps) {
    for (Strategy strategy : {Strategy::Random, Strategy::Pct}) {
        for (uint64_t seed : {3u, 17u}) {
            ScheduleSpec spec = Spec(strategy, seed, 3, 60);
            spec.trace = true;
            ScheduleResult first = RunScheduled(spec, ProducerConsumer);
            ScheduleResult second = RunScheduled(spec, ProducerConsumer);
            ASSERT_TRUE(first.passed) << first.failure;
            EXPECT_EQ(first.fingerprint, second.fingerprint);
            EXPECT_EQ(first.steps, second.steps);
            // Handle values and addresses differ from run to run; the rest is equal.
            EXPECT_EQ(WithoutAddresses(first.trace), WithoutAddresses(second.trace));
            EXPECT_EQ(first.virtualMs, second.virtualMs);
        }
    }
    // Different seeds do take different paths.
    std::set<uint64_t> fingerprints;
    for (uint64_t seed = 1; seed <= 20; ++seed)
        fingerprints.insert(
            RunScheduled(Spec(Strategy::Random, seed), ProducerConsumer).fingerprint);
    EXPECT_GT(fingerprints.size(), 10u);
}

TEST(Scheduler, TimeIsVirtualAndJumpsToTheEarliestLimit) {
    auto started = std::chrono::steady_clock::now();
    ScheduleSpec spec = Spec(Strategy::Random, 5);
    spec.startTick = 0xFFFFF000u; // the tick wraps during the run
    ScheduleResult run = RunScheduled(spec, [] {
        DWORD start = GetTickCount();
        Expect(start == 0xFFFFF000u, "start tick " + std::to_string(start));
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Expect(WaitForSingleObject(never, 30000) == WAIT_TIMEOUT, "the wait did not time out");
        Expect(GetTickCount() - start == 30000,
               "after the wait: " + std::to_string(GetTickCount() - start));
        HANDLE sleeper = StartThread("sleeper", [] { Sleep(10000); });
        Expect(WaitForSingleObject(sleeper, 60000) == WAIT_OBJECT_0, "the sleeper did not end");
        Expect(GetTickCount() - start == 40000,
               "after the sleeper: " + std::to_string(GetTickCount() - start));
        CloseHandle(sleeper);
        CloseHandle(never);
    });
    EXPECT_TRUE(run.passed) << run.failure;
    EXPECT_EQ(run.virtualMs, 40000u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(Scheduler, AWaitNobodyEndsIsReportedWithWhatItWaitsFor) {
    HANDLE forgotten = nullptr;
    ScheduleResult run = RunScheduled(Spec(Strategy::Pct, 1), [&] {
        forgotten = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE waiter = StartThread("waiter", [&] { WaitForSingleObject(forgotten, INFINITE); });
        JoinThread(waiter);
    });
    ASSERT_FALSE(run.passed);
    EXPECT_NE(run.failure.find("deadlock"), std::string::npos) << run.failure;
    char expected[64];
    snprintf(expected, sizeof expected, "waiter: WaitForSingleObject(event %p, INFINITE)",
             forgotten);
    EXPECT_NE(run.failure.find(expected), std::string::npos) << run.failure;
}

TEST(Scheduler, ThreadsLeftWaitingAfterTheScenarioAreReported) {
    ScheduleResult run = RunScheduled(Spec(Strategy::Random, 2), [] {
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CloseHandle(StartThread("orphan", [never] { WaitForSingleObject(never, INFINITE); }));
    });
    ASSERT_FALSE(run.passed);
    EXPECT_NE(run.failure.find("threads left waiting after the schedule's main thread ended"),
              std::string::npos)
        << run.failure;
    EXPECT_NE(run.failure.find("orphan: WaitForSingleObject(event"), std::string::npos)
        << run.failure;
}

TEST(Scheduler, AStepBudgetEndsALivelock) {
    ScheduleSpec spec = Spec(Strategy::Random, 9);
    spec.stepBudget = 5000;
    ScheduleResult run = RunScheduled(spec, [] {
        LONG volatile stop = 0;
        HANDLE spinner = StartThread("spinner", [&] {
            while (InterlockedCompareExchange(&stop, 0, 0) == 0)
                Sleep(0);
        });
        JoinThread(spinner);
    });
    ASSERT_FALSE(run.passed);
    EXPECT_NE(run.failure.find("livelock: more than 5000 steps"), std::string::npos) << run.failure;
}

TEST(Scheduler, AnEndlessRetryLoopWithSleepsIsAHang) {
    ScheduleSpec spec = Spec(Strategy::Random, 9);
    spec.timeBudget = 600000;
    ScheduleResult run = RunScheduled(spec, [] {
        HANDLE retrier = StartThread("retrier", [] {
            for (;;)
                Sleep(100);
        });
        JoinThread(retrier);
    });
    ASSERT_FALSE(run.passed);
    EXPECT_NE(run.failure.find("hang: virtual time passed 600000 ms"), std::string::npos)
        << run.failure;
    EXPECT_NE(run.failure.find("retrier: Sleep(100 ms)"), std::string::npos) << run.failure;
}

TEST(Scheduler, LeavingASectionThatIsNotHeldFailsTheSchedule) {
    ScheduleResult run = RunScheduled(Spec(Strategy::Random, 1), [] {
        CRITICAL_SECTION lock;
        InitializeCriticalSection(&lock);
        EnterCriticalSection(&lock);
        HANDLE other = StartThread("other", [&] { LeaveCriticalSection(&lock); });
        JoinThread(other);
        LeaveCriticalSection(&lock);
        DeleteCriticalSection(&lock);
    });
    EXPECT_FALSE(run.passed);
    EXPECT_NE(run.failure.find("which it does not hold"), std::string::npos) << run.failure;
}

TEST(Scheduler, OrdinaryRunsAfterAScheduleUseRealTimeAndHostLocks) {
    ASSERT_TRUE(RunScheduled(Spec(Strategy::Random, 1), AtomicUpdate).passed);
    EXPECT_FALSE(UnderScheduler());
    DWORD before = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - before, 15u);
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    EXPECT_TRUE(TryEnterCriticalSection(&lock));
    LeaveCriticalSection(&lock);
    DeleteCriticalSection(&lock);
}

} // namespace
} // namespace kxtest

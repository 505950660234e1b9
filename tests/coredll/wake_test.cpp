// Wakes: a signal reaches every waiter it releases, however the signal and the
// wait meet in time; and a thread that signals while it holds critical
// sections wakes its waiters at once, as Win32 does, whatever it does next:
// blocks in some way, or goes on without ever blocking through the platform
// (spins on a flag, polls, ends).
#include <windows.h>

#include "kx_platform_test.h"
#include "kx_test_device.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Set by a woken thread once it has run; read by its waker with the
// platform's interlocked calls.
LONG volatile answeredFlag = 0;

// Every ping answered by a pong, with a time limit that only a lost wake
// would reach; one side signals with a critical section held.
TEST(Wakes, PingPongLosesNoWakeWithOrWithoutASectionHeld) {
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    const int rounds = 5000;
    std::atomic<int> missed{0};
    std::thread answerer([&] {
        for (int i = 0; i < rounds; ++i) {
            if (WaitForSingleObject(ping, 5000) != WAIT_OBJECT_0) {
                ++missed;
                return;
            }
            if (i % 2) {
                EnterCriticalSection(&cs);
                SetEvent(pong);
                LeaveCriticalSection(&cs);
            } else {
                SetEvent(pong);
            }
        }
    });
    for (int i = 0; i < rounds && missed == 0; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 5000) != WAIT_OBJECT_0)
            ++missed;
    }
    answerer.join();
    EXPECT_EQ(missed.load(), 0);
    DeleteCriticalSection(&cs);
    CloseHandle(ping);
    CloseHandle(pong);
}

// More waiters than a signal keeps at hand, released by one manual-reset
// event, set once plainly and once with a section held.
TEST(Wakes, OneSetReleasesEveryWaiterOfAManualResetEvent) {
    for (bool held : {false, true}) {
        HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const int waiters = 20;
        std::atomic<int> released{0}, waiting{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < waiters; ++i)
            threads.emplace_back([&] {
                ++waiting;
                if (WaitForSingleObject(e, 5000) == WAIT_OBJECT_0)
                    ++released;
            });
        while (waiting < waiters)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        if (held)
            EnterCriticalSection(&cs);
        auto start = Clock::now();
        SetEvent(e);
        if (held)
            LeaveCriticalSection(&cs);
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(released.load(), waiters) << (held ? "set with a section held" : "set plainly");
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
        DeleteCriticalSection(&cs);
        CloseHandle(e);
    }
}

// The signalling thread keeps its section and then blocks: in a wait, in
// Sleep, on a section the woken thread holds, in a read. Each time the woken
// thread must run meanwhile (it answers, or the time limit reports the
// wake that never came).
class WakeUnderASection : public ::testing::Test {
  protected:
    void SetUp() override {
        InitializeCriticalSection(&held);
        InitializeCriticalSection(&other);
        signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        answer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        DeleteCriticalSection(&held);
        DeleteCriticalSection(&other);
        CloseHandle(signal);
        CloseHandle(answer);
    }
    // A thread that waits for `signal`, then runs `then`.
    template <class Then>
    std::thread Waiter(Then then) {
        std::thread t([this, then] {
            woke = WaitForSingleObject(signal, 5000) == WAIT_OBJECT_0;
            then();
        });
        while (!WaiterIsAsleep())
            std::this_thread::yield();
        return t;
    }
    // The waiter has had time to go to sleep in its wait.
    bool WaiterIsAsleep() {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return true;
    }
    CRITICAL_SECTION held, other;
    HANDLE signal, answer;
    std::atomic<bool> woke{false};
};

TEST_F(WakeUnderASection, BeforeAWait) {
    std::thread t = Waiter([this] { SetEvent(answer); });
    EnterCriticalSection(&held);
    SetEvent(signal);
    EXPECT_EQ(WaitForSingleObject(answer, 3000), WAIT_OBJECT_0);
    LeaveCriticalSection(&held);
    t.join();
    EXPECT_TRUE(woke);
}

TEST_F(WakeUnderASection, BeforeSleep) {
    std::thread t = Waiter([] {});
    EnterCriticalSection(&held);
    SetEvent(signal);
    Sleep(300);
    bool wokeDuringSleep = woke;
    LeaveCriticalSection(&held);
    t.join();
    EXPECT_TRUE(wokeDuringSleep);
}

TEST_F(WakeUnderASection, BeforeEnteringASectionTheWokenThreadHolds) {
    // The waiter holds `other` while it waits, and leaves it once woken.
    std::atomic<bool> holding{false};
    std::thread t([&] {
        EnterCriticalSection(&other);
        holding = true;
        woke = WaitForSingleObject(signal, 5000) == WAIT_OBJECT_0;
        LeaveCriticalSection(&other);
    });
    while (!holding)
        std::this_thread::yield();
    WaiterIsAsleep();
    EnterCriticalSection(&held);
    SetEvent(signal);
    auto start = Clock::now();
    EnterCriticalSection(&other); // blocks until the woken waiter leaves it
    auto blocked = Clock::now() - start;
    LeaveCriticalSection(&other);
    LeaveCriticalSection(&held);
    t.join();
    EXPECT_TRUE(woke);
    EXPECT_LT(blocked, std::chrono::seconds(2)) << "the waiter woke only at its time limit";
}

TEST_F(WakeUnderASection, BeforeABlockingRead) {
    auto device = kxtest::TestDevice::Register(u"KXW1:");
    HANDLE port = CreateFileW(TEXT("KXW1:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS limits = {MAXDWORD, MAXDWORD, 3000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &limits));
    std::thread t = Waiter([&] { device->Push(kxtest::Bytes{7}); });
    EnterCriticalSection(&held);
    SetEvent(signal);
    BYTE buffer[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 1u) << "the read timed out: the waiter never ran";
    LeaveCriticalSection(&held);
    t.join();
    CloseHandle(port);
}

// The signaller keeps its section after the signal and goes on without
// blocking through the platform until the woken thread has answered (or, if
// the wake never came, until a limit well past any scheduling delay). The
// woken thread answers through memory and through an event, so that every
// way of looking for the answer sees it.
struct GoingOn {
    const char *how;
    // Runs on the signaller after SetEvent, with `held` entered; returns
    // when answered() holds or late() does.
    void (*goOn)(const std::function<bool()> &answered, const std::function<bool()> &late,
                 HANDLE answer);
};

const GoingOn kGoingOn[] = {
    {"spins on a flag in memory",
     [](const std::function<bool()> &answered, const std::function<bool()> &late, HANDLE) {
         while (!answered() && !late()) {
         }
     }},
    {"spins on an interlocked flag",
     [](const std::function<bool()> &, const std::function<bool()> &late, HANDLE) {
         while (InterlockedCompareExchange(&answeredFlag, 0, 0) == 0 && !late()) {
         }
     }},
    {"polls the answer event with a zero time limit",
     [](const std::function<bool()> &, const std::function<bool()> &late, HANDLE answer) {
         while (WaitForSingleObject(answer, 0) == WAIT_TIMEOUT && !late()) {
         }
     }},
    {"yields with Sleep(0)",
     [](const std::function<bool()> &answered, const std::function<bool()> &late, HANDLE) {
         while (!answered() && !late())
             Sleep(0);
     }},
    {"watches the tick count",
     [](const std::function<bool()> &answered, const std::function<bool()> &, HANDLE) {
         DWORD start = GetTickCount();
         while (!answered() && GetTickCount() - start < 3000) {
         }
     }},
};

TEST(Wakes, TheWokenThreadRunsWhileItsWakerKeepsItsSectionAndGoesOn) {
    for (const GoingOn &going : kGoingOn) {
        HANDLE signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE answer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CRITICAL_SECTION held;
        InitializeCriticalSection(&held);
        answeredFlag = 0;
        std::atomic<bool> answered{false};
        std::thread waiter([&] {
            if (WaitForSingleObject(signal, 10000) != WAIT_OBJECT_0)
                return;
            // In this order: whichever answer the signaller sees, `answered` holds.
            answered = true;
            InterlockedExchange(&answeredFlag, 1);
            SetEvent(answer);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the waiter sleeps
        auto start = Clock::now();
        EnterCriticalSection(&held);
        SetEvent(signal);
        going.goOn([&] { return answered.load(); },
                   [&] { return Clock::now() - start > std::chrono::seconds(3); }, answer);
        bool answeredWhileHeld = answered;
        LeaveCriticalSection(&held);
        waiter.join();
        EXPECT_TRUE(answeredWhileHeld)
            << "the signaller " << going.how << ": the woken thread did not run until it left";
        DeleteCriticalSection(&held);
        CloseHandle(signal);
        CloseHandle(answer);
    }
}

// A thread that signals with a section held and then ends, or that signals
// after it deleted a section it held, leaves no wake behind.
TEST(Wakes, ASignalFromAThreadThatEndsOrDeletedItsSectionArrives) {
    struct Case {
        const char *what;
        void (*signaller)(CRITICAL_SECTION *held, HANDLE signal);
    };
    const Case cases[] = {
        {"a host thread that ends holding the section",
         [](CRITICAL_SECTION *held, HANDLE signal) {
             std::thread([=] {
                 EnterCriticalSection(held);
                 SetEvent(signal);
             }).join();
         }},
        {"a platform thread that calls ExitThread holding the section",
         [](CRITICAL_SECTION *held, HANDLE signal) {
             struct Start {
                 CRITICAL_SECTION *held;
                 HANDLE signal;
             } start{held, signal};
             HANDLE t = CreateThread(
                 nullptr, 0,
                 [](LPVOID p) -> DWORD {
                     auto *s = static_cast<Start *>(p);
                     EnterCriticalSection(s->held);
                     SetEvent(s->signal);
                     ExitThread(7);
                     return 0; // (not reached)
                 },
                 &start, 0, nullptr);
             WaitForSingleObject(t, INFINITE);
             CloseHandle(t);
         }},
        {"a thread that deleted a section it held, then signals and spins",
         [](CRITICAL_SECTION *, HANDLE signal) {
             std::thread([=] {
                 CRITICAL_SECTION scratch;
                 InitializeCriticalSection(&scratch);
                 EnterCriticalSection(&scratch);
                 DeleteCriticalSection(&scratch);
                 SetEvent(signal);
                 auto start = Clock::now();
                 while (InterlockedCompareExchange(&answeredFlag, 0, 0) == 0 &&
                        Clock::now() - start < std::chrono::seconds(3)) {
                 }
             }).join();
         }},
    };
    // A section of its own for each case: an orphaned one is never used again.
    CRITICAL_SECTION sections[sizeof cases / sizeof cases[0]];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case &c = cases[i];
        CRITICAL_SECTION &held = sections[i];
        HANDLE signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        InitializeCriticalSection(&held);
        answeredFlag = 0;
        std::atomic<DWORD> waited{WAIT_FAILED};
        std::atomic<long long> waitedMs{-1};
        std::thread waiter([&] {
            auto start = Clock::now();
            waited = WaitForSingleObject(signal, 5000);
            waitedMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            InterlockedExchange(&answeredFlag, 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the waiter sleeps
        c.signaller(&held, signal);
        waiter.join();
        // Without its wake the waiter would find the event set only at its limit.
        EXPECT_EQ(waited.load(), WAIT_OBJECT_0) << c.what;
        EXPECT_LT(waitedMs.load(), 2500) << c.what << ": the wake never came";
        // (the section stays orphaned, as on Win32; it is not entered again)
        CloseHandle(signal);
    }
}

// A read ended by a purge leaves nothing behind on its thread: the thread's
// next read that must wait sleeps through its limit instead of spinning.
TEST(Wakes, AReadAfterAnAbortedOneSleeps) {
    auto device = kxtest::TestDevice::Register(u"KXW2:");
    HANDLE port = CreateFileW(TEXT("KXW2:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &forever));
    std::atomic<bool> started{false};
    std::atomic<long long> cpuMs{-1}, realMs{-1};
    std::thread reader([&] {
        BYTE buffer[4];
        DWORD read = 0;
        started = true;
        EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &read, nullptr)); // aborted
        COMMTIMEOUTS limit = {MAXDWORD, MAXDWORD, 300, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(port, &limit));
        timespec cpu0, cpu1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        auto start = Clock::now();
        EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
        EXPECT_EQ(read, 0u);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        realMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000;
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(PurgeComm(port, PURGE_RXABORT));
    reader.join();
    EXPECT_GE(realMs.load(), 250);
    EXPECT_LT(cpuMs.load(), 30) << "the read spun instead of sleeping";
    CloseHandle(port);
}

} // namespace

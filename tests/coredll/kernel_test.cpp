// Kernel objects with Win32 semantics: events, waits, threads, critical
// sections, the tick count and time scaling.
#include <windows.h>

#include "kx_test_text.h"
#if KX_TEST_HOOKS
#include "kx_platform_test.h"
#endif

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long RealMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

#if KX_TEST_HOOKS
struct ScaleGuard {
    explicit ScaleGuard(double s) : previous(kxtest::TimeScale()) { kxtest::SetTimeScale(s); }
    ~ScaleGuard() { kxtest::SetTimeScale(previous); }
    double previous;
};
#endif

TEST(Events, ManualResetStaysSignalledAutoResetReleasesOneWaiter) {
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "auto-reset consumed";
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    // Two waiters on an auto-reset event: one SetEvent releases exactly one.
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(automatic, 2000) == WAIT_OBJECT_0)
            ++released;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetEvent(automatic);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(released.load(), 1);
    SetEvent(automatic);
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(Waits, ResultsNameTheObjectTimeOutOrFailure) {
    HANDLE e[3];
    for (auto &h : e)
        h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(e[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 2);
    SetEvent(e[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "lowest index wins";
    EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 0), WAIT_TIMEOUT) << "wait-all needs every one";
    SetEvent(e[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 0), WAIT_OBJECT_0);

    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForMultipleObjects(0, e, FALSE, 0), WAIT_FAILED);
    for (auto &h : e)
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(e[0])) << "a closed handle is invalid";
    EXPECT_EQ(WaitForSingleObject(e[0], 0), WAIT_FAILED);
}

TEST(Waits, TimeOutLastsItsLimitAndASetWakesAWaiterAtOnce) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 60), WAIT_TIMEOUT);
    EXPECT_GE(RealMs(start), 55);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(e);
    });
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(RealMs(start), 1000);
    setter.join();
    CloseHandle(e);
}

DWORD WINAPI ReturnParameter(LPVOID p) {
    Sleep(20);
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p));
}

TEST(Threads, HandleIsSignalledWhenTheThreadEndsWithItsExitCode) {
#if KX_TEST_HOOKS
    int before = kxtest::RunningThreadCount();
#endif
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(42), 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(CloseHandle(t));
#if KX_TEST_HOOKS
    for (int i = 0; i < 100 && kxtest::RunningThreadCount() != before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kxtest::RunningThreadCount(), before);
#endif
}

DWORD WINAPI ExitEarly(LPVOID) {
    ExitThread(7);
    return 1;
}

TEST(Threads, SuspendedThreadStartsOnResumeAndExitThreadSetsTheCode) {
    HANDLE t = CreateThread(nullptr, 0, ExitEarly, nullptr, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    ResumeThread(t);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    CloseHandle(t);
}

TEST(CriticalSections, ReentrantForTheOwnerExclusiveForOthers) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs); // re-entry must not deadlock
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        otherGotIt = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(otherGotIt) << "still held once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(otherGotIt);
    DeleteCriticalSection(&cs);
}

#if KX_TEST_HOOKS // undefined on Win32; this platform refuses it
// A stray leave by a thread that does not hold the section (a caller's bug)
// leaves the holder's hold whole: nobody else gets in until the holder leaves.
TEST(CriticalSections, ALeaveByAThreadThatDoesNotHoldTheSectionChangesNothing) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::thread([&] { LeaveCriticalSection(&cs); }).join();
    std::thread([&] {
        EXPECT_FALSE(TryEnterCriticalSection(&cs)) << "the stray leave released the section";
    }).join();
    LeaveCriticalSection(&cs);
    std::thread([&] {
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
    }).join();
    DeleteCriticalSection(&cs);
}
#endif

#if KX_TEST_HOOKS // platform time and handle counts are hooks of this platform
TEST(Time, TickCountWrapsAndDifferencesStayCorrect) {
    kxtest::SetTickOffset(0);
    DWORD base = GetTickCount();
    kxtest::SetTickOffset(0xFFFFFFFFu - base - 20); // 20 ms before the wrap
    DWORD before = GetTickCount();
    Sleep(60);
    DWORD after = GetTickCount();
    kxtest::SetTickOffset(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, 1000u) << "wrapped past zero";
    DWORD elapsed = after - before; // unsigned 32-bit arithmetic
    EXPECT_GE(elapsed, 55u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(Time, ScaleShortensWaitsAndTheTickFollowsNominalTime) {
    ScaleGuard scale(0.01);
    auto start = Clock::now();
    DWORD tick = GetTickCount();
    Sleep(3000); // 30 ms real
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 3000), WAIT_TIMEOUT); // 30 ms real
    CloseHandle(e);
    long long real = RealMs(start);
    DWORD nominal = GetTickCount() - tick;
    EXPECT_LT(real, 1000);
    EXPECT_GE(real, 55);
    EXPECT_GE(nominal, 5900u);
    EXPECT_LT(nominal, 100000u);
}

TEST(Handles, CountReturnsToItsStartAfterClose) {
    int before = kxtest::OpenHandleCount();
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(kxtest::OpenHandleCount(), before + 1);
    CloseHandle(e);
    EXPECT_EQ(kxtest::OpenHandleCount(), before);
}
#endif

} // namespace

// A signal made while the signalling thread holds a critical section, under
// the deterministic scheduler: the woken thread must run while its waker keeps
// the section, however the waker goes on (polls a flag, polls an event with a
// zero limit, waits blocking), and each signal of an auto-reset event releases
// exactly one waiter. Every interleaving of the threads' platform calls is a
// candidate; a lost or held-back wake shows as a deadlock or a broken count.
#include <kx_explore_gtest.h>

#include <gtest/gtest.h>

#include <string>

namespace kxtest {
namespace {

const int kRounds = 3; // one waiter per round

void SignalUnderASection() {
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: one per round
    HANDLE answer = CreateEventW(nullptr, FALSE, FALSE, nullptr); // a woken waiter's answer
    LONG volatile acks = 0;
    int published = 0; // guarded by lock
    int seen[kRounds] = {};
    DWORD waited[kRounds] = {};

    HANDLE waiters[kRounds];
    for (int i = 0; i < kRounds; ++i) {
        std::string name = "waiter " + std::to_string(i);
        waiters[i] = StartThread(name.c_str(), [&, i] {
            waited[i] = WaitForSingleObject(ready, INFINITE);
            InterlockedIncrement(&acks);
            SetEvent(answer);
            EnterCriticalSection(&lock); // held by the signaller until it has the answer
            seen[i] = published;
            LeaveCriticalSection(&lock);
        });
    }
    HANDLE signaller = StartThread("signaller", [&] {
        for (int round = 1; round <= kRounds; ++round) {
            EnterCriticalSection(&lock);
            published = round;
            SetEvent(ready);
            // It keeps the section until the woken waiter has answered.
            switch (round) {
            case 1: // polls the count of answers, pausing between looks
                while (InterlockedCompareExchange(&acks, 0, 0) < round)
                    Sleep(1);
                Expect(WaitForSingleObject(answer, INFINITE) == WAIT_OBJECT_0,
                       "round 1: the answer event was not set");
                break;
            case 2: // polls the answer event with a zero time limit
                while (WaitForSingleObject(answer, 0) == WAIT_TIMEOUT)
                    Sleep(1);
                break;
            default: // waits for the answer, blocking, with a limit
                Expect(WaitForSingleObject(answer, 30000) == WAIT_OBJECT_0,
                       "round " + std::to_string(round) + ": no answer within 30000 ms");
                break;
            }
            Expect(acks == round, "round " + std::to_string(round) + ": " + std::to_string(acks) +
                                      " answers, one signal must release exactly one waiter");
            LeaveCriticalSection(&lock);
        }
    });
    JoinThread(signaller);
    for (HANDLE w : waiters)
        JoinThread(w);
    for (int i = 0; i < kRounds; ++i) {
        Expect(waited[i] == WAIT_OBJECT_0, "waiter " + std::to_string(i) + " was not signalled");
        Expect(seen[i] >= 1, "waiter " + std::to_string(i) + " ran before any round");
    }
    Expect(acks == kRounds,
           std::to_string(acks) + " answers for " + std::to_string(kRounds) + " signals");
    CloseHandle(ready);
    CloseHandle(answer);
    DeleteCriticalSection(&lock);
}

TEST(ExploreWakes, SignalUnderASection) {
    ExploreOptions options;
    options.schedules = 1000; // fixed seeds; KX_EXPLORE_SCHEDULES for a longer run
    ExploreInTest(options, SignalUnderASection);
}

} // namespace
} // namespace kxtest

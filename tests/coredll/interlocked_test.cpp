// Interlocked operations: results as on Win32 and atomicity under contention.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(Interlocked, ResultsAreAsOnWin32) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6); // the new value
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5); // the old value
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12); // no match: unchanged
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);

    int a = 0, b = 0;
    PVOID volatile pointer = &a;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &a, &a), &b);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &a, &b), &b);
    EXPECT_EQ(pointer, &a);
}

TEST(Interlocked, IncrementsFromManyThreadsAreNotLost) {
    LONG volatile counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i)
                InterlockedIncrement(&counter);
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(counter, 4 * 20000);
}

// Transaction slots on their own: the driver's slot code compiled into the
// test, on a slot of the test's own.
#include "command_driver.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Reclaims {
    static void Callback(DWORD status, const void *, DWORD, void *context) {
        static_cast<Reclaims *>(context)->statuses.push_back(status);
    }
    std::vector<DWORD> statuses;
};

class TransactionSlots : public ::testing::Test {
  protected:
    void SetUp() override {
        ConstructSlot(&slot);
        slot.transactionId = 0;
        port = CreateEventW(NULL, TRUE, FALSE, NULL); // any valid handle: nothing is written
        SetSlotPort(&slot, port);
    }
    void TearDown() override {
        DestroySlot(&slot);
        CloseHandle(port);
    }
    void Age(DWORD milliseconds) {
        EnterCriticalSection(&slot.lock);
        slot.startTick = GetTickCount() - milliseconds;
        LeaveCriticalSection(&slot.lock);
    }
    TransactionSlot slot;
    HANDLE port = NULL;
    Reclaims older, newer;
};

// However old, a synchronous request keeps its slot: its sender is still
// waiting for it. An asynchronous one of the same age is reclaimed.
TEST_F(TransactionSlots, SynchronousRequestIsNeverReclaimedHoweverOld) {
    for (DWORD age : {30001u, 1000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(age);
        ASSERT_TRUE(TryAcquire(&slot, NULL, NULL));
        Age(age);
        EXPECT_FALSE(TryAcquire(&slot, Reclaims::Callback, &newer));
        EXPECT_TRUE(slot.inUse);
        EXPECT_TRUE(CancelSlot(&slot));

        ASSERT_TRUE(TryAcquire(&slot, Reclaims::Callback, &older));
        Age(age);
        EXPECT_TRUE(TryAcquire(&slot, Reclaims::Callback, &newer));
        EXPECT_TRUE(CancelSlot(&slot));
    }
    EXPECT_EQ(older.statuses, std::vector<DWORD>(4, 0)); // each reclaimed once
    EXPECT_EQ(newer.statuses, std::vector<DWORD>(4, 0)); // each cancelled once
}

} // namespace

// Packet data through the data ports: time limits, purges, partial writes,
// and transfers that meet a reopen.
#include "channel_test.h"

#include <thread>

namespace kxtest {
namespace {

class DataTest : public ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        ASSERT_TRUE(Logon(0));
        data[0]->ClearWrites();
        logonRecords = data[0]->TimeoutWrites().size();
    }
    std::vector<COMMTIMEOUTS> NewRecords() {
        auto all = data[0]->TimeoutWrites();
        return std::vector<COMMTIMEOUTS>(all.begin() + logonRecords, all.end());
    }
    size_t logonRecords = 0;
};

TEST_F(DataTest, SendWritesTheBufferAndRecordsALimitOnce) {
    Bytes packet = {0x45, 0x00, 0x00, 0x1C, 1, 2, 3, 4};
    DWORD length = DWORD(packet.size());
    ASSERT_TRUE(kx.Send(0, packet.data(), &length, 500));
    EXPECT_EQ(length, packet.size());
    ASSERT_TRUE(kx.Send(0, packet.data(), &length, 500));
    ASSERT_TRUE(data[0]->WaitForWrites(2));
    EXPECT_EQ(data[0]->Writes()[0], packet);
    auto records = NewRecords();
    ASSERT_EQ(records.size(), 1u); // the same limit is applied once
    EXPECT_EQ(records[0].WriteTotalTimeoutConstant, 500u);
    EXPECT_EQ(records[0].ReadTotalTimeoutConstant, MAXDWORD - 1); // the stored receive limit

    length = 3;
    EXPECT_FALSE(kx.Send(2, packet.data(), &length, 500));
    EXPECT_EQ(length, 3u);
}

TEST_F(DataTest, ReceiveWithoutLimitRewritesTheRecordEveryTime) {
    data[0]->Push(Bytes{1, 2, 3});
    uint8_t buffer[64];
    DWORD length = sizeof buffer;
    ASSERT_TRUE(kx.Receive(0, buffer, &length, MAXDWORD));
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{1, 2, 3}));
    data[0]->Push(Bytes{4});
    length = sizeof buffer;
    ASSERT_TRUE(kx.Receive(0, buffer, &length, MAXDWORD));
    EXPECT_EQ(length, 1u);
    auto records = NewRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ReadTotalTimeoutConstant, MAXDWORD - 1);
    EXPECT_EQ(records[1].ReadTotalTimeoutConstant, MAXDWORD - 1);

    // A limit with nothing there: success with 0 bytes.
    length = sizeof buffer;
    ASSERT_TRUE(kx.Receive(0, buffer, &length, 10));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(NewRecords().back().ReadTotalTimeoutConstant, 10u);
}

TEST_F(DataTest, AbortPurgesTheDirectionsAsked) {
    EXPECT_EQ(kx.Abort(0, TRUE, FALSE), 1u);
    EXPECT_EQ(kx.Abort(0, FALSE, TRUE), 1u);
    EXPECT_EQ(kx.Abort(0, TRUE, TRUE), 1u);
    EXPECT_EQ(kx.Abort(0, FALSE, FALSE), 1u);
    EXPECT_EQ(data[0]->Purges(), (std::vector<DWORD>{5, 10, 15, 0}));
    EXPECT_EQ(kx.Abort(2, TRUE, TRUE), 0u);
    EXPECT_EQ(kx.Abort(1, TRUE, TRUE), 0u); // never logged on
}

TEST_F(DataTest, TransfersOnAClosedChannelFailAtOnce) {
    uint8_t buffer[8] = {};
    DWORD length = sizeof buffer;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx.Send(1, buffer, &length, MAXDWORD));
    EXPECT_FALSE(kx.Receive(1, buffer, &length, 100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(DataTest, PartialWriteCountsAsSuccessWithTheSmallerCount) {
    data[0]->LimitWrites(3);
    uint8_t buffer[10] = {};
    DWORD length = sizeof buffer;
    ASSERT_TRUE(kx.Send(0, buffer, &length, MAXDWORD));
    EXPECT_EQ(length, 3u);
    ASSERT_TRUE(data[0]->WaitForWrites(1));
    EXPECT_EQ(data[0]->WriteCount(), 1u); // nothing retried
}

TEST_F(DataTest, LogoffEndsAReceiveWaitingOnThePort) {
    BOOL received = TRUE;
    std::thread reader([&] {
        uint8_t buffer[16];
        DWORD length = sizeof buffer;
        received = kx.Receive(0, buffer, &length, MAXDWORD);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    reader.join();
    EXPECT_FALSE(received);
}

// A transfer that fails while a reopen replaces the port waits for it and
// completes on the new port, with the limit it asked for applied there even
// though applying it failed on the way.
TEST_F(DataTest, TransferDuringReopenCompletesOnTheReopenedPort) {
    data[0]->Vanish();
    BOOL reopened = FALSE;
    std::thread reopen([&] { reopened = kx.Reopen(100000); });
    ASSERT_TRUE(WaitUntil([&] { return !data[0]->IsOpen(); }));
    std::thread back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        data[0]->Return();
    });
    Bytes packet = {9, 8, 7};
    DWORD length = 3;
    EXPECT_TRUE(kx.Send(0, packet.data(), &length, 700));
    back.join();
    reopen.join();
    EXPECT_TRUE(reopened);
    EXPECT_EQ(data[0]->OpenCount(), 2);
    ASSERT_TRUE(data[0]->WaitForWrites(1));
    EXPECT_EQ(data[0]->Writes().back(), packet);
    // On the new port: first the record saved before the reopen, then the
    // limit of the retried send.
    auto records = data[0]->TimeoutWrites();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[records.size() - 2].WriteTotalTimeoutConstant, MAXDWORD);
    EXPECT_EQ(records.back().WriteTotalTimeoutConstant, 700u);
}

// A reopen replaces the data ports that were open when it began, each with
// the time-outs it had; a channel that was closed then stays closed.
TEST_F(DataTest, ReopenLeavesAClosedDataPortClosed) {
    ASSERT_TRUE(Logon(1));
    EXPECT_TRUE(kx.Logoff(1, nullptr, nullptr));
    Bytes packet = {1, 2, 3};
    DWORD length = DWORD(packet.size());
    ASSERT_TRUE(kx.Send(0, packet.data(), &length, 500));
    COMMTIMEOUTS before = data[0]->TimeoutWrites().back();

    ASSERT_TRUE(kx.Reopen(0));
    EXPECT_EQ(data[1]->OpenCount(), 1);
    EXPECT_FALSE(data[1]->IsOpen());
    EXPECT_EQ(data[0]->OpenCount(), 2);
    EXPECT_TRUE(data[0]->IsOpen());
    COMMTIMEOUTS after = data[0]->TimeoutWrites().back();
    EXPECT_EQ(after.ReadTotalTimeoutConstant, before.ReadTotalTimeoutConstant);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, 500u);

    length = DWORD(packet.size());
    EXPECT_FALSE(kx.Send(1, packet.data(), &length, 500)); // still closed
    EXPECT_TRUE(Logon(1));
}

} // namespace
} // namespace kxtest

// Stream devices as a serial driver relies on them: message framing, the
// time-out patterns, purge and close ending blocked transfers, exclusive
// open, a vanished device; for in-process test devices and for the module's
// SOCK_SEQPACKET sockets under KX_DEVICE_DIR.
#include <windows.h>

#include "kx_platform_test.h"
#include "kx_test_device.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using kxtest::Bytes;
using kxtest::DeviceCall;
using kxtest::TestDevice;

long long RealMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

HANDLE Open(const WCHAR *name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant,
                 DWORD writeConstant = 0) {
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

class TestDeviceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        device = TestDevice::Register(u"KXT1:");
        handle = Open(TEXT("kxt1:")); // names compare case-insensitively
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    std::shared_ptr<TestDevice> device;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(TestDeviceFixture, OneReadReturnsOneMessageCutToTheBuffer) {
    SetTimeouts(handle, MAXDWORD, 0, 0);
    device->Push(Bytes{1, 2, 3, 4, 5});
    device->Push(Bytes{9});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    BYTE buffer[3];
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(buffer[2], 3);
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 1u) << "the rest of a cut message is gone; the next read is the next message";
    EXPECT_EQ(buffer[0], 9);
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u) << "nothing there: returns at once with nothing";

    BYTE message[] = {0xAA, 0xBB, 0xCC};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, message, 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(device->WaitForWrites(1));
    EXPECT_EQ(device->Writes()[0], (Bytes{0xAA, 0xBB, 0xCC}));
}

// The tap sees what the handle transferred, as transferred: a read message
// cut to the buffer is seen cut, an empty read is not seen at all.
TEST_F(TestDeviceFixture, TapSeesEveryMessageTransferred) {
    std::mutex lock;
    std::vector<std::pair<bool, Bytes>> seen;
    std::vector<std::u16string> names;
    kxtest::SetStreamTap(
        [&](const std::u16string &name, bool written, const void *data, size_t size) {
            std::lock_guard<std::mutex> guard(lock);
            names.push_back(name);
            const uint8_t *p = static_cast<const uint8_t *>(data);
            seen.push_back({written, Bytes(p, p + size)});
        });
    SetTimeouts(handle, MAXDWORD, 0, 0);
    BYTE message[] = {0x01, 0x02};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(handle, message, 2, &n, nullptr));
    device->Push(Bytes{7, 8, 9});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    BYTE buffer[2];
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &n, nullptr));
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(0u, n);
    kxtest::SetStreamTap(nullptr);
    device->Push(Bytes{5});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(1u, n);

    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(2u, seen.size());
    EXPECT_TRUE(seen[0].first);
    EXPECT_EQ((Bytes{1, 2}), seen[0].second);
    EXPECT_FALSE(seen[1].first);
    EXPECT_EQ((Bytes{7, 8}), seen[1].second);
    EXPECT_EQ(u"KXT1:", names[0]) << "the name in upper case, as the platform keeps it";
}

TEST_F(TestDeviceFixture, ReadWaitsUpToTheConstantThenReturnsEmptyOrAtOnceWithData) {
    // The driver's pattern: interval and multiplier MAXDWORD, constant C.
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 100);
    BYTE buffer[16];
    DWORD read = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_GE(RealMs(start), 95);

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        device->Push(Bytes{7, 7});
    });
    start = Clock::now();
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 5000);
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_LT(RealMs(start), 2000) << "returns as soon as the message is there";
    late.join();
}

TEST_F(TestDeviceFixture, TotalTimeOutIsMultiplierTimesSizePlusConstant) {
    SetTimeouts(handle, 0, 10, 20); // 10 * 8 + 20 = 100 ms for 8 bytes
    BYTE buffer[8];
    DWORD read = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u);
    long long ms = RealMs(start);
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 1000);
}

TEST_F(TestDeviceFixture, TimeOutsFollowTheTimeScale) {
    double previous = kxtest::TimeScale();
    kxtest::SetTimeScale(0.01);
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 10000); // 100 ms real
    BYTE buffer[8];
    DWORD read = 99;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    kxtest::SetTimeScale(previous);
    EXPECT_EQ(read, 0u);
    EXPECT_LT(RealMs(start), 2000);
    EXPECT_GE(RealMs(start), 90);
}

TEST_F(TestDeviceFixture, PurgeWithTheReceiveAbortBitEndsABlockedRead) {
    // No time-outs at all: the read would wait for ever.
    SetTimeouts(handle, 0, 0, 0);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        BYTE buffer[8];
        DWORD read = 0;
        result = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1) << "the send-side bits leave a read alone";
    EXPECT_TRUE(PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR));
    reader.join();
    EXPECT_EQ(result.load(), FALSE);
    EXPECT_EQ(device->Purges(), (std::vector<DWORD>{5, 10}));

    // The abort was for that transfer only: the next read works.
    device->Push(Bytes{1});
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 2000);
    BYTE buffer[8];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 1u);
}

TEST_F(TestDeviceFixture, ReceiveClearDropsQueuedMessages) {
    device->Push(Bytes{1});
    device->Push(Bytes{2});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(PurgeComm(handle, PURGE_RXCLEAR));
    SetTimeouts(handle, MAXDWORD, 0, 0);
    BYTE buffer[8];
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u);
}

TEST_F(TestDeviceFixture, CloseEndsABlockedReadPromptlyWithFailure) {
    SetTimeouts(handle, MAXDWORD, MAXDWORD, MAXDWORD - 1); // the control port's pattern
    std::atomic<int> result{-1};
    std::thread reader([&] {
        BYTE buffer[128];
        DWORD read = 0;
        result = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = Clock::now();
    EXPECT_TRUE(CloseHandle(handle));
    reader.join();
    EXPECT_LT(RealMs(start), 500);
    EXPECT_EQ(result.load(), FALSE);
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(device->CloseCount(), 1);
    handle = INVALID_HANDLE_VALUE;
}

TEST_F(TestDeviceFixture, OpenIsExclusiveUntilTheHandleIsClosed) {
    EXPECT_EQ(Open(TEXT("KXT1:")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(handle);
    handle = Open(TEXT("KXT1:"));
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device->OpenCount(), 2);
}

TEST_F(TestDeviceFixture, VanishedDeviceFailsTransfersAndOpensUntilItReturns) {
    SetTimeouts(handle, MAXDWORD, MAXDWORD, MAXDWORD - 1);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        BYTE buffer[8];
        DWORD read = 0;
        result = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device->Vanish();
    reader.join();
    EXPECT_EQ(result.load(), FALSE) << "a blocked read fails when the device goes";
    BYTE byte = 0;
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(handle, &byte, 1, &written, nullptr));
    CloseHandle(handle);
    handle = Open(TEXT("KXT1:"));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    device->Return();
    handle = Open(TEXT("KXT1:"));
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
}

TEST_F(TestDeviceFixture, ScriptedFaultsShortWritesAndTimeoutRecords) {
    device->LimitWrites(2);
    BYTE message[5] = {1, 2, 3, 4, 5};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, message, 5, &written, nullptr));
    EXPECT_EQ(written, 2u) << "the write took fewer bytes and says so";
    ASSERT_TRUE(device->WaitForWrites(1));
    EXPECT_EQ(device->Writes()[0], (Bytes{1, 2}));
    device->LimitWrites(-1);

    device->FailNext(DeviceCall::Write);
    EXPECT_FALSE(WriteFile(handle, message, 5, &written, nullptr));
    EXPECT_TRUE(WriteFile(handle, message, 5, &written, nullptr));

    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 500, 0, MAXDWORD};
    device->FailNext(DeviceCall::SetTimeouts);
    EXPECT_FALSE(SetCommTimeouts(handle, &t));
    EXPECT_TRUE(SetCommTimeouts(handle, &t));
    COMMTIMEOUTS back = {};
    EXPECT_TRUE(GetCommTimeouts(handle, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, MAXDWORD);
    ASSERT_EQ(device->TimeoutWrites().size(), 1u) << "a failed call records nothing";

    device->FailNext(DeviceCall::Open);
    CloseHandle(handle);
    EXPECT_EQ(Open(TEXT("KXT1:")), INVALID_HANDLE_VALUE);
    handle = Open(TEXT("KXT1:"));
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
}

// More messages than the socket between the two sides holds: the module
// side waits for room without keeping the driver side from its own calls,
// and every message arrives, in order, opened before or after the pushes.
Bytes Numbered(int n) {
    return Bytes{uint8_t(n), uint8_t(n >> 8), 0x45, 0x00};
}

void ReadNumbered(HANDLE handle, int count) {
    for (int n = 0; n < count; ++n) {
        BYTE buffer[8];
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr)) << n;
        ASSERT_EQ(read, 4u) << "message " << n << " missing";
        ASSERT_EQ(buffer[0] | buffer[1] << 8, n) << "out of order";
    }
}

const int kMoreThanTheSocketHolds = 5000;

TEST_F(TestDeviceFixture, ModuleSideWaitingForRoomLeavesTheDriverSideFree) {
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 2000, 2000);
    std::atomic<int> pushed{0};
    std::thread pusher([&] {
        for (int n = 0; n < kMoreThanTheSocketHolds; ++n) {
            device->Push(Numbered(n));
            pushed = n + 1;
        }
    });
    // The pusher fills the socket and then waits for room.
    auto since = Clock::now();
    int last = -1;
    while (RealMs(since) < 5000 && pushed != last) {
        last = pushed;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_LT(pushed.load(), kMoreThanTheSocketHolds) << "the socket held everything";
    // Meanwhile the driver side writes, changes its time-outs and purges
    // its send side; none of it may wait for the module side's room.
    auto driverCalls = std::async(std::launch::async, [&] {
        BYTE message[] = {1, 2, 3};
        DWORD written = 0;
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 2000, 0, 2000};
        return WriteFile(handle, message, 3, &written, nullptr) && written == 3 &&
               SetCommTimeouts(handle, &t) && PurgeComm(handle, PURGE_TXCLEAR);
    });
    ASSERT_EQ(driverCalls.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "a driver-side call waited for the module side";
    EXPECT_TRUE(driverCalls.get());
    ReadNumbered(handle, kMoreThanTheSocketHolds);
    pusher.join();
}

TEST_F(TestDeviceFixture, MessagesKeptWhileClosedArriveWhateverTheirNumber) {
    CloseHandle(handle);
    for (int n = 0; n < kMoreThanTheSocketHolds; ++n)
        device->Push(Numbered(n));
    // The open sends what fits and returns; the rest follows as the driver
    // side reads.
    auto opened = std::async(std::launch::async, [] { return Open(TEXT("KXT1:")); });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the open waited for room that only its caller could make";
    handle = opened.get();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 2000);
    ReadNumbered(handle, kMoreThanTheSocketHolds);
    device->Push(Numbered(kMoreThanTheSocketHolds));
    BYTE buffer[8];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 4u) << "a push after the backlog arrives after it";
}

TEST_F(TestDeviceFixture, ResponderAnswersEachWrite) {
    device->SetResponder([this](const Bytes &w) {
        Bytes reply(w);
        reply.push_back(0xFF);
        device->Push(reply);
    });
    SetTimeouts(handle, MAXDWORD, MAXDWORD, 2000);
    for (BYTE i = 0; i < 20; ++i) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(handle, &i, 1, &n, nullptr));
        BYTE reply[4];
        ASSERT_TRUE(ReadFile(handle, reply, sizeof(reply), &n, nullptr));
        ASSERT_EQ(n, 2u);
        EXPECT_EQ(reply[0], i);
    }
}

// ---- the socket backend ---------------------------------------------------------

class SocketDeviceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxdev-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("KX_DEVICE_DIR", dir.c_str(), 1);
        Listen();
    }
    void TearDown() override {
        StopListening();
        unsetenv("KX_DEVICE_DIR");
        std::string cmd = "rm -rf " + dir;
        (void)system(cmd.c_str());
    }
    void Listen() {
        listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = dir + "/KXS1";
        strcpy(a.sun_path, path.c_str());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        ASSERT_EQ(listen(listener, 4), 0);
    }
    void StopListening() {
        if (listener >= 0) {
            close(listener);
            listener = -1;
            unlink((dir + "/KXS1").c_str());
        }
    }
    int Accept() { return accept(listener, nullptr, nullptr); }

    std::string dir;
    int listener = -1;
};

TEST_F(SocketDeviceFixture, MessagesCrossTheSocketWhole) {
    HANDLE h = Open(TEXT("KXS1:"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int module = Accept();
    ASSERT_GE(module, 0);

    BYTE frame[13] = {1, 12, 0, 0, 1, 5, 0, 1, 0, 0x22, 0, 0, 0};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, frame, sizeof(frame), &n, nullptr));
    EXPECT_EQ(n, 13u);
    BYTE got[64];
    EXPECT_EQ(recv(module, got, sizeof(got), 0), 13);

    BYTE reply[20] = {1, 19};
    ASSERT_EQ(send(module, reply, sizeof(reply), 0), 20);
    SetTimeouts(h, MAXDWORD, MAXDWORD, 2000);
    ASSERT_TRUE(ReadFile(h, got, sizeof(got), &n, nullptr));
    EXPECT_EQ(n, 20u);

    // Exclusive, also against a second opener.
    EXPECT_EQ(Open(TEXT("KXS1:")), INVALID_HANDLE_VALUE);

    // The module side goes away: reads fail at once.
    close(module);
    EXPECT_FALSE(ReadFile(h, got, sizeof(got), &n, nullptr));
    CloseHandle(h);
}

TEST_F(SocketDeviceFixture, AbsentSocketFailsTheOpenAndAReturnedOneOpensAgain) {
    StopListening();
    EXPECT_EQ(Open(TEXT("KXS1:")), INVALID_HANDLE_VALUE);
    Listen();
    HANDLE h = Open(TEXT("KXS1:"));
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(SocketDeviceFixture, CloseEndsABlockedReadOnTheSocket) {
    HANDLE h = Open(TEXT("KXS1:"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int module = Accept();
    SetTimeouts(h, MAXDWORD, MAXDWORD, MAXDWORD - 1);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        BYTE buffer[128];
        DWORD read = 0;
        result = ReadFile(h, buffer, sizeof(buffer), &read, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = Clock::now();
    CloseHandle(h);
    reader.join();
    EXPECT_EQ(result.load(), FALSE);
    EXPECT_LT(RealMs(start), 500);
    // The name is free again at once.
    HANDLE again = Open(TEXT("KXS1:"));
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    close(module);
}

} // namespace

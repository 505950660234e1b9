// The module as the platform's stream devices see it: "KXC1:" and friends
// opened with CreateFileW reach kxmodem's sockets, one WriteFile is one
// frame, one ReadFile one reply; a vanished port fails reads and opens until
// it is back.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <thread>

#include "test_client.h"

using namespace kxtest;

namespace {

class PlatformDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(modem.Start(dir.path(), {}, &error)) << error;
        setenv("KX_DEVICE_DIR", dir.path().c_str(), 1);
    }
    static HANDLE Open(LPCWSTR name) {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    static void ShortReads(HANDLE h, DWORD ms) {
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, ms, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }

    TempDir dir;
    kxmodem::Modem modem;
};

} // namespace

TEST_F(PlatformDevices, ControlPortCarriesOneFramePerTransfer) {
    HANDLE h = Open(TEXT("KXC1:"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(TEXT("KXC1:"))); // exclusive while open
    ShortReads(h, 2000);
    const uint8_t getClient[16] = {0x01, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,
                                   0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x01};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, getClient, sizeof getClient, &n, nullptr));
    EXPECT_EQ(sizeof getClient, n);
    uint8_t reply[128];
    ASSERT_TRUE(ReadFile(h, reply, sizeof reply, &n, nullptr));
    ASSERT_EQ(24u, n);
    EXPECT_EQ(0x03, reply[7]);
    EXPECT_EQ(1u, modem.State().wdsClients.size());
    CloseHandle(h);
    h = Open(TEXT("KXC1:"));
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

TEST_F(PlatformDevices, AtPortServesAPlatformHandleBesideOtherSessions) {
    // Each name is exclusive on the platform side; the AT port serves every
    // session the module is offered.
    HANDLE at = Open(TEXT("KXA1:"));
    ASSERT_NE(INVALID_HANDLE_VALUE, at);
    Socket other; // a second session, as another RIL instance makes it
    ASSERT_TRUE(other.Connect(dir.path() + "/KXA1"));
    ShortReads(at, 2000);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(at, "ATE0\r", 5, &n, nullptr));
    char text[256];
    ASSERT_TRUE(ReadFile(at, text, sizeof text, &n, nullptr));
    EXPECT_EQ("ATE0\r\r\nOK\r\n", std::string(text, n));
    other.Send("AT+CFUN?\r");
    EXPECT_EQ("AT+CFUN?\r\r\n+CFUN: 1\r\n\r\nOK\r\n", other.RecvText("OK\r\n"));
    CloseHandle(at);
}

TEST_F(PlatformDevices, VanishedPortFailsThenOpensAgain) {
    HANDLE h = Open(TEXT("KXN1:"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ShortReads(h, 2000);
    ASSERT_EQ("ok", modem.Control("vanish KXN1 300"));
    uint8_t buffer[64];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0);
    CloseHandle(h);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(TEXT("KXN1:")));
    HANDLE again = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100 && again == INVALID_HANDLE_VALUE; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        again = Open(TEXT("KXN1:"));
    }
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

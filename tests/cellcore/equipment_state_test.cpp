// lineGetEquipmentState: the radio's functionality level, asked of the
// module's AT port with AT+CFUN? (+CFUN: 1 radio on, 0 off).
#include "at_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kx_platform_test.h"
#include "kx_window_test.h"
#include <windows.h>
#include <extapi.h>
#include <tapi.h>

namespace {

class EquipmentState : public ::testing::Test {
  protected:
    void SetUp() override {
        kxtest::ResetLineDevices();
        handles_ = kxtest::OpenHandleCount();
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof(params);
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        DWORD count = 0, version = 0x20000;
        ASSERT_EQ(lineInitializeEx(&app_, nullptr, nullptr, nullptr, &count, &version, &params), 0);
        ASSERT_EQ(lineOpen(app_, 0, &line_, 0x20000, 0, 0, 6, 0x14, nullptr), 0);
    }
    void TearDown() override {
        lineShutdown(app_);
        kxtest::ResetLineDevices();
        EXPECT_EQ(kxtest::LineAppCount(), 0);
        EXPECT_EQ(kxtest::OpenHandleCount(), handles_);
    }
    HLINEAPP app_ = 0;
    HLINE line_ = 0;
    int handles_ = 0;
};

TEST_F(EquipmentState, FollowsTheModulesFunctionality) {
    DWORD state = 0, radio = 0;
    {
        kxtest::AtPeer port;
        std::string level = "1";
        port.SetResponder([&](const std::string &command) -> std::vector<std::string> {
            if (command != "AT+CFUN?")
                return {"\r\nERROR\r\n"};
            // The answer in pieces, with an unsolicited line in between.
            return {"\r\n+CFUN: " + level + "\r\n", "\r\n+CREG: 1\r\n", "\r\nOK\r\n"};
        });
        port.Listen();
        ASSERT_EQ(lineGetEquipmentState(line_, &state, &radio), 0);
        EXPECT_EQ(state, DWORD(LINEEQUIPSTATE_FULL));
        EXPECT_EQ(radio, DWORD(LINERADIOSUPPORT_ON));
        level = "0";
        ASSERT_EQ(lineGetEquipmentState(line_, &state, &radio), 0);
        EXPECT_EQ(state, DWORD(LINEEQUIPSTATE_MINIMUM));
        EXPECT_EQ(radio, DWORD(LINERADIOSUPPORT_OFF));
        EXPECT_EQ(lineGetEquipmentState(0x7777, &state, &radio), LONG(LINEERR_INVALLINEHANDLE));
    }
    {
        kxtest::AtPeer port;
        port.SetResponder(
            [](const std::string &) { return std::vector<std::string>{"\r\nERROR\r\n"}; });
        port.Listen();
        EXPECT_EQ(lineGetEquipmentState(line_, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
    }
    {
        // An answer that never ends fails after its limit (5000 ms of
        // platform time, scaled down here).
        kxtest::SetTimeScale(0.01);
        kxtest::AtPeer port;
        port.SetResponder(
            [](const std::string &) { return std::vector<std::string>{"\r\n+CFUN: 1"}; });
        port.Listen();
        EXPECT_EQ(lineGetEquipmentState(line_, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
        kxtest::SetTimeScale(1);
    }
    // No module at all.
    EXPECT_EQ(lineGetEquipmentState(line_, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
}

} // namespace

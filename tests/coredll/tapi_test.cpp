// TAPI lines and the kernel's platform question.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx_platform_test.h"
#include "kx_window_test.h"
#include <windows.h>
#include <pkfuncs.h>
#include <tapi.h>

namespace {

class Lines : public ::testing::Test {
  protected:
    void SetUp() override {
        kxtest::ResetLineDevices();
        kxtest::ClearLineOpenAttempts();
        handles_ = kxtest::OpenHandleCount();
    }
    void TearDown() override {
        kxtest::ResetLineDevices();
        kxtest::FailLineInitialize(false);
        EXPECT_EQ(kxtest::LineAppCount(), 0);
        EXPECT_EQ(kxtest::OpenLineCount(), 0);
        EXPECT_EQ(kxtest::OpenHandleCount(), handles_);
    }
    HLINEAPP Initialize(DWORD *count) {
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof(params);
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        DWORD version = 0x20000;
        HLINEAPP app = 0;
        EXPECT_EQ(lineInitializeEx(&app, nullptr, nullptr, nullptr, count, &version, &params), 0);
        EXPECT_NE(params.Handles.hEvent, nullptr);
        EXPECT_EQ(version, 0x20000u);
        return app;
    }
    int handles_ = 0;
};

struct Caps {
    union {
        LINEDEVCAPS caps;
        uint8_t bytes[4096];
    };
    std::u16string Name() const {
        return std::u16string(reinterpret_cast<const char16_t *>(bytes + caps.dwLineNameOffset));
    }
};

TEST_F(Lines, DefaultDeviceIsTheCellularLine) {
    DWORD count = 0;
    HLINEAPP app = Initialize(&count);
    ASSERT_EQ(count, 1u);
    Caps c{};
    c.caps.dwTotalSize = sizeof(c);
    ASSERT_EQ(lineGetDevCaps(app, 0, 0x20000, 0, &c.caps), 0);
    EXPECT_EQ(c.caps.dwStringFormat, DWORD(STRINGFORMAT_UNICODE));
    EXPECT_EQ(c.caps.dwLineNameSize, sizeof(u"Cellular Line"));
    EXPECT_EQ(c.Name(), u"Cellular Line");
    EXPECT_EQ(lineGetDevCaps(app, 1, 0x20000, 0, &c.caps), LONG(LINEERR_BADDEVICEID));
    // Too small for the fixed part; room for the fixed part only.
    c.caps.dwTotalSize = 16;
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x20000, 0, &c.caps), LONG(LINEERR_STRUCTURETOOSMALL));
    c.caps.dwTotalSize = sizeof(LINEDEVCAPS);
    ASSERT_EQ(lineGetDevCaps(app, 0, 0x20000, 0, &c.caps), 0);
    EXPECT_EQ(c.caps.dwLineNameSize, 0u);
    EXPECT_GT(c.caps.dwNeededSize, c.caps.dwTotalSize);

    HLINE line = 0;
    ASSERT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, 6, 0x14, nullptr), 0);
    EXPECT_EQ(kxtest::OpenLineCount(), 1);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(lineClose(line), LONG(LINEERR_INVALLINEHANDLE));
    EXPECT_EQ(lineShutdown(app), 0);
    EXPECT_EQ(lineShutdown(app), LONG(LINEERR_INVALAPPHANDLE));
}

TEST_F(Lines, ConfiguredDevicesAndShutdownClosesOpenLines) {
    kxtest::SetLineDevices({{u"Cellular Line", false}, {u"Cellular Line", true}});
    DWORD count = 0;
    HLINEAPP app = Initialize(&count);
    ASSERT_EQ(count, 2u);
    HLINE line = 0;
    EXPECT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, 6, 0x14, nullptr),
              LONG(LINEERR_RESOURCEUNAVAIL));
    EXPECT_EQ(lineOpen(app, 1, &line, 0x20000, 0, 0, 6, 0x14, nullptr), 0);
    EXPECT_EQ(kxtest::LineOpenAttempts(), (std::vector<DWORD>{0, 1}));
    EXPECT_EQ(lineShutdown(app), 0);
    EXPECT_EQ(kxtest::OpenLineCount(), 0);

    kxtest::FailLineInitialize(true);
    DWORD version = 0x20000;
    EXPECT_EQ(lineInitializeEx(&app, nullptr, nullptr, nullptr, &count, &version, nullptr),
              LONG(LINEERR_OPERATIONFAILED));
}

TEST(KernelIoControl, PlatformQuestionAnswersFiveUnlessToldOtherwise) {
    DWORD input = 4, output = 0, returned = 0;
    int before = kxtest::PlatformQuestionCount();
    ASSERT_TRUE(KernelIoControl(0x01012A50, &input, 4, &output, 4, &returned));
    EXPECT_EQ(output, 5u);
    EXPECT_EQ(returned, 4u);
    kxtest::SetPlatformQuestion(true, 7);
    ASSERT_TRUE(KernelIoControl(0x01012A50, &input, 4, &output, 4, &returned));
    EXPECT_EQ(output, 7u);
    kxtest::SetPlatformQuestion(false, 5);
    EXPECT_FALSE(KernelIoControl(0x01012A50, &input, 4, &output, 4, &returned));
    kxtest::ResetPlatformQuestion();
    EXPECT_EQ(kxtest::PlatformQuestionCount(), before + 3);
    EXPECT_FALSE(KernelIoControl(0x01012A50, &input, 4, nullptr, 0, &returned));
    SetLastError(0);
    EXPECT_FALSE(KernelIoControl(0x12345678, &input, 4, &output, 4, &returned));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
}

} // namespace

// TAPI lines, the equipment state from the module's AT port, and the
// kernel's platform question.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx_platform_test.h"
#include "kx_window_test.h"
#include <windows.h>
#include <extapi.h>
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

// A module's AT port: a SOCK_SEQPACKET listener on KXA1 in a temporary
// KX_DEVICE_DIR answering each command with the messages of `answer`.
class AtPort {
  public:
    explicit AtPort(std::function<std::vector<std::string>(const std::string &)> answer)
        : answer_(std::move(answer)) {
        char tmpl[] = "/tmp/kxat-XXXXXX";
        dir_ = mkdtemp(tmpl);
        const char *old = getenv("KX_DEVICE_DIR");
        saved_ = old ? old : "";
        setenv("KX_DEVICE_DIR", dir_.c_str(), 1);
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s/KXA1", dir_.c_str());
        bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        listen(listener_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~AtPort() {
        stop_ = true;
        thread_.join();
        for (int fd : open_)
            close(fd);
        close(listener_);
        setenv("KX_DEVICE_DIR", saved_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            int fd = accept(listener_, nullptr, nullptr);
            char buffer[512];
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n > 0) {
                std::string command(buffer, size_t(n));
                while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
                    command.pop_back();
                for (const std::string &m : answer_(command))
                    send(fd, m.data(), m.size(), MSG_NOSIGNAL);
            }
            open_.push_back(fd); // kept open: the caller decides when the answer ended
        }
    }
    std::function<std::vector<std::string>(const std::string &)> answer_;
    std::string dir_, saved_;
    int listener_ = -1;
    std::vector<int> open_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(Lines, EquipmentStateFollowsTheModulesFunctionality) {
    DWORD count = 0;
    HLINEAPP app = Initialize(&count);
    HLINE line = 0;
    ASSERT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, 6, 0x14, nullptr), 0);
    DWORD state = 0, radio = 0;
    {
        std::string level = "1";
        AtPort port([&](const std::string &command) -> std::vector<std::string> {
            if (command != "AT+CFUN?")
                return {"\r\nERROR\r\n"};
            // The answer in pieces, with an unsolicited line in between.
            return {"\r\n+CFUN: " + level + "\r\n", "\r\n+CREG: 1\r\n", "\r\nOK\r\n"};
        });
        ASSERT_EQ(lineGetEquipmentState(line, &state, &radio), 0);
        EXPECT_EQ(state, DWORD(LINEEQUIPSTATE_FULL));
        EXPECT_EQ(radio, DWORD(LINERADIOSUPPORT_ON));
        level = "0";
        ASSERT_EQ(lineGetEquipmentState(line, &state, &radio), 0);
        EXPECT_EQ(state, DWORD(LINEEQUIPSTATE_MINIMUM));
        EXPECT_EQ(radio, DWORD(LINERADIOSUPPORT_OFF));
        EXPECT_EQ(lineGetEquipmentState(0x7777, &state, &radio), LONG(LINEERR_INVALLINEHANDLE));
    }
    {
        AtPort port([](const std::string &) { return std::vector<std::string>{"\r\nERROR\r\n"}; });
        EXPECT_EQ(lineGetEquipmentState(line, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
    }
    {
        // An answer that never ends fails after its limit (5000 ms of
        // platform time, scaled down here).
        kxtest::SetTimeScale(0.01);
        AtPort port([](const std::string &) { return std::vector<std::string>{"\r\n+CFUN: 1"}; });
        EXPECT_EQ(lineGetEquipmentState(line, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
        kxtest::SetTimeScale(1);
    }
    // No module at all.
    EXPECT_EQ(lineGetEquipmentState(line, &state, &radio), LONG(LINEERR_OPERATIONFAILED));
    lineShutdown(app);
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

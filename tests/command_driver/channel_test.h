// A fixture with an open driver and both data ports as scripted devices.
#pragma once

#include "driver_test.h"

namespace kxtest {

class ChannelTest : public DriverTest {
  protected:
    explicit ChannelTest(double timeScale = 0.02) : DriverTest(timeScale) {}
    void SetUp() override {
        DriverTest::SetUp();
        data[0] = TestDevice::Register(u"KXN1:");
        data[1] = TestDevice::Register(u"KXN2:");
        OpenDriver();
    }
    void TearDown() override {
        DriverTest::TearDown();
        data[0].reset();
        data[1].reset();
    }
    // The control request count-th (from 1), once the module has it.
    Request Written(size_t count) {
        EXPECT_TRUE(module->WaitForRequests(count));
        auto writes = module->control->Writes();
        return count <= writes.size() ? Decode(writes[count - 1]) : Request{};
    }
    bool Logon(DWORD channel, const LogonCallbacks *callbacks = nullptr,
               const LogonParameters *parameters = nullptr) {
        return kx.Logon(channel, parameters, 0xDEADBEEF, callbacks);
    }

    std::shared_ptr<TestDevice> data[2];
    Completions done;
    CompletionContext context{&done, 1};
    // More recorders, alive until the driver is closed.
    Completions first, second, third;
    CompletionContext firstContext{&first, 1}, secondContext{&second, 2}, thirdContext{&third, 3};
};

} // namespace kxtest

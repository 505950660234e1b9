// The RIL over a scripted AT port.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "at_peer.h"

#include <windows.h>

#include "kx_platform_test.h"
#include "kx_ril_test.h"
#include "ril.h"

namespace {

using namespace std::chrono_literals;

struct Event {
    bool notification = false;
    DWORD code = 0;
    HRESULT id = 0;
    std::string data;
    bool hasData = false;
};

// Collects every callback of one instance.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
    std::function<void(const Event &)> hook; // runs on the RIL thread

    void Add(const Event &e) {
        if (hook)
            hook(e);
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(e);
        changed.notify_all();
    }
    bool WaitFor(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, limit, [&] { return events.size() >= count; });
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
};

void CALLBACK OnResult(DWORD code, HRESULT id, const void *data, DWORD size, DWORD_PTR param) {
    Event e;
    e.code = code;
    e.id = id;
    e.hasData = data != nullptr;
    if (data)
        e.data.assign((const char *)data, size);
    ((Recorder *)param)->Add(e);
}

void CALLBACK OnNotify(DWORD code, const void *data, DWORD size, DWORD_PTR param) {
    Event e;
    e.notification = true;
    e.code = code;
    e.hasData = data != nullptr;
    if (data)
        e.data.assign((const char *)data, size);
    ((Recorder *)param)->Add(e);
}

DWORD AsDword(const std::string &data) {
    DWORD v = 0;
    EXPECT_EQ(4u, data.size());
    memcpy(&v, data.data(), std::min<size_t>(4, data.size()));
    return v;
}

// A module with echo on, framing every reply in CR LF as in verbose mode.
std::vector<std::string> Module(const std::string &command) {
    std::string echo = command + "\r";
    if (command == "AT+COPS?")
        return {echo, "\r\n+COPS: 0,0,\"Example Mobile UK\",2\r\n", "\r\nOK\r\n"};
    if (command == "AT+CFUN?")
        return {echo + "\r\n+CFUN: 1\r\n\r\nOK\r\n"};
    if (command == "ATI1")
        return {echo + "\r\nMaker\r\nModel\r\n", "\r\n+CREG: 5\r\n", "\r\nRev\r\n\r\nOK\r\n"};
    if (command == "AT+BAD")
        return {echo + "\r\nERROR\r\n"};
    return {echo + "\r\nOK\r\n"};
}

class RilTest : public ::testing::Test {
  protected:
    void SetUp() override {
        peer_.SetResponder(Module);
        peer_.Listen();
    }
    HRIL Open(Recorder *r, DWORD classes) {
        HRIL h = nullptr;
        EXPECT_EQ(S_OK, RIL_Initialize(1, OnResult, OnNotify, classes, (DWORD_PTR)r, &h));
        EXPECT_NE(nullptr, h);
        return h;
    }
    kxtest::AtPeer peer_;
};

TEST(RilNoPort, InitializeFailsWithoutTheAtPort) {
    kxtest::AtPeer peer; // folder exists, nobody listens
    HRIL h = (HRIL)1;
    Recorder r;
    EXPECT_TRUE(FAILED(RIL_Initialize(1, OnResult, OnNotify, RIL_NCLASS_NETWORK, 0, &h)));
    EXPECT_EQ(nullptr, h);
}

TEST_F(RilTest, RegistrationChangesReachNetworkWatchersOnly) {
    Recorder watcher, other;
    HRIL a = Open(&watcher, RIL_NCLASS_NETWORK);
    ASSERT_TRUE(peer_.WaitForCommands(1));
    EXPECT_EQ("AT+CREG=1", peer_.Commands()[0]);
    HRIL b = Open(&other, RIL_NCLASS_DEVSPECIFIC);
    ASSERT_TRUE(peer_.WaitForSessions(2));

    peer_.Send("\r\n+CREG: 1\r\n");
    peer_.Send("\r\n+CREG: 5\r\n\r\n+CREG: 0\r\n");
    peer_.Send("\r\n+CREG: 2,\"00C3\",\"1A2B\"\r\n\r\n+CREG: 3\r\n");
    ASSERT_TRUE(watcher.WaitFor(5));
    std::vector<DWORD> statuses;
    for (const auto &e : watcher.Events()) {
        EXPECT_TRUE(e.notification);
        EXPECT_EQ(RIL_NOTIFY_REGSTATUSCHANGED, e.code);
        statuses.push_back(AsDword(e.data));
    }
    EXPECT_EQ((std::vector<DWORD>{RIL_REGSTAT_HOME, RIL_REGSTAT_ROAMING, RIL_REGSTAT_UNREGISTERED,
                                  RIL_REGSTAT_ATTEMPTING, RIL_REGSTAT_DENIED}),
              statuses);
    EXPECT_EQ(S_OK, RIL_Deinitialize(b));
    EXPECT_EQ(S_OK, RIL_Deinitialize(a));
    EXPECT_TRUE(other.Events().empty());
    // Only the watcher asked for registration codes.
    EXPECT_EQ(1u, peer_.Commands().size());
    EXPECT_EQ(E_INVALIDARG, RIL_Deinitialize(a));
}

TEST_F(RilTest, CurrentOperatorIsAnEightyByteRecord) {
    Recorder r;
    HRIL h = Open(&r, 0);
    HRESULT id = RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(r.WaitFor(1));
    Event e = r.Events()[0];
    EXPECT_EQ(RIL_RESULT_OK, e.code);
    EXPECT_EQ(id, e.id);
    ASSERT_EQ(80u, e.data.size());
    EXPECT_EQ(std::string("Example Mobile UK"), std::string(e.data.c_str() + 8));
    EXPECT_EQ((std::vector<std::string>{"AT+COPS=3,0", "AT+COPS?"}), peer_.Commands());

    // A name of 32 characters or more fills the field, unterminated.
    peer_.SetResponder([](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+COPS?")
            return {"\r\n+COPS: 0,0,\"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\",2\r\n\r\nOK\r\n"};
        return Module(c);
    });
    ASSERT_GT(RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG), 0);
    ASSERT_TRUE(r.WaitFor(2));
    e = r.Events()[1];
    ASSERT_EQ(80u, e.data.size());
    EXPECT_EQ(std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"), e.data.substr(8, 32));

    // No operator, or an error: an error result without data.
    peer_.SetResponder([](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+COPS?")
            return {"\r\n+COPS: 0\r\n\r\nOK\r\n"};
        if (c == "AT+COPS=3,0")
            return {"\r\n+CME ERROR: 3\r\n"};
        return Module(c);
    });
    ASSERT_GT(RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG), 0);
    ASSERT_TRUE(r.WaitFor(3));
    EXPECT_EQ(RIL_RESULT_ERROR, r.Events()[2].code);
    EXPECT_FALSE(r.Events()[2].hasData);
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
}

TEST_F(RilTest, EquipmentStateAndDeviceSpecificCommands) {
    Recorder r;
    HRIL h = Open(&r, RIL_NCLASS_DEVSPECIFIC);
    ASSERT_GT(RIL_GetEquipmentState(h), 0);
    ASSERT_TRUE(r.WaitFor(1));
    ASSERT_EQ(sizeof(RILEQUIPMENTSTATE), r.Events()[0].data.size());
    RILEQUIPMENTSTATE state;
    memcpy(&state, r.Events()[0].data.data(), sizeof(state));
    EXPECT_EQ(RIL_RADIOSUPPORT_ON, state.dwRadioSupport);

    // Code 6 and the text without its terminator; the echo and an
    // unsolicited code in the middle of the reply are not part of it.
    BYTE request[4 + 1024] = {6, 0, 0, 0, 'A', 'T', 'I', '1'};
    ASSERT_GT(RIL_DevSpecific(h, request, 8), 0);
    ASSERT_TRUE(r.WaitFor(2));
    EXPECT_EQ(RIL_RESULT_OK, r.Events()[1].code);
    EXPECT_EQ("\r\nMaker\r\nModel\r\n\r\nRev\r\n\r\nOK\r\n", r.Events()[1].data);

    memcpy(request + 4, "AT+BAD", 6);
    ASSERT_GT(RIL_DevSpecific(h, request, 10), 0);
    ASSERT_TRUE(r.WaitFor(3));
    EXPECT_EQ(RIL_RESULT_ERROR, r.Events()[2].code);

    request[0] = 5;
    EXPECT_TRUE(FAILED(RIL_DevSpecific(h, request, 10)));
    request[0] = 6;
    memcpy(request + 4, "AT\rX", 4);
    EXPECT_TRUE(FAILED(RIL_DevSpecific(h, request, 8)));
    EXPECT_TRUE(FAILED(RIL_DevSpecific(h, request, 3)));

    peer_.SetResponder([](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+CFUN?")
            return {"\r\n+CFUN: 0\r\n\r\nOK\r\n"};
        return Module(c);
    });
    ASSERT_GT(RIL_GetEquipmentState(h), 0);
    ASSERT_TRUE(r.WaitFor(4));
    memcpy(&state, r.Events()[3].data.data(), sizeof(state));
    EXPECT_EQ(RIL_RADIOSUPPORT_OFF, state.dwRadioSupport);
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
}

TEST_F(RilTest, DeinitializeFromItsOwnCallbackEndsDelivery) {
    Recorder r;
    HRIL h = nullptr;
    r.hook = [&](const Event &) { EXPECT_EQ(S_OK, RIL_Deinitialize(h)); };
    h = Open(&r, RIL_NCLASS_NETWORK);
    ASSERT_TRUE(peer_.WaitForCommands(1));
    // Two codes in one message: the second must not be delivered.
    peer_.Send("\r\n+CREG: 1\r\n\r\n+CREG: 5\r\n");
    ASSERT_TRUE(r.WaitFor(1));
    std::this_thread::sleep_for(200ms);
    peer_.Send("\r\n+CREG: 1\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(1u, r.Events().size());
    EXPECT_EQ(E_INVALIDARG, RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG));
    EXPECT_EQ(0, peer_.Sessions()); // its AT session ended with it
}

// What a host learns about a driver's instance from the observer: when its
// watch is in place, and what each callback did to its own instance.
TEST_F(RilTest, ObserverSeesWhatEachCallbackDidToItsInstance) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<kxtest::RilEvent> seen;
    kxtest::SetRilObserver([&](const kxtest::RilEvent &e) {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(e);
        changed.notify_all();
    });
    auto waitFor = [&](size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 5s, [&] { return seen.size() >= count; });
    };
    Recorder r;
    HRIL h = nullptr;
    // The home registration asks for the operator; its result closes the
    // instance, as a driver that has settled does.
    r.hook = [&](const Event &e) {
        if (e.notification && AsDword(e.data) == RIL_REGSTAT_HOME) {
            EXPECT_LT(0, RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG));
        } else if (!e.notification) {
            EXPECT_EQ(S_OK, RIL_Deinitialize(h));
        }
    };
    h = Open(&r, RIL_NCLASS_NETWORK);
    ASSERT_TRUE(waitFor(2));
    peer_.Send("\r\n+CREG: 5\r\n");
    ASSERT_TRUE(waitFor(3));
    peer_.Send("\r\n+CREG: 1\r\n");
    ASSERT_TRUE(waitFor(5));
    kxtest::SetRilObserver(nullptr);

    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ(kxtest::RilEvent::Opened, seen[0].kind);
    EXPECT_EQ(kxtest::RilEvent::Watching, seen[1].kind);
    for (const auto &e : seen)
        EXPECT_EQ(h, e.instance);
    // Roaming: a notification that asked for nothing.
    EXPECT_EQ(kxtest::RilEvent::Delivered, seen[2].kind);
    EXPECT_TRUE(seen[2].notification);
    EXPECT_EQ(RIL_REGSTAT_ROAMING, seen[2].status);
    EXPECT_EQ(0, seen[2].commandsQueued);
    EXPECT_FALSE(seen[2].closed);
    // Home: the callback queued the operator query.
    EXPECT_EQ(RIL_REGSTAT_HOME, seen[3].status);
    EXPECT_EQ(1, seen[3].commandsQueued);
    EXPECT_FALSE(seen[3].closed);
    // The operator record, and the callback closed its instance.
    EXPECT_FALSE(seen[4].notification);
    EXPECT_EQ(DWORD(RIL_RESULT_OK), seen[4].code);
    EXPECT_EQ(DWORD(sizeof(RILOPERATORNAMES)), seen[4].size);
    EXPECT_TRUE(seen[4].closed);
}

TEST_F(RilTest, DeinitializeWaitsForARunningCallback) {
    Recorder r;
    std::atomic<bool> inside{false}, finished{false};
    r.hook = [&](const Event &) {
        inside = true;
        std::this_thread::sleep_for(300ms);
        finished = true;
    };
    HRIL h = Open(&r, RIL_NCLASS_NETWORK);
    ASSERT_TRUE(peer_.WaitForCommands(1));
    peer_.Send("\r\n+CREG: 1\r\n");
    while (!inside)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
    EXPECT_TRUE(finished);
    size_t seen = r.Events().size();
    peer_.Send("\r\n+CREG: 5\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(seen, r.Events().size());
}

TEST_F(RilTest, PendingCommandsFailWhenTheModuleGoesAway) {
    Recorder r;
    peer_.SetResponder([](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+COPS?")
            return {}; // never answered
        return Module(c);
    });
    HRIL h = Open(&r, 0);
    ASSERT_GT(RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG), 0);
    ASSERT_TRUE(peer_.WaitForCommands(2));
    peer_.Stop();
    ASSERT_TRUE(r.WaitFor(1));
    EXPECT_EQ(RIL_RESULT_ERROR, r.Events()[0].code);
    // Commands while the port is gone fail through the result callback too.
    ASSERT_GT(RIL_GetEquipmentState(h), 0);
    ASSERT_TRUE(r.WaitFor(2));
    EXPECT_EQ(RIL_RESULT_ERROR, r.Events()[1].code);
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
}

} // namespace

namespace {

TEST_F(RilTest, UnansweredCommandFailsAfterThirtySecondsThenTheNextRuns) {
    kxtest::SetTimeScale(0.001); // 30000 ms nominal: 30 ms
    Recorder r;
    peer_.SetResponder([](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+COPS?")
            return {};
        return Module(c);
    });
    HRIL h = Open(&r, 0);
    HRESULT first = RIL_GetCurrentOperator(h, RIL_OPFORMAT_LONG);
    HRESULT second = RIL_GetEquipmentState(h);
    ASSERT_TRUE(r.WaitFor(2));
    EXPECT_EQ(first, r.Events()[0].id);
    EXPECT_EQ(RIL_RESULT_ERROR, r.Events()[0].code);
    EXPECT_EQ(second, r.Events()[1].id);
    EXPECT_EQ(RIL_RESULT_OK, r.Events()[1].code);
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
    kxtest::SetTimeScale(1.0);
}

} // namespace

namespace {

TEST_F(RilTest, SessionComesBackWithTheModule) {
    kxtest::SetTimeScale(0.01); // reopen attempts every 10 ms
    Recorder r;
    HRIL h = Open(&r, RIL_NCLASS_NETWORK);
    ASSERT_TRUE(peer_.WaitForCommands(1));
    peer_.Stop();
    peer_.Listen();
    // Reopened, and registration codes asked for again.
    ASSERT_TRUE(peer_.WaitForCommands(2));
    EXPECT_EQ("AT+CREG=1", peer_.Commands()[1]);
    peer_.Send("\r\n+CREG: 1\r\n");
    ASSERT_TRUE(r.WaitFor(1));
    EXPECT_EQ(RIL_REGSTAT_HOME, AsDword(r.Events()[0].data));
    EXPECT_EQ(S_OK, RIL_Deinitialize(h));
    kxtest::SetTimeScale(1.0);
}

} // namespace

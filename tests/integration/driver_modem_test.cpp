// KxCmdApi against kxmodem: open, logon on both channels, data both ways,
// status indications, reopen while the module's ports vanish and return,
// the module's client ids running out and the module restarting, close with
// requests outstanding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <kxhost/kxcmd_library.h>
#include "kxmodem/modem.h"
#include "icmp_echo.h"

namespace {

// kxmodem gives the session on channel n the address 10.64.n.2; any address
// beyond it answers echo requests.
uint32_t SessionAddress(uint32_t channel) {
    return (10u << 24) | (64u << 16) | (channel << 8) | 2u;
}
const uint32_t kEchoPeer = (10u << 24) | (64u << 16) | (255u << 8) | 1u; // 10.64.255.1

using Clock = std::chrono::steady_clock;

std::string BinDirectory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

// The driver is loaded once per process, as a host loads a DLL once.
kxcmd::Api &Driver() {
    static kxcmd::Api api;
    static bool loaded = [] {
        std::string error;
        bool ok = api.Load(BinDirectory() + "/KxCmdApi.so", &error);
        if (!ok)
            fprintf(stderr, "cannot load the driver: %s\n", error.c_str());
        return ok;
    }();
    (void)loaded;
    return api;
}

// Completions and indications, handed over from the driver's threads.
struct Events {
    std::mutex mutex; // guards everything below
    std::condition_variable cv;
    struct Completion {
        uint32_t status;
        std::vector<uint8_t> data;
    };
    std::vector<Completion> completions;
    std::vector<std::pair<uint32_t, uint32_t>> indications; // status, reconfigure

    static void OnCompletion(uint32_t status, const void *data, uint32_t size, void *context) {
        auto *e = static_cast<Events *>(context);
        std::lock_guard<std::mutex> lock(e->mutex);
        const uint8_t *p = static_cast<const uint8_t *>(data);
        e->completions.push_back(
            {status, p ? std::vector<uint8_t>(p, p + size) : std::vector<uint8_t>()});
        e->cv.notify_all();
    }
    static void OnStatus(uint32_t zero, uint32_t status, uint32_t reconfigure, void *context) {
        auto *e = static_cast<Events *>(context);
        std::lock_guard<std::mutex> lock(e->mutex);
        EXPECT_EQ(0u, zero);
        e->indications.emplace_back(status, reconfigure);
        e->cv.notify_all();
    }
    bool WaitCompletions(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms),
                           [&] { return completions.size() >= n; });
    }
    bool WaitIndications(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms),
                           [&] { return indications.size() >= n; });
    }
};

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kx-integration-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        std::string error;
        kxmodem::Options options;
        if (getenv("KXMODEM_TEST_TRACE"))
            options.tracePath = "-";
        ASSERT_TRUE(modem.Start(dir, options, &error)) << error;
        setenv("KX_DEVICE_DIR", dir.c_str(), 1);
        ASSERT_NE(nullptr, Driver().library);
        ASSERT_EQ(1, api.Open());
    }
    void TearDown() override {
        if (api.library)
            api.Close();
        modem.Stop();
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            perror("rm");
    }
    int LogonSync(uint32_t channel, Events *events = nullptr, const char *apn = "kxtel.internet") {
        LogonParameters p{apn, "kxuser", "kxpass", 0, 0, 0};
        LogonCallbacks callbacks{nullptr, nullptr, events ? &Events::OnStatus : nullptr, events};
        return api.Logon(channel, &p, 0, &callbacks);
    }
    // One echo round trip through the channel.
    bool Echo(uint32_t channel, uint16_t seq, size_t size = 84) {
        std::vector<uint8_t> request =
            kxsim::BuildEchoRequest(SessionAddress(channel), kEchoPeer, 7, seq, size - 28);
        uint32_t length = static_cast<uint32_t>(request.size());
        if (!api.Send(channel, request.data(), &length, 2000) || length != request.size())
            return false;
        uint8_t buffer[2048];
        uint32_t got = sizeof buffer;
        if (!api.Receive(channel, buffer, &got, 2000))
            return false;
        return kxsim::IsEchoReply(buffer, got, SessionAddress(channel), kEchoPeer, 7, seq);
    }

    std::string dir;
    kxmodem::Modem modem;
    kxcmd::Api &api = Driver();
};

} // namespace

TEST_F(DriverTest, OpenTakesClientIdsAndCloseGivesThemBack) {
    kxmodem::Snapshot s = modem.State();
    EXPECT_EQ(1u, s.wdsClients.size());
    EXPECT_EQ(1u, s.nasClients.size());
    EXPECT_EQ(0, api.Open()); // already open
    EXPECT_EQ(1, api.Close());
    s = modem.State();
    EXPECT_TRUE(s.wdsClients.empty());
    EXPECT_TRUE(s.nasClients.empty());
    EXPECT_EQ(0, api.Close());
    EXPECT_EQ(1, api.Open());
}

TEST_F(DriverTest, BothChannelsCarryDataAndAnswerQueries) {
    Events events;
    ASSERT_EQ(1, LogonSync(0, &events));
    LogonParameters p{"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
    LogonCallbacks async{&Events::OnCompletion, &events, nullptr, nullptr};
    ASSERT_EQ(1, api.Logon(1, &p, 0, &async));
    ASSERT_TRUE(events.WaitCompletions(1));
    EXPECT_EQ(1u, events.completions[0].status);

    kxmodem::Snapshot s = modem.State();
    ASSERT_EQ(2u, s.sessions.size());
    for (uint16_t i = 1; i <= 5; ++i) {
        EXPECT_TRUE(Echo(0, i));
        EXPECT_TRUE(Echo(1, static_cast<uint16_t>(100 + i), 1500));
    }
    uint32_t state = 0;
    EXPECT_EQ(1, api.ConnectionState(1, nullptr, nullptr, &state));
    EXPECT_EQ(2u, state);
    ChannelRates rates{};
    EXPECT_EQ(1, api.ChannelRate(0, nullptr, nullptr, &rates));
    EXPECT_EQ(384000u, rates.currentTxRate);
    EXPECT_EQ(7200000u, rates.maxRxRate);
    ASSERT_EQ("ok", modem.Control("signal -83 5"));
    ASSERT_EQ(1, api.GetSignalStrength(&Events::OnCompletion, &events));
    ASSERT_TRUE(events.WaitCompletions(2));
    EXPECT_EQ(1u, events.completions[1].status);
    EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(-83), 5}), events.completions[1].data);

    EXPECT_EQ(1, api.Logoff(0, nullptr, nullptr));
    EXPECT_EQ(1, api.Logoff(1, nullptr, nullptr));
    EXPECT_TRUE(modem.State().sessions.empty());
    EXPECT_EQ(0u, modem.State().counters.dataDroppedInvalid);
}

TEST_F(DriverTest, RejectedLogonLeavesTheChannelIdle) {
    EXPECT_EQ(0, LogonSync(0, nullptr, "no.such.apn"));
    EXPECT_TRUE(modem.State().sessions.empty());
    uint32_t state = 9;
    EXPECT_EQ(0, api.ConnectionState(0, nullptr, nullptr, &state)); // port closed again
    EXPECT_EQ(1, LogonSync(0));
    EXPECT_TRUE(Echo(0, 1));
}

TEST_F(DriverTest, StatusIndicationsReachTheListener) {
    Events events;
    ASSERT_EQ(1, LogonSync(0, &events));
    ASSERT_TRUE(events.WaitIndications(1));
    EXPECT_EQ(std::make_pair(2u, 0u), events.indications[0]);
    ASSERT_EQ("ok", modem.Control("reconfigure"));
    ASSERT_TRUE(events.WaitIndications(2));
    EXPECT_EQ(std::make_pair(2u, 1u), events.indications[1]);
    ASSERT_EQ("ok 1", modem.Control("disconnect 0"));
    ASSERT_TRUE(events.WaitIndications(3));
    EXPECT_EQ(std::make_pair(1u, 0u), events.indications[2]);
    uint32_t state = 0;
    EXPECT_EQ(1, api.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_EQ(1u, state);
    // After logoff the listener is silent.
    api.Logoff(0, nullptr, nullptr);
    ASSERT_EQ("ok", modem.Control("reconfigure"));
    EXPECT_FALSE(events.WaitIndications(4, 300));
}

TEST_F(DriverTest, ReopenWhileThePortsVanishAndReturn) {
    ASSERT_EQ(1, LogonSync(0));
    ASSERT_TRUE(Echo(0, 1));
    ASSERT_EQ("ok", modem.Control("vanish all 300"));
    auto t0 = Clock::now();
    EXPECT_EQ(1, api.Reopen(5000));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              250);
    // Same client ids, same session: the driver carries on.
    uint32_t state = 0;
    EXPECT_EQ(1, api.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_EQ(2u, state);
    EXPECT_TRUE(Echo(0, 2));

    // Ports that stay away past the limit: the reopen fails and the reader
    // thread ends, so the host closes and opens the driver again.
    ASSERT_EQ("ok", modem.Control("vanish all"));
    EXPECT_EQ(0, api.Reopen(200));
    ASSERT_EQ("ok", modem.Control("restore all"));
    t0 = Clock::now();
    api.Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              5000);
    ASSERT_EQ("ok 1", modem.Control("disconnect all")); // the old call, now nobody's
    ASSERT_EQ(1, api.Open());
    ASSERT_EQ(1, LogonSync(0));
    EXPECT_TRUE(Echo(0, 3));
}

// The module hands out 32 client ids per service. A close whose releases
// cannot reach it (the control port vanished) leaves its ids held; the
// driver has no means to get them back, so once none is left every open is
// refused, until the module restarts and forgets them.
TEST_F(DriverTest, OpenIsRefusedOnceTheModuleHasNoClientIdLeft) {
    // A refused open gives back the id it did obtain: WDS granted, NAS
    // refused as exhausted.
    ASSERT_EQ(1, api.Close());
    ASSERT_EQ("ok", modem.Control("fault delay 1 service=ctl msg=34 count=1"));
    ASSERT_EQ("ok", modem.Control("fault reject 5 service=ctl msg=34 count=1"));
    EXPECT_EQ(0, api.Open());
    EXPECT_TRUE(modem.State().wdsClients.empty());
    ASSERT_EQ(1, api.Open());

    int rounds = 0;
    do {
        ASSERT_EQ("ok", modem.Control("vanish KXC1"));
        EXPECT_EQ(0, api.Close()); // neither release reaches the module
        ASSERT_EQ("ok", modem.Control("restore KXC1"));
    } while (++rounds < 40 && api.Open());
    EXPECT_EQ(32, rounds); // each open held a pair of ids, the 33rd is refused
    kxmodem::Snapshot full = modem.State();
    EXPECT_EQ(32u, full.wdsClients.size());
    EXPECT_EQ(32u, full.nasClients.size());
    // Refused again, leaving the driver closed and nothing more held.
    EXPECT_EQ(0, api.Open());
    uint32_t state = 0;
    EXPECT_EQ(0, api.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_EQ(0, api.Close());
    EXPECT_EQ(full.wdsClients, modem.State().wdsClients);
    EXPECT_EQ(full.nasClients, modem.State().nasClients);

    ASSERT_EQ("ok", modem.Control("reset"));
    ASSERT_EQ("ok", modem.Control("restore all"));
    ASSERT_EQ(1, api.Open());
    ASSERT_EQ(1, LogonSync(0));
    EXPECT_TRUE(Echo(0, 1));
    EXPECT_EQ(1, api.Logoff(0, nullptr, nullptr));
    EXPECT_EQ(1, api.Close());
    EXPECT_TRUE(modem.State().wdsClients.empty());
    EXPECT_TRUE(modem.State().nasClients.empty());
    ASSERT_EQ(1, api.Open());
}

// A module that restarts under an open driver has forgotten its client ids
// and its call: the reopened driver's requests are refused, its close
// cannot release anything (and says so), and a new open starts afresh.
TEST_F(DriverTest, ModuleRestartUnderAnOpenDriver) {
    ASSERT_EQ(1, LogonSync(0));
    ASSERT_EQ("ok", modem.Control("reset 300"));
    EXPECT_EQ(1, api.Reopen(5000));
    EXPECT_TRUE(modem.State().sessions.empty());
    Events events;
    ASSERT_EQ(1, api.GetSignalStrength(&Events::OnCompletion, &events));
    ASSERT_TRUE(events.WaitCompletions(1));
    EXPECT_EQ(0u, events.completions[0].status); // unknown client id
    EXPECT_EQ(0, api.Close());
    ASSERT_EQ(1, api.Open());
    ASSERT_EQ(1, LogonSync(0));
    EXPECT_TRUE(Echo(0, 2));
}

TEST_F(DriverTest, CloseEndsOutstandingRequests) {
    Events events;
    ASSERT_EQ("ok", modem.Control("fault drop service=nas count=always"));
    ASSERT_EQ(1, api.GetSignalStrength(&Events::OnCompletion, &events));
    ASSERT_EQ(1, api.GetSignalStrength(&Events::OnCompletion, &events));
    EXPECT_EQ(1, api.Close());
    ASSERT_TRUE(events.WaitCompletions(2, 0)); // already called when Close returned
    EXPECT_EQ(0u, events.completions[0].status);
    EXPECT_EQ(0u, events.completions[1].status);
}

TEST_F(DriverTest, LogoffAbortsAStartStillComingUp) {
    ASSERT_EQ("ok", modem.Control("connect-delay 500"));
    Events events;
    LogonParameters p{"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
    LogonCallbacks async{&Events::OnCompletion, &events, nullptr, nullptr};
    ASSERT_EQ(1, api.Logon(0, &p, 0, &async));
    EXPECT_EQ(1, api.Logoff(0, nullptr, nullptr)); // the abort was accepted
    ASSERT_TRUE(events.WaitCompletions(1));
    EXPECT_EQ(0u, events.completions[0].status); // the start ended as aborted
    EXPECT_TRUE(modem.State().sessions.empty());
    ASSERT_EQ("ok", modem.Control("connect-delay 0"));
    EXPECT_EQ(1, LogonSync(0));
}

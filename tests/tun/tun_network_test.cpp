// The namespaces and TUN interfaces of kxnet, the module's operator network
// (--network tun) and the handheld's TUN bridge, in one process against an
// embedded module. They need root and /dev/net/tun and skip without them.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "icmp_echo.h"
#include "kxmodem/modem.h"
#include "kxnet/command.h"
#include "kxnet/netns.h"
#include "kxnet/signals.h"
#include "kxnet/tun.h"
#include "packet_channel.h"
#include "qmi_session.h"
#include "tun_bridge.h"

namespace {

#define SKIP_WITHOUT_NETWORK_RIGHTS()                                                              \
    do {                                                                                           \
        std::string problem = kxnet::NetworkPrerequisiteProblem();                                 \
        if (!problem.empty())                                                                      \
            GTEST_SKIP() << problem;                                                               \
    } while (0)

std::string Unique(const std::string &prefix) {
    return prefix + std::to_string(getpid());
}

bool NamespaceExists(const std::string &name) {
    struct stat st;
    return stat(("/run/netns/" + name).c_str(), &st) == 0;
}

bool InterfaceExists(const std::string &ns, const std::string &name) {
    return kxnet::RunIp(ns, {"link", "show", "dev", name});
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kxtun-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { kxnet::Run({"rm", "-rf", path_}); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

TEST(Kxnet, NamespaceAndInterfaceAreRemovedWithTheirOwners) {
    SKIP_WITHOUT_NETWORK_RIGHTS();
    std::string name = Unique("kxtest-ns-");
    std::string error;
    {
        kxnet::NetNamespace ns;
        ASSERT_TRUE(ns.Create(name, &error)) << error;
        EXPECT_TRUE(NamespaceExists(name));
        kxnet::NetNamespace twin;
        EXPECT_FALSE(twin.Create(name, &error)); // taken: reported, and not removed by twin
        EXPECT_NE(std::string::npos, error.find(name)) << error;

        kxnet::TunInterface tun;
        kxnet::TunConfig config;
        config.name = "kxtest0";
        config.address = "10.99.0.1/24";
        ASSERT_TRUE(tun.Open(ns, config, &error)) << error;
        EXPECT_TRUE(InterfaceExists(name, "kxtest0"));
        // The interface lives in the namespace only, not where the test runs.
        EXPECT_FALSE(kxnet::Run({"ip", "link", "show", "dev", "kxtest0"}));
        tun.Close();
        EXPECT_FALSE(InterfaceExists(name, "kxtest0"));

        config.name = "a-name-too-long-for-linux";
        EXPECT_FALSE(tun.Open(ns, config, &error));
        EXPECT_EQ(-1, tun.fd());
        config.name = "kxtest1";
        config.address = "not-an-address";
        EXPECT_FALSE(tun.Open(ns, config, &error));
        EXPECT_NE(std::string::npos, error.find("kxtest1")) << error;
        EXPECT_FALSE(InterfaceExists(name, "kxtest1")); // a failed configuration leaves nothing
    }
    EXPECT_FALSE(NamespaceExists(name));
}

TEST(Kxnet, StaleNamespacesOfEndedProcessesAreRemoved) {
    SKIP_WITHOUT_NETWORK_RIGHTS();
    pid_t child = kxnet::Spawn({"true"});
    ASSERT_GT(child, 0);
    kxnet::WaitChild(child); // a process id that no longer runs
    std::string stale = "kxtest-stale-" + std::to_string(child);
    std::string alive = Unique("kxtest-stale-");
    ASSERT_TRUE(kxnet::Run({"ip", "netns", "add", stale}));
    ASSERT_TRUE(kxnet::Run({"ip", "netns", "add", alive}));
    EXPECT_EQ(1, kxnet::RemoveStaleNamespaces("kxtest-stale-"));
    EXPECT_FALSE(NamespaceExists(stale));
    EXPECT_TRUE(NamespaceExists(alive));
    kxnet::Run({"ip", "netns", "delete", alive});
}

TEST(Kxnet, StopSignalsTurnATerminationIntoAStopRequest) {
    int seen = 0;
    {
        kxnet::StopSignals stop([&](int sig) { seen = sig; });
        EXPECT_FALSE(stop.WaitFor(50));
        kill(getpid(), SIGTERM); // blocked here: only the watcher takes it
        EXPECT_TRUE(stop.WaitFor(5000));
        EXPECT_TRUE(stop.stopped());
        EXPECT_EQ(SIGTERM, stop.signal());
    }
    EXPECT_EQ(SIGTERM, seen);
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGTERM)); // the caller's mask is back
    kxnet::StopSignals byProgram;
    std::thread later([&] { byProgram.RequestStop(); });
    EXPECT_TRUE(byProgram.WaitFor(-1));
    later.join();
}

class TunNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_NETWORK_RIGHTS();
        kxmodem::Options options;
        options.network = "tun";
        options.networkNamespace = opNamespace;
        std::string error;
        ASSERT_TRUE(modem.Start(dir.path(), options, &error)) << error;
    }

    // A data port with a session on it, started over the control port.
    void Logon() {
        std::string error;
        ASSERT_TRUE(data.Open(dir.path(), 0, &error)) << error;
        ASSERT_TRUE(session.Start(dir.path(), {"kxtel.internet", "kxuser", "kxpass"}, &error))
            << error;
    }

    // Sends an echo request from `source` to the operator side; true when
    // its reply comes back on the data port.
    bool Ping(uint32_t source, uint16_t sequence) {
        uint32_t op = kxsim::ParseIPv4("10.64.255.1");
        auto request = kxsim::BuildEchoRequest(source, op, 0x4B58, sequence, 32);
        if (!data.Send(request.data(), static_cast<uint32_t>(request.size())))
            return false;
        uint8_t buffer[2048];
        for (int i = 0; i < 10; ++i) { // other packets (none expected) are skipped
            long n = data.Receive(buffer, sizeof buffer, 1000);
            if (n <= 0)
                return false;
            if (kxsim::IsEchoReply(buffer, static_cast<size_t>(n), source, op, 0x4B58, sequence))
                return true;
        }
        return false;
    }

    std::string opNamespace = Unique("kxtest-op-");
    TempDir dir;
    kxmodem::Modem modem;
    kxsim::SocketChannel data;
    kxsim::QmiSession session;
};

TEST_F(TunNetworkTest, SessionReachesTheOperatorsStackAndSpoofedSourcesAreDropped) {
    ASSERT_TRUE(NamespaceExists(opNamespace));
    ASSERT_TRUE(InterfaceExists(opNamespace, "kxop0"));
    Logon();
    uint32_t own = kxsim::ParseIPv4("10.64.0.2");
    EXPECT_TRUE(Ping(own, 1)); // answered by the kernel in the operator's namespace
    EXPECT_TRUE(Ping(own, 2));
    EXPECT_FALSE(Ping(kxsim::ParseIPv4("10.64.0.99"), 3));
    kxmodem::Counters counters = modem.State().counters;
    EXPECT_EQ(1u, counters.dataDroppedInvalid);
    EXPECT_EQ(2u, counters.dataOut);

    // Once the session is down, traffic from the operator's side goes nowhere.
    session.Stop();
    EXPECT_FALSE(kxnet::Run(
        {"ip", "netns", "exec", opNamespace, "ping", "-c", "1", "-W", "1", "10.64.0.2"}));
    EXPECT_GE(modem.State().counters.dataDroppedNoSession, 1u);
}

TEST_F(TunNetworkTest, StopRemovesTheOperatorsNamespace) {
    modem.Stop();
    EXPECT_FALSE(NamespaceExists(opNamespace));
}

TEST(TunNetworkStart, FailsCleanlyWhenTheNamespaceIsTaken) {
    SKIP_WITHOUT_NETWORK_RIGHTS();
    std::string name = Unique("kxtest-taken-");
    kxnet::NetNamespace taken;
    std::string error;
    ASSERT_TRUE(taken.Create(name, &error)) << error;
    TempDir dir;
    kxmodem::Modem modem;
    kxmodem::Options options;
    options.network = "tun";
    options.networkNamespace = name;
    EXPECT_FALSE(modem.Start(dir.path(), options, &error));
    EXPECT_NE(std::string::npos, error.find(name)) << error;
    EXPECT_FALSE(modem.Running());
    EXPECT_TRUE(NamespaceExists(name)); // someone else's: left alone
    options.network = "carrier-pigeon";
    EXPECT_FALSE(modem.Start(dir.path(), options, &error));
}

TEST_F(TunNetworkTest, BridgeRunsTheCommandInsideTheHandheldsNamespaceAndCleansUp) {
    Logon();
    std::string hh = Unique("kxtest-hh-");
    kxsim::TunBridgeOptions options;
    options.address = "10.64.0.2";
    options.namespaceName = hh;
    options.quiet = true;
    // Inside, the session's address is the interface's and the operator is
    // reachable through the default route; the command's status is returned.
    options.exec = "ip -4 addr show dev kxtun0 | grep -q 10.64.0.2/32 && "
                   "ping -c 2 -i 0.2 -W 2 10.64.255.1 >/dev/null && exit 7";
    kxsim::TunBridgeStats stats;
    std::string error;
    int status;
    {
        kxnet::StopSignals stop;
        status = kxsim::RunTunBridge(data, options, stop, &stats, &error);
    }
    EXPECT_EQ(7, status) << error;
    EXPECT_GE(stats.packetsUp.load(), 2u);
    EXPECT_GE(stats.packetsDown.load(), 2u);
    EXPECT_FALSE(NamespaceExists(hh));
}

} // namespace

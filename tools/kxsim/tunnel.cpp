// kxsim tunnel: the connection software's data path on the host's real IP
// stack. Loads KxCmdApi, opens it, logs on to a channel, bridges the
// channel to a TUN interface in the handheld's own network namespace
// (see tun_bridge.h) until interrupted or until --exec's command ends, then
// logs off and closes the driver. "--without-driver" starts the session
// with a few plain QMI requests and moves the packets over the data port
// socket itself: the plain relay that the driver path is measured against.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <type_traits>

#include "KxCmdApi.h"
#include "kxnet/netns.h"
#include "kxnet/signals.h"
#include "kxhost/command_line.h"
#include "kxhost/device_folder.h"
#include "kxsim.h"
#include "kxcmd_client.h"
#include "packet_channel.h"
#include "qmi_session.h"
#include "tun_bridge.h"

namespace kxsim {

namespace {

static_assert(std::is_same<DriverChannel::SendFn, decltype(&KxCmdSend)>::value &&
                  std::is_same<DriverChannel::ReceiveFn, decltype(&KxCmdReceive)>::value,
              "the bridge calls KxCmdSend and KxCmdReceive through these types");

const kxhost::Program kCommandLine = {
    "kxsim tunnel",
    "[--device-dir DIR] [--channel 0|1] [--apn A] [--user U]\n"
    "[--password P] [--address A] [--namespace NAME] [--mtu N]\n"
    "[--exec CMD] [--reopen-on-usr1 MS] [--without-driver] [--stats]",
    "Logs on to the module through KxCmdApi and carries the handheld's IP traffic:\n"
    "a TUN interface kxtun0 with the session's address (default 10.64.<channel>.2)\n"
    "and the default route, in network namespace NAME (default kxhh-<pid>), pumped\n"
    "to and from the channel with KxCmdReceive and KxCmdSend, until interrupted or\n"
    "until CMD (run inside the namespace with sh -c) ends; then logs off.\n"
    "Needs root. Exit status: CMD's, else 0; 1 on failure.",
    {
        {"device-dir", "DIR", "the folder of the running module's ports"},
        {"channel", "0|1", "the channel to log on (default 0)"},
        {"apn", "A", "the access point name (default kxtel.internet)"},
        {"user", "U", "the user name (default kxuser)"},
        {"password", "P", "the password (default kxpass)"},
        {"address", "A", "the TUN interface's address (default 10.64.<channel>.2)"},
        {"namespace", "NAME", "the handheld's network namespace (default kxhh-<pid>)"},
        {"mtu", "N", "the TUN interface's MTU, 576 to 65000"},
        {"exec", "CMD", "run CMD inside the namespace (sh -c) and end when it ends"},
        {"reopen-on-usr1", "MS",
         "SIGUSR1 makes it call KxCmdReopen(MS), as the\n"
         "connection software does when the module's ports return"},
        {"without-driver", nullptr,
         "start the session with plain QMI requests and move the\n"
         "packets over the data port socket (the plain relay)"},
        {"stats", nullptr, "print packets, bytes and this process's CPU time at the end"},
    }};

// Calls KxCmdReopen for every SIGUSR1 until the stop request.
void ReopenOnSignal(KxCmdClient &driver, uint32_t ms, kxnet::StopSignals &stop) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    timespec step{0, 100 * 1000 * 1000};
    while (!stop.stopped()) {
        if (sigtimedwait(&usr1, nullptr, &step) != SIGUSR1)
            continue;
        int ok = driver.Reopen(ms);
        fprintf(stderr, "kxsim tunnel: KxCmdReopen(%u) %s\n", ms, ok ? "succeeded" : "failed");
    }
}

} // namespace

struct TunnelOptions {
    std::string deviceDir = kxhost::DefaultDeviceFolder();
    int channel = 0;
    QmiLogon logon{"kxtel.internet", "kxuser", "kxpass"};
    TunBridgeOptions bridge;
    long reopenMs = -1;
    bool withoutDriver = false;
    bool printStats = false;
};

// -1 when the run goes on, else the exit status.
static int ReadOptions(const Args &args, TunnelOptions *o) {
    std::vector<kxhost::Given> given;
    int parsed = kxhost::ParseCommandLine(kCommandLine, args, &given);
    if (parsed >= 0)
        return parsed;
    for (const kxhost::Given &g : given) {
        long n = 0;
        if (g.name == "device-dir") {
            o->deviceDir = g.value;
        } else if (g.name == "channel") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, 1, &n))
                return 2;
            o->channel = static_cast<int>(n);
        } else if (g.name == "apn") {
            o->logon.apn = g.value;
        } else if (g.name == "user") {
            o->logon.user = g.value;
        } else if (g.name == "password") {
            o->logon.password = g.value;
        } else if (g.name == "address") {
            o->bridge.address = g.value;
        } else if (g.name == "namespace") {
            o->bridge.namespaceName = g.value;
        } else if (g.name == "exec") {
            o->bridge.exec = g.value;
        } else if (g.name == "mtu") {
            if (!kxhost::NumberValue(kCommandLine, g, 576, 65000, &n))
                return 2;
            o->bridge.mtu = static_cast<int>(n);
        } else if (g.name == "reopen-on-usr1") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, UINT32_MAX, &n))
                return 2;
            o->reopenMs = n;
        } else if (g.name == "stats") {
            o->printStats = true;
        } else if (g.name == "without-driver") {
            o->withoutDriver = true;
        }
    }
    if (o->bridge.address.empty())
        o->bridge.address = DefaultSessionAddress(o->channel);
    return -1;
}

// The bridge over the module's own ports, without the driver: a QMI
// session of this program's and the data port's socket. False (said why)
// when it could not start; else *status is the bridge's.
static bool BridgeWithoutDriver(const TunnelOptions &o, kxnet::StopSignals &stop,
                                TunBridgeStats *stats, int *status, std::string *error) {
    SocketChannel data;
    QmiSession session;
    if (!data.Open(o.deviceDir, o.channel, error) || !session.Start(o.deviceDir, o.logon, error)) {
        fprintf(stderr, "kxsim tunnel: %s\n", error->c_str());
        return false;
    }
    *status = RunTunBridge(data, o.bridge, stop, stats, error);
    session.Stop();
    return true;
}

// The bridge through KxCmdApi: opened, logged on synchronously, the channel
// bridged (KxCmdReopen on SIGUSR1 when asked), logged off and closed. False
// (said why) when it could not start; else *status is the bridge's.
static bool BridgeThroughDriver(const TunnelOptions &o, kxnet::StopSignals &stop,
                                TunBridgeStats *stats, int *status, std::string *error) {
    KxCmdClient driver;
    if (!driver.Load(error)) {
        fprintf(stderr, "kxsim tunnel: %s\n", error->c_str());
        return false;
    }
    if (!driver.Open()) {
        fprintf(stderr, "kxsim tunnel: KxCmdOpen failed (is the module serving %s?)\n",
                o.deviceDir.c_str());
        return false;
    }
    const uint32_t channel = static_cast<uint32_t>(o.channel);
    LogonParameters parameters{
        o.logon.apn.c_str(), o.logon.user.c_str(), o.logon.password.c_str(), 0, 0, 0};
    LogonCallbacks callbacks{}; // no completion: the logon is synchronous
    if (!driver.Logon(channel, &parameters, 0, &callbacks)) {
        fprintf(stderr, "kxsim tunnel: KxCmdLogon on channel %d failed\n", o.channel);
        driver.Close();
        return false;
    }
    std::thread reopener;
    if (o.reopenMs >= 0)
        reopener =
            std::thread([&] { ReopenOnSignal(driver, static_cast<uint32_t>(o.reopenMs), stop); });
    DriverChannel data(driver.Send, driver.Receive, channel);
    *status = RunTunBridge(data, o.bridge, stop, stats, error);
    stop.RequestStop();
    if (reopener.joinable())
        reopener.join();
    if (!driver.Logoff(channel, nullptr, nullptr))
        fprintf(stderr, "kxsim tunnel: KxCmdLogoff failed\n");
    driver.Close();
    return true;
}

static void PrintStats(const TunBridgeStats &stats) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage); // this process's threads, not the command's
    auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    printf("kxsim tunnel: up %llu packets %llu bytes, down %llu packets %llu bytes, "
           "send failures %llu, receive failures %llu, cpu user %.3f s system %.3f s\n",
           static_cast<unsigned long long>(stats.packetsUp.load()),
           static_cast<unsigned long long>(stats.bytesUp.load()),
           static_cast<unsigned long long>(stats.packetsDown.load()),
           static_cast<unsigned long long>(stats.bytesDown.load()),
           static_cast<unsigned long long>(stats.sendFailures.load()),
           static_cast<unsigned long long>(stats.receiveFailures.load()), seconds(usage.ru_utime),
           seconds(usage.ru_stime));
    fflush(stdout);
}

static int TunnelMain(const Args &args) {
    TunnelOptions o;
    int parsed = ReadOptions(args, &o);
    if (parsed >= 0)
        return parsed;
    std::string problem = kxnet::NetworkPrerequisiteProblem();
    if (!problem.empty()) {
        fprintf(stderr, "kxsim tunnel: %s\n", problem.c_str());
        return 1;
    }
    // The platform finds the module's ports here.
    setenv("KX_DEVICE_DIR", o.deviceDir.c_str(), 1);

    // Blocked before any thread starts, so that only the watchers take them.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    kxnet::StopSignals stop;
    std::string error;
    TunBridgeStats stats;
    int status = 1;
    bool bridged = o.withoutDriver ? BridgeWithoutDriver(o, stop, &stats, &status, &error)
                                   : BridgeThroughDriver(o, stop, &stats, &status, &error);
    if (!bridged)
        return 1;
    if (!error.empty())
        fprintf(stderr, "kxsim tunnel: %s\n", error.c_str());
    if (o.printStats)
        PrintStats(stats);
    if (stop.signal())
        fprintf(stderr, "kxsim tunnel: stopped by signal %d; logged off\n", stop.signal());
    return status;
}

} // namespace kxsim

KXSIM_SUBCOMMAND("tunnel", "carry real IP traffic through the driver (TUN, namespaces; root)",
                 kxsim::TunnelMain);

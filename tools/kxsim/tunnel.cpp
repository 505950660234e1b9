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

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <type_traits>

#include "KxCmdApi.h"
#include "kxnet/netns.h"
#include "kxnet/signals.h"
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

void Usage(FILE *out) {
    fprintf(out,
            "usage: kxsim tunnel [--device-dir DIR] [--channel 0|1] [--apn A] [--user U]\n"
            "                    [--password P] [--address A] [--namespace NAME] [--mtu N]\n"
            "                    [--exec CMD] [--reopen-on-usr1 MS] [--without-driver]\n\n"
            "Logs on to the module through KxCmdApi and carries the handheld's IP traffic:\n"
            "a TUN interface kxtun0 with the session's address (default 10.64.<channel>.2)\n"
            "and the default route, in network namespace NAME (default kxhh-<pid>), pumped\n"
            "to and from the channel with KxCmdReceive and KxCmdSend, until interrupted or\n"
            "until CMD (run inside the namespace with sh -c) ends; then logs off.\n"
            "Needs root. Exit status: CMD's, else 0; 1 on failure.\n"
            "  --reopen-on-usr1 MS  SIGUSR1 makes it call KxCmdReopen(MS), as the\n"
            "                       connection software does when the module's ports return\n"
            "  --without-driver     start the session with plain QMI requests and move the\n"
            "                       packets over the data port socket (the plain relay)\n"
            "  --stats              print packets, bytes and this process's CPU time at the end\n"
            "Defaults: channel 0, APN kxtel.internet, user kxuser, password kxpass.\n");
}

// Calls KxCmdReopen for every SIGUSR1 until the stop request.
void ReopenOnSignal(KxCmdClient &driver, uint32_t ms, kxnet::StopSignals &stop) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    timespec step{0, 100 * 1000 * 1000};
    while (!stop.stopped()) {
        if (sigtimedwait(&usr1, nullptr, &step) != SIGUSR1)
            continue;
        int ok = driver.reopen(ms);
        fprintf(stderr, "kxsim tunnel: KxCmdReopen(%u) %s\n", ms, ok ? "succeeded" : "failed");
    }
}

std::string DefaultDeviceDir() {
    const char *dir = getenv("KX_DEVICE_DIR");
    if (dir && *dir)
        return dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kxsim";
    return "/tmp/kxsim-" + std::to_string(getuid());
}

} // namespace

static int TunnelMain(const Args &args) {
    std::string deviceDir = DefaultDeviceDir();
    int channel = 0;
    QmiLogon logon{"kxtel.internet", "kxuser", "kxpass"};
    TunBridgeOptions bridge;
    long reopenMs = -1;
    bool withoutDriver = false;
    bool printStats = false;
    TunBridgeStats stats;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "kxsim tunnel: %s needs a value\n", a.c_str());
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--device-dir") {
            if (!value(&deviceDir))
                return 2;
        } else if (a == "--channel") {
            if (!value(&v) || (v != "0" && v != "1")) {
                fprintf(stderr, "kxsim tunnel: --channel takes 0 or 1\n");
                return 2;
            }
            channel = v[0] - '0';
        } else if (a == "--apn") {
            if (!value(&logon.apn))
                return 2;
        } else if (a == "--user") {
            if (!value(&logon.user))
                return 2;
        } else if (a == "--password") {
            if (!value(&logon.password))
                return 2;
        } else if (a == "--address") {
            if (!value(&bridge.address))
                return 2;
        } else if (a == "--namespace") {
            if (!value(&bridge.namespaceName))
                return 2;
        } else if (a == "--exec") {
            if (!value(&bridge.exec))
                return 2;
        } else if (a == "--mtu") {
            if (!value(&v) || atoi(v.c_str()) < 576 || atoi(v.c_str()) > 65000) {
                fprintf(stderr, "kxsim tunnel: --mtu takes 576 to 65000\n");
                return 2;
            }
            bridge.mtu = atoi(v.c_str());
        } else if (a == "--reopen-on-usr1") {
            if (!value(&v) || atol(v.c_str()) < 0) {
                fprintf(stderr, "kxsim tunnel: --reopen-on-usr1 takes milliseconds\n");
                return 2;
            }
            reopenMs = atol(v.c_str());
        } else if (a == "--stats") {
            printStats = true;
        } else if (a == "--without-driver") {
            withoutDriver = true;
        } else {
            fprintf(stderr, "kxsim tunnel: unknown option '%s' (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (bridge.address.empty())
        bridge.address = DefaultSessionAddress(channel);
    std::string problem = kxnet::NetworkPrerequisiteProblem();
    if (!problem.empty()) {
        fprintf(stderr, "kxsim tunnel: %s\n", problem.c_str());
        return 1;
    }
    // The platform finds the module's ports here.
    setenv("KX_DEVICE_DIR", deviceDir.c_str(), 1);

    // Blocked before any thread starts, so that only the watchers take them.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    kxnet::StopSignals stop;
    std::string error;
    int status;

    if (withoutDriver) {
        SocketChannel data;
        QmiSession session;
        if (!data.Open(deviceDir, channel, &error) || !session.Start(deviceDir, logon, &error)) {
            fprintf(stderr, "kxsim tunnel: %s\n", error.c_str());
            return 1;
        }
        status = RunTunBridge(data, bridge, stop, &stats, &error);
        session.Stop();
    } else {
        KxCmdClient driver;
        if (!driver.Load(&error)) {
            fprintf(stderr, "kxsim tunnel: %s\n", error.c_str());
            return 1;
        }
        if (!driver.open()) {
            fprintf(stderr, "kxsim tunnel: KxCmdOpen failed (is the module serving %s?)\n",
                    deviceDir.c_str());
            return 1;
        }
        LogonParameters parameters{
            logon.apn.c_str(), logon.user.c_str(), logon.password.c_str(), 0, 0, 0};
        LogonCallbacks callbacks{}; // no completion: the logon is synchronous
        if (!driver.logon(static_cast<uint32_t>(channel), &parameters, 0, &callbacks)) {
            fprintf(stderr, "kxsim tunnel: KxCmdLogon on channel %d failed\n", channel);
            driver.close();
            return 1;
        }
        std::thread reopener;
        if (reopenMs >= 0)
            reopener =
                std::thread([&] { ReopenOnSignal(driver, static_cast<uint32_t>(reopenMs), stop); });
        DriverChannel data(driver.send, driver.receive, static_cast<uint32_t>(channel));
        status = RunTunBridge(data, bridge, stop, &stats, &error);
        stop.RequestStop();
        if (reopener.joinable())
            reopener.join();
        if (!driver.logoff(static_cast<uint32_t>(channel), nullptr, nullptr))
            fprintf(stderr, "kxsim tunnel: KxCmdLogoff failed\n");
        driver.close();
    }
    if (!error.empty())
        fprintf(stderr, "kxsim tunnel: %s\n", error.c_str());
    if (printStats) {
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
               static_cast<unsigned long long>(stats.receiveFailures.load()),
               seconds(usage.ru_utime), seconds(usage.ru_stime));
        fflush(stdout);
    }
    if (stop.signal())
        fprintf(stderr, "kxsim tunnel: stopped by signal %d; logged off\n", stop.signal());
    return status;
}

} // namespace kxsim

KXSIM_SUBCOMMAND("tunnel", "carry real IP traffic through the driver (TUN, namespaces; root)",
                 kxsim::TunnelMain);

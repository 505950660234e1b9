// kxsim connect: the connection software's stand-in. Loads KxCmdApi by path,
// brings a packet connection up on one channel, shows what the module
// reports, pings through the data channel, and takes the connection down,
// printing each step. Starts an embedded kxmodem unless --device-dir names a
// folder where one is running.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "device_folder.h"
#include "icmp_echo.h"
#include "kx_platform_test.h"
#include <kxhost/kxcmd_library.h>
#include "kxhost/command_line.h"
#include "kxmodem/modem.h"
#include "kxnet/netns.h"
#include "kxsim.h"
#include "logon_reply.h"
#include "tun_bridge.h"
#include "wait_notice.h"

namespace {

// kxmodem gives the session on channel n the address 10.64.n.2; any address
// beyond it answers echo requests.
uint32_t SessionAddress(uint32_t channel) {
    return (10u << 24) | (64u << 16) | (channel << 8) | 2u;
}
const uint32_t kEchoPeer = (10u << 24) | (64u << 16) | (255u << 8) | 1u; // 10.64.255.1

struct Options {
    uint32_t channel = 0;
    std::string apn = "kxtel.internet";
    std::string user = "kxuser";
    std::string password = "kxpass";
    bool async = false;
    long count = 4;
    std::string deviceDir; // "" = embedded module
    std::string trace;
    bool tun = false; // real IP traffic through a TUN interface (tun_bridge.h)
    std::string exec; // with tun: command run in the handheld's namespace
};

// One asynchronous outcome, handed from the driver's reader thread.
struct Completion {
    std::mutex mutex; // guards the fields below
    std::condition_variable cv;
    bool done = false;
    uint32_t status = 0;
    uint8_t data[16] = {};
    uint32_t size = 0;

    static void Callback(uint32_t status, const void *data, uint32_t size, void *context) {
        auto *c = static_cast<Completion *>(context);
        std::lock_guard<std::mutex> lock(c->mutex);
        c->status = status;
        c->size = size < sizeof c->data ? size : sizeof c->data;
        if (data)
            memcpy(c->data, data, c->size);
        c->done = true;
        c->cv.notify_all();
    }
    bool Wait(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
    }
};

void OnStatus(uint32_t, uint32_t status, uint32_t reconfigure, void *) {
    printf("  indication: packet service status %u%s\n", status,
           reconfigure ? ", reconfiguration requested" : "");
    fflush(stdout);
}

const char *StatusName(uint32_t s) {
    switch (s) {
    case 1:
        return "disconnected";
    case 2:
        return "connected";
    case 3:
        return "suspended";
    case 4:
        return "authenticating";
    default:
        return "unknown";
    }
}

const kxhost::Program kCommandLine = {
    "kxsim connect",
    "[--channel 0|1] [--apn TEXT] [--user TEXT] [--password TEXT]\n"
    "[--async] [--count N] [--device-dir DIR] [--trace FILE|-]\n"
    "[--tun [--exec CMD]]",
    "Loads KxCmdApi.so from kxsim's folder, logs on, shows state, channel rates and\n"
    "signal strength, sends N echo requests through the data channel, logs off.\n"
    "Without --device-dir an embedded kxmodem serves a fresh folder; --trace is its\n"
    "frame trace.",
    {
        {"channel", "0|1", "the channel to log on (default 0)"},
        {"apn", "TEXT", "the access point name (default kxtel.internet)"},
        {"user", "TEXT", "the user name (default kxuser)"},
        {"password", "TEXT", "the password (default kxpass)"},
        {"async", nullptr, "log on asynchronously (the outcome arrives by callback)"},
        {"count", "N", "echo requests through the data channel (default 4)"},
        {"device-dir", "DIR", "the folder of a running module's ports"},
        {"trace", "FILE", "the embedded module's frame trace ('-': standard error)"},
        {"tun", nullptr,
         "instead of the echo requests, carry real IP traffic until interrupted or\n"
         "until CMD ends: a TUN interface with the session's address and the default\n"
         "route in the handheld's network namespace, pumped through KxCmdSend and\n"
         "KxCmdReceive (the embedded module's network is then a TUN interface too;\n"
         "see kxsim tunnel). Needs root"},
        {"exec", "CMD", "with --tun: run CMD in the handheld's namespace (implies --tun)"},
    }};

// -1: go on; otherwise the exit status.
int ParseArgs(const kxsim::Args &args, Options *o) {
    std::vector<kxhost::Given> given;
    int status = kxhost::ParseCommandLine(kCommandLine, args, &given);
    if (status >= 0)
        return status;
    for (const kxhost::Given &g : given) {
        long n = 0;
        if (g.name == "channel") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, 1, &n))
                return 2;
            o->channel = static_cast<uint32_t>(n);
        } else if (g.name == "apn") {
            o->apn = g.value;
        } else if (g.name == "user") {
            o->user = g.value;
        } else if (g.name == "password") {
            o->password = g.value;
        } else if (g.name == "tun") {
            o->tun = true;
        } else if (g.name == "exec") {
            o->exec = g.value;
            o->tun = true;
        } else if (g.name == "async") {
            o->async = true;
        } else if (g.name == "count") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, 100000, &n))
                return 2;
            o->count = n;
        } else if (g.name == "device-dir") {
            o->deviceDir = g.value;
        } else if (g.name == "trace") {
            o->trace = g.value;
        }
    }
    return -1;
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A driver limit in the milliseconds a user waits: platform time is scaled.
unsigned DriverLimitMs(unsigned nominalMs) {
    return static_cast<unsigned>(nominalMs * kxtest::TimeScale());
}
// The driver's limit for one control reply.
const unsigned kReplyLimitMs = 30000;

// Sends `count` echo requests through the channel, until a stop signal;
// returns the replies received.
long Ping(const kxcmd::Api &api, uint32_t channel, long count, const kxnet::StopSignals &stop) {
    const uint32_t me = SessionAddress(channel);
    long replies = 0;
    double min = 0, max = 0, total = 0;
    uint8_t buffer[2048];
    for (long i = 1; i <= count && !stop.stopped(); ++i) {
        uint16_t seq = static_cast<uint16_t>(i);
        std::vector<uint8_t> request = kxsim::BuildEchoRequest(me, kEchoPeer, 0x4B58, seq, 56);
        uint32_t length = static_cast<uint32_t>(request.size());
        auto t0 = std::chrono::steady_clock::now();
        if (!api.Send(channel, request.data(), &length, 1000)) {
            printf("  echo %ld: send failed\n", i);
            continue;
        }
        bool answered = false;
        while (!answered && Ms(std::chrono::steady_clock::now() - t0) < 1000) {
            uint32_t got = sizeof buffer;
            if (!api.Receive(channel, buffer, &got, 1000)) {
                printf("  echo %ld: receive failed\n", i);
                break;
            }
            answered = got > 0 && kxsim::IsEchoReply(buffer, got, me, kEchoPeer, 0x4B58, seq);
            if (answered) {
                double rtt = Ms(std::chrono::steady_clock::now() - t0);
                printf("  echo %ld: reply from 10.64.255.1, %u bytes, time %.3f ms\n", i, got, rtt);
                min = replies == 0 || rtt < min ? rtt : min;
                max = rtt > max ? rtt : max;
                total += rtt;
                ++replies;
            }
        }
        if (!answered)
            printf("  echo %ld: no reply\n", i);
    }
    if (count > 0) {
        printf("echo: %ld sent, %ld replies", count, replies);
        if (replies)
            printf(", round trip min/avg/max %.3f/%.3f/%.3f ms", min, total / replies, max);
        printf("\n");
    }
    return replies;
}

// Says why the logon failed, from what crossed the control port.
void ReportFailedLogon(const kxsim::LogonReplyWatch &reply, unsigned waitedMs) {
    if (!reply.Requested())
        printf("logon: FAILED before a start request reached the module (the data port could "
               "not be opened, or no request slot was free)\n");
    else if (!reply.Answered())
        printf("logon: no reply from the module within the driver's limit (%.*f s)\n",
               waitedMs < 10000 ? 1 : 0, waitedMs / 1000.0);
    else if (!reply.Accepted())
        printf("logon: refused by the module: %s\n", reply.Reason().c_str());
    else
        printf("logon: FAILED although the module accepted the start (the driver did not take "
               "its reply)\n");
}

// Logs on; true when the channel is up. Prints the module's reason when not.
bool LogOn(const kxcmd::Api &api, const Options &o, kxsim::LogonReplyWatch &reply,
           const kxnet::StopSignals &stop) {
    LogonParameters p{o.apn.c_str(), o.user.c_str(), o.password.c_str(), 0, 0, 0};
    Completion logon;
    LogonCallbacks callbacks{o.async ? &Completion::Callback : nullptr, &logon, &OnStatus, nullptr};
    printf("logon: channel %u, apn \"%s\", user \"%s\", %s\n", o.channel, o.apn.c_str(),
           o.user.c_str(), o.async ? "asynchronous" : "synchronous");
    reply.Reset();
    unsigned limit = DriverLimitMs(kReplyLimitMs);
    bool up;
    {
        kxsim::WaitNotice notice("the module's reply to the logon", limit);
        up = api.Logon(o.channel, &p, 0, &callbacks) != 0;
    }
    if (up && o.async) {
        printf("logon: request sent, waiting for the module\n");
        kxsim::WaitNotice notice("the logon's completion", limit + 5000);
        // The driver completes the logon within its own limit; a stop
        // signal ends the wait sooner (the close below cancels the logon).
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit + 5000);
        bool done = false;
        while (!done && !stop.stopped() && std::chrono::steady_clock::now() < deadline)
            done = logon.Wait(100);
        up = done && logon.status == 1;
    }
    if (up)
        printf("logon: ok\n");
    else if (!stop.stopped())
        ReportFailedLogon(reply, limit);
    return up;
}

// State, rates and signal strength of an up channel.
void ShowChannel(const kxcmd::Api &api, uint32_t channel) {
    unsigned limit = DriverLimitMs(kReplyLimitMs);
    uint32_t state = 0;
    bool answered;
    {
        kxsim::WaitNotice notice("the module's packet service status", limit);
        answered = api.ConnectionState(channel, nullptr, nullptr, &state) != 0;
    }
    if (answered)
        printf("state: %s (%u)\n", StatusName(state), state);
    else
        printf("state: query failed\n");
    ChannelRates rates{};
    {
        kxsim::WaitNotice notice("the module's channel rates", limit);
        answered = api.ChannelRate(channel, nullptr, nullptr, &rates) != 0;
    }
    if (answered)
        printf("channel rates: current tx %u bps, rx %u bps; max tx %u bps, rx %u bps\n",
               rates.currentTxRate, rates.currentRxRate, rates.maxTxRate, rates.maxRxRate);
    else
        printf("channel rates: query failed\n");
    Completion signal;
    {
        kxsim::WaitNotice notice("the module's signal strength", limit + 5000);
        answered = api.GetSignalStrength(&Completion::Callback, &signal) &&
                   signal.Wait(static_cast<int>(limit + 5000)) && signal.status == 1 &&
                   signal.size == 2;
    }
    if (answered)
        printf("signal strength: %d dBm, radio interface %u\n", static_cast<int8_t>(signal.data[0]),
               signal.data[1]);
    else
        printf("signal strength: query failed\n");
}

// The session once up: echo requests, or real traffic with --tun. Returns
// the exit status it earns; then logs off.
int UseSession(const kxcmd::Api &api, const Options &o, kxnet::StopSignals &stop) {
    ShowChannel(api, o.channel);
    long replies = 0;
    int bridged = 0;
    if (o.tun) {
        kxsim::TunBridgeOptions bridge;
        bridge.address = kxsim::DefaultSessionAddress(static_cast<int>(o.channel));
        bridge.exec = o.exec;
        std::string why;
        bridged = kxsim::BridgeDriverChannel(api.Send, api.Receive, o.channel, bridge, stop, &why);
        if (!why.empty())
            fprintf(stderr, "kxsim connect: %s\n", why.c_str());
        replies = o.count; // no echo requests with --tun
    } else {
        replies = Ping(api, o.channel, o.count, stop);
    }
    bool off;
    {
        kxsim::WaitNotice notice("the module's reply to the logoff", DriverLimitMs(kReplyLimitMs));
        off = api.Logoff(o.channel, nullptr, nullptr) != 0;
    }
    printf("logoff: %s\n", off ? "ok" : "FAILED");
    if (!off || replies != o.count)
        return 1;
    return o.tun ? bridged : 0;
}

// Opens the driver, runs the session, closes. Returns the exit status.
int DriveConnection(const Options &o, kxnet::StopSignals &stop) {
    kxcmd::Api api;
    std::string error;
    const std::string path = kxsim::BuildDirectory() + "/KxCmdApi.so";
    if (!api.Load(path, &error)) {
        fprintf(stderr, "kxsim connect: cannot load the driver: %s\n", error.c_str());
        return 1;
    }
    printf("driver: loaded %s\n", path.c_str());
    // Sees the control port's frames: the reason of a refused logon.
    kxsim::LogonReplyWatch reply;
    int result = 1;
    bool opened;
    {
        kxsim::WaitNotice notice("the module's client ids (open)",
                                 2 * DriverLimitMs(kReplyLimitMs));
        opened = api.Open() != 0;
    }
    if (!opened) {
        fprintf(stderr, "kxsim connect: KxCmdOpen failed (module absent or busy?)\n");
    } else {
        printf("open: ok\n");
        if (!stop.stopped() && LogOn(api, o, reply, stop))
            result = UseSession(api, o, stop);
        bool closed;
        {
            kxsim::WaitNotice notice("the driver's close", 2 * DriverLimitMs(kReplyLimitMs));
            closed = api.Close() != 0;
        }
        printf("close: %s\n", closed ? "ok" : "FAILED");
        if (!closed)
            result = 1;
    }
    api.Unload();
    return result;
}

// The module inside this process, in a new folder `*dir`; false when it did
// not start (reported, its folder removed).
bool StartEmbeddedModule(const Options &o, kxmodem::Modem &modem, std::string *dir) {
    char pattern[] = "/tmp/kxsim-connect-XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("kxsim connect: mkdtemp");
        return false;
    }
    *dir = pattern;
    kxmodem::Options mo;
    mo.tracePath = o.trace;
    mo.network = o.tun ? "tun" : "echo";
    std::string error;
    if (!modem.Start(*dir, mo, &error)) {
        fprintf(stderr, "kxsim connect: cannot start the module: %s\n", error.c_str());
        kxsim::RemoveDeviceFolder(*dir);
        return false;
    }
    printf("module: embedded kxmodem serving %s\n", dir->c_str());
    return true;
}

// A running module's control port is a socket in its folder; false (and
// reported) when there is none.
bool ModuleServes(const std::string &deviceDir) {
    struct stat st;
    if (stat((deviceDir + "/KXC1").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        fprintf(stderr,
                "kxsim connect: no module serves %s (start one with 'kxsim modem "
                "--device-dir %s')\n",
                deviceDir.c_str(), deviceDir.c_str());
        return false;
    }
    printf("module: running kxmodem in %s\n", deviceDir.c_str());
    return true;
}

int ConnectMain(const kxsim::Args &args) {
    Options o;
    int parsed = ParseArgs(args, &o);
    if (parsed >= 0)
        return parsed;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.tun) {
        std::string problem = kxnet::NetworkPrerequisiteProblem();
        if (!problem.empty()) {
            fprintf(stderr, "kxsim connect: --tun: %s\n", problem.c_str());
            return 1;
        }
    }
    // Created before any thread, so that SIGINT and SIGTERM reach its
    // watcher only: a stop ends the session as a normal end does (log off,
    // close, module stopped, its folder removed).
    kxnet::StopSignals stop;

    kxmodem::Modem modem;
    std::string embeddedDir;
    if (o.deviceDir.empty()) {
        if (!StartEmbeddedModule(o, modem, &embeddedDir))
            return 1;
        o.deviceDir = embeddedDir;
    } else if (!ModuleServes(o.deviceDir)) {
        return 1;
    }
    setenv("KX_DEVICE_DIR", o.deviceDir.c_str(), 1);

    int result = DriveConnection(o, stop);
    if (!embeddedDir.empty()) {
        modem.Stop();
        kxsim::RemoveDeviceFolder(embeddedDir);
    }
    if (stop.stopped() && !o.tun) {
        printf("kxsim connect: stopped by signal %d; logged off and closed\n", stop.signal());
        return 128 + stop.signal();
    }
    return result;
}

} // namespace

KXSIM_SUBCOMMAND("connect", "log on through KxCmdApi against the module, ping, log off",
                 ConnectMain);

// Control-path benchmark: the cost of a control request and of a packet,
// measured side by side in one run of interleaved rounds.
//
//  - synchronous WDS Get Packet Service Status requests: KxCmdConnectionState
//    against kxmodem's socket, the same bytes ping-ponged on a raw socket (the
//    floor), a libqmi client against kxmodem's pseudo-terminal and a raw client
//    on the pseudo-terminal (its floor); each pinned to CPU 0 and unpinned;
//  - asynchronous requests with 1, 8 and 32 outstanding, KxCmdApi and libqmi;
//  - 1500-byte packets echoed by the module through KxCmdSend/KxCmdReceive
//    and through raw writes and reads of the data socket;
//  - the TUN path's relay CPU per megabyte against the plain relay
//    (bench/tun_throughput.sh, when this machine can run it);
//  - heap allocations in this process per request and per packet.
//
// Each round runs every variant once, in an order that alternates between
// rounds, so a busy machine slows them alike; a figure is the median over the
// rounds with its spread, and a ratio is taken round by round. CPU time is
// summed over every thread of every process involved (this process with the
// driver's reader thread, the module, the libqmi client). Each kind of client
// has a module process of its own, idle while the others run.
//
// Usage: kx_control_path_bench [--rounds N] [--scale F] [--no-tun]
//        kx_control_path_bench --only VARIANT --count N   (for a profiler)
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "icmp_echo.h"
#include <kxhost/kxcmd_library.h>
#include "processes.h"
#include "raw_clients.h"
#include "series.h"

using namespace kxbench;

namespace {

const size_t kPacketSize = 1500;
// kxmodem gives the session on channel n the address 10.64.n.2; any address
// beyond it answers echo requests.
const uint32_t kSessionAddress = (10u << 24) | (64u << 16) | 2u;         // 10.64.0.2
const uint32_t kEchoPeer = (10u << 24) | (64u << 16) | (255u << 8) | 1u; // 10.64.255.1
const int kInFlight[] = {1, 8, 32};

kxcmd::Api api;

// ---- asynchronous requests through the driver ----------------------------------
// Each completion sends the next request from the reader thread, as an
// event-driven caller would; the caller's thread waits for the last one.
struct AsyncRun {
    std::atomic<long> toSend{0};
    std::atomic<int> chains{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable ended;
};

void EndChain(AsyncRun *run) {
    if (run->chains.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> guard(run->mutex);
        run->ended.notify_all();
    }
}

void OnDriverReply(uint32_t status, const void *, uint32_t, void *context);

// Sends the chain's next request, or ends the chain.
void Continue(AsyncRun *run) {
    if (run->failed || run->toSend.fetch_sub(1) <= 0) {
        EndChain(run);
        return;
    }
    if (!api.ConnectionState(0, OnDriverReply, run, nullptr)) {
        run->failed = true;
        EndChain(run);
    }
}

void OnDriverReply(uint32_t status, const void *, uint32_t, void *context) {
    auto *run = static_cast<AsyncRun *>(context);
    if (status != 1)
        run->failed = true;
    Continue(run);
}

bool DriverAsync(long count, int inFlight) {
    AsyncRun run;
    run.toSend = count;
    run.chains = inFlight;
    for (int i = 0; i < inFlight; ++i)
        Continue(&run);
    std::unique_lock<std::mutex> lock(run.mutex);
    run.ended.wait(lock, [&] { return run.chains.load() == 0; });
    return !run.failed;
}

bool DriverSync(long count) {
    for (long i = 0; i < count; ++i) {
        uint32_t state = 0;
        if (!api.ConnectionState(0, nullptr, nullptr, &state) || state != 2)
            return false;
    }
    return true;
}

bool DriverPackets(long count, const std::vector<uint8_t> &packet) {
    uint8_t buffer[2048];
    for (long i = 0; i < count; ++i) {
        uint32_t length = static_cast<uint32_t>(packet.size()), got = sizeof buffer;
        if (!api.Send(0, packet.data(), &length, 1000) || length != packet.size() ||
            !api.Receive(0, buffer, &got, 1000) || got != packet.size())
            return false;
    }
    return true;
}

// ---- variants and their figures -----------------------------------------------
enum Mode { Pinned, Unpinned, ModeCount };
const char *const kModeName[ModeCount] = {"pinned to CPU 0", "unpinned"};

struct Variant {
    std::string key;
    std::function<bool(long)> run; // runs `count` operations
    std::vector<pid_t> processes;  // besides this one
    long count;
    bool bothModes;                             // also pinned (else unpinned only)
    bool inProcess;                             // counts this process's allocations
    Series wallNs[ModeCount], cpuNs[ModeCount]; // per operation, one value per round
    uint64_t operations = 0, allocations = 0, driverAllocations = 0;
    std::string allocators;
};

struct Setup {
    ModuleProcess driverModule, libqmiModule, ptyModule;
    LibqmiClient libqmi;
    RawSocketControl rawSocket;
    RawPtyControl rawPty;
    RawData rawData;
    bool driver = false, withLibqmi = false;
    std::vector<uint8_t> packet;
    std::vector<Variant> variants;

    Variant *Find(const std::string &key) {
        for (auto &v : variants)
            if (v.key == key)
                return &v;
        return nullptr;
    }
    std::vector<pid_t> AllProcesses() const {
        std::vector<pid_t> all = {0, driverModule.pid()};
        for (pid_t p : {libqmiModule.pid(), ptyModule.pid(), libqmi.pid()})
            if (p > 0)
                all.push_back(p);
        return all;
    }
};

int64_t CpuOf(const std::vector<pid_t> &processes) {
    int64_t sum = ProcessCpuNs(0);
    for (pid_t p : processes)
        sum += ProcessCpuNs(p);
    return sum;
}

bool Measure(Variant &v, Mode mode) {
    int64_t cpu0 = CpuOf(v.processes), t0 = NowNs();
    StartCounting();
    bool ok = v.run(v.count);
    AllocationCount allocated = StopCounting();
    int64_t t1 = NowNs(), cpu1 = CpuOf(v.processes);
    if (!ok) {
        fprintf(stderr, "benchmark: %s failed\n", v.key.c_str());
        return false;
    }
    v.wallNs[mode].Add(static_cast<double>(t1 - t0) / v.count);
    v.cpuNs[mode].Add(static_cast<double>(cpu1 - cpu0) / v.count);
    if (v.inProcess) {
        v.operations += static_cast<uint64_t>(v.count);
        v.allocations += allocated.all;
        v.driverAllocations += allocated.driver;
        if (allocated.all && v.allocators.empty())
            v.allocators = AllocatingCallers();
    }
    return true;
}

bool SetUp(Setup &s, double scale, std::string *error) {
    auto counted = [&](long n) { return std::max(1L, static_cast<long>(n * scale)); };
    if (!s.driverModule.Start(false, error))
        return false;
    setenv("KX_DEVICE_DIR", s.driverModule.dir().c_str(), 1);
    std::string driverError;
    s.driver = api.Load(BinDirectory() + "/KxCmdApi.so", &driverError);
    if (s.driver) {
        FindDriverCode();
        LogonParameters p{"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
        s.driver = api.Open() && api.Logon(0, &p, 0, nullptr);
        if (!s.driver)
            driverError = "KxCmdOpen or KxCmdLogon failed";
    }
    if (!s.driver)
        fprintf(stderr, "benchmark: driver not available (%s): no driver figures\n",
                driverError.c_str());
    if (!s.rawSocket.Open(s.driverModule.dir(), error) ||
        !s.rawData.Open(s.driverModule.dir(), error))
        return false;
    // The raw data socket needs channel 0's session: the driver's, or its own.
    if (!s.driver && !s.rawSocket.StartSession()) {
        *error = "the module did not start a session";
        return false;
    }

    std::string libqmiError;
    s.withLibqmi = s.libqmiModule.Start(true, &libqmiError) &&
                   s.libqmi.Start(s.libqmiModule.pty(), &libqmiError);
    if (!s.withLibqmi)
        fprintf(stderr, "benchmark: libqmi client not available (%s): no libqmi figures\n",
                libqmiError.c_str());
    if (!s.ptyModule.Start(true, error) || !s.rawPty.Open(s.ptyModule.pty(), error))
        return false;

    s.packet = kxsim::BuildEchoRequest(kSessionAddress, kEchoPeer, 1, 1, kPacketSize - 28);
    pid_t dm = s.driverModule.pid();
    auto add = [&](std::string key, std::function<bool(long)> run, std::vector<pid_t> processes,
                   long count, bool bothModes, bool inProcess) {
        Variant v;
        v.key = std::move(key);
        v.run = std::move(run);
        v.processes = std::move(processes);
        v.count = counted(count);
        v.bothModes = bothModes;
        v.inProcess = inProcess;
        s.variants.push_back(std::move(v));
    };
    if (s.driver)
        add("driver-sync", DriverSync, {dm}, 2000, true, true);
    add(
        "raw-socket-sync", [&](long n) { return s.rawSocket.Requests(n); }, {dm}, 2000, true, true);
    if (s.withLibqmi) {
        pid_t lm = s.libqmiModule.pid(), lc = s.libqmi.pid();
        add(
            "libqmi-sync",
            [&](long n) { return s.libqmi.Run(("sync " + std::to_string(n)).c_str()); }, {lm, lc},
            2000, true, false);
    }
    add(
        "raw-pty-sync", [&](long n) { return s.rawPty.Requests(n); }, {s.ptyModule.pid()}, 2000,
        true, true);
    for (int k : kInFlight) {
        if (s.driver)
            add(
                "driver-async" + std::to_string(k), [k](long n) { return DriverAsync(n, k); }, {dm},
                4000, false, true);
        if (s.withLibqmi) {
            pid_t lm = s.libqmiModule.pid(), lc = s.libqmi.pid();
            add(
                "libqmi-async" + std::to_string(k),
                [&s, k](long n) {
                    return s.libqmi.Run(
                        ("async " + std::to_string(n) + " " + std::to_string(k)).c_str());
                },
                {lm, lc}, 4000, false, false);
        }
    }
    if (s.driver)
        add(
            "driver-packet", [&](long n) { return DriverPackets(n, s.packet); }, {dm}, 2000, true,
            true);
    add(
        "raw-packet",
        [&](long n) {
            uint8_t reply[2048];
            for (long i = 0; i < n; ++i)
                if (!s.rawData.Echo(s.packet.data(), s.packet.size(), reply, sizeof reply))
                    return false;
            return true;
        },
        {dm}, 2000, true, true);
    return true;
}

void TearDown(Setup &s) {
    if (s.driver) {
        api.Logoff(0, nullptr, nullptr);
        api.Close();
    }
    s.libqmi.Stop();
}

double LoadAverage() {
    double load = -1;
    FILE *f = fopen("/proc/loadavg", "r");
    if (f) {
        if (fscanf(f, "%lf", &load) != 1)
            load = -1;
        fclose(f);
    }
    return load;
}

// ---- the TUN relay ----------------------------------------------------------------
struct TunFigures {
    bool measured = false;
    std::string why; // when not measured
    std::string report;
    Series relayRatio; // driver / plain relay CPU per megabyte, one per pair of runs
};

TunFigures MeasureTun() {
    TunFigures t;
    if (geteuid() != 0) {
        t.why = "needs root";
        return t;
    }
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
        t.why = "/dev/net/tun is missing";
        return t;
    }
    std::string command = std::string("'") + KX_BENCH_SOURCE_DIR + "/tun_throughput.sh' '" +
                          BinDirectory() + "' 2>&1";
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        t.why = "cannot run tun_throughput.sh";
        return t;
    }
    char line[512];
    while (fgets(line, sizeof line, p)) {
        double ratio;
        if (sscanf(line, "relay-cpu-ratio %*s %lf", &ratio) == 1)
            t.relayRatio.Add(ratio);
        else
            t.report += std::string("  ") + line;
    }
    int status = pclose(p);
    t.measured = status == 0 && !t.relayRatio.Empty();
    if (!t.measured)
        t.why = "tun_throughput.sh failed";
    return t;
}

// ---- the report -------------------------------------------------------------------
struct Goal {
    std::string what;
    bool measured;
    bool met;
    std::string figure;
};

void PrintVariantRow(const char *label, const Variant *v, bool latency) {
    if (!v)
        return;
    printf("  %-26s", label);
    for (int m = 0; m < ModeCount; ++m) {
        if (m == Pinned && !v->bothModes)
            continue;
        if (latency)
            printf(" %-22s", v->wallNs[m].Text(1, 1e-3).c_str());
        printf(" %-22s", v->cpuNs[m].Text(1, 1e-3).c_str());
    }
    printf("\n");
}

Goal RatioGoal(const std::string &what, const Series &ratio, double limit, bool atMost) {
    Goal g{what, !ratio.Empty(), false, ""};
    if (!g.measured)
        return g;
    double median = ratio.Median();
    g.met = atMost ? median <= limit : median >= limit;
    char text[160];
    size_t rounds = atMost ? ratio.CountAtMost(limit) : ratio.CountAtLeast(limit);
    snprintf(text, sizeof text, "%s (goal %s %.2f; %zu of %zu rounds within it)",
             ratio.Text(2).c_str(), atMost ? "at most" : "at least", limit, rounds, ratio.Size());
    g.figure = text;
    return g;
}

int Report(Setup &s, int rounds, double loadBefore, double loadAfter, const TunFigures &tun) {
    printf("\ncontrol path, side by side: %d interleaved rounds; load average %.2f at start, "
           "%.2f at end, %ld CPUs\n",
           rounds, loadBefore, loadAfter, sysconf(_SC_NPROCESSORS_ONLN));
    printf("figures: median [lowest-highest] over the rounds; CPU summed over every thread of "
           "every process involved\n");

    printf("\nsynchronous WDS Get Packet Service Status, per request (us):\n");
    printf("  %-26s %-22s %-22s %-22s %-22s\n", "", "latency, pinned", "CPU, pinned",
           "latency, unpinned", "CPU, unpinned");
    PrintVariantRow("KxCmdApi, socket", s.Find("driver-sync"), true);
    PrintVariantRow("raw socket (floor)", s.Find("raw-socket-sync"), true);
    PrintVariantRow("libqmi, pty", s.Find("libqmi-sync"), true);
    PrintVariantRow("raw pty (floor)", s.Find("raw-pty-sync"), true);

    auto ratio = [&](const char *a, const char *b, bool wall, Mode m) {
        Variant *x = s.Find(a), *y = s.Find(b);
        if (!x || !y)
            return Series();
        return wall ? Series::Ratio(x->wallNs[m], y->wallNs[m])
                    : Series::Ratio(x->cpuNs[m], y->cpuNs[m]);
    };
    printf("\n  ratios, round by round:    %-22s %-22s %-22s %-22s\n", "latency, pinned",
           "CPU, pinned", "latency, unpinned", "CPU, unpinned");
    struct Pair {
        const char *label, *a, *b;
    } pairs[] = {{"KxCmdApi / raw socket", "driver-sync", "raw-socket-sync"},
                 {"libqmi / raw pty", "libqmi-sync", "raw-pty-sync"},
                 {"KxCmdApi / libqmi", "driver-sync", "libqmi-sync"}};
    for (const Pair &p : pairs) {
        printf("  %-26s", p.label);
        for (int m = 0; m < ModeCount; ++m)
            for (bool wall : {true, false})
                printf(" %-22s", ratio(p.a, p.b, wall, static_cast<Mode>(m)).Text(2).c_str());
        printf("\n");
    }

    printf("\nasynchronous requests, unpinned: requests per second (thousands) and CPU per "
           "request (us):\n");
    printf("  %-10s %-22s %-22s %-22s %-22s %-22s\n", "in flight", "KxCmdApi", "libqmi",
           "KxCmdApi / libqmi", "CPU, KxCmdApi", "CPU, libqmi");
    Series async32;
    for (int k : kInFlight) {
        Variant *d = s.Find("driver-async" + std::to_string(k));
        Variant *l = s.Find("libqmi-async" + std::to_string(k));
        auto rate = [](const Variant *v) {
            Series r;
            if (v)
                for (size_t i = 0; i < v->wallNs[Unpinned].Size(); ++i)
                    r.Add(1e6 / v->wallNs[Unpinned].At(i)); // thousands per second
            return r;
        };
        Series dr = rate(d), lr = rate(l), q = Series::Ratio(dr, lr);
        if (k == 32)
            async32 = q;
        printf("  %-10d %-22s %-22s %-22s %-22s %-22s\n", k, dr.Text(1).c_str(), lr.Text(1).c_str(),
               q.Text(2).c_str(), d ? d->cpuNs[Unpinned].Text(1, 1e-3).c_str() : "-",
               l ? l->cpuNs[Unpinned].Text(1, 1e-3).c_str() : "-");
    }

    printf("\n%zu-byte packets echoed by the module, per packet sent and received:\n", kPacketSize);
    printf("  %-26s %-22s %-22s %-22s %-22s\n", "", "MB/s sent, pinned", "CPU us, pinned",
           "MB/s sent, unpinned", "CPU us, unpinned");
    for (const char *key : {"driver-packet", "raw-packet"}) {
        Variant *v = s.Find(key);
        if (!v)
            continue;
        printf("  %-26s", key == std::string("raw-packet") ? "raw write + read (floor)"
                                                           : "KxCmdSend + KxCmdReceive");
        for (int m = 0; m < ModeCount; ++m) {
            Series mbs;
            for (size_t i = 0; i < v->wallNs[m].Size(); ++i)
                mbs.Add(kPacketSize * 1e3 / v->wallNs[m].At(i)); // bytes per us = MB/s
            printf(" %-22s %-22s", mbs.Text(1).c_str(), v->cpuNs[m].Text(2, 1e-3).c_str());
        }
        printf("\n");
    }
    Series packetCpu[ModeCount], packetWall[ModeCount];
    for (int m = 0; m < ModeCount; ++m) {
        packetCpu[m] = ratio("driver-packet", "raw-packet", false, static_cast<Mode>(m));
        packetWall[m] = ratio("raw-packet", "driver-packet", true, static_cast<Mode>(m));
    }
    printf("  %-26s %-22s %-22s %-22s %-22s\n", "KxCmdApi / raw",
           packetWall[Pinned].Text(2).c_str(), packetCpu[Pinned].Text(2).c_str(),
           packetWall[Unpinned].Text(2).c_str(), packetCpu[Unpinned].Text(2).c_str());

    printf("\nTUN relay (bench/tun_throughput.sh):");
    if (tun.measured) {
        printf("\n%s  relay CPU per megabyte, driver / plain, per pair of runs: %s\n",
               tun.report.c_str(), tun.relayRatio.Text(2).c_str());
    } else {
        printf(" not measured: %s\n", tun.why.c_str());
        if (!tun.report.empty())
            printf("%s", tun.report.c_str());
    }

    printf("\nheap allocations in this process (driver and platform), per operation:\n");
    uint64_t requestAllocs = 0, requestOps = 0, packetAllocs = 0, packetOps = 0, driverAllocs = 0;
    for (const Variant &v : s.variants) {
        if (!v.inProcess || v.operations == 0)
            continue;
        printf("  %-26s %.4f (%llu in %llu)%s%s\n", v.key.c_str(),
               static_cast<double>(v.allocations) / v.operations,
               static_cast<unsigned long long>(v.allocations),
               static_cast<unsigned long long>(v.operations), v.allocators.empty() ? "" : ": ",
               v.allocators.c_str());
        if (v.key.rfind("driver-", 0) == 0) {
            bool packet = v.key == "driver-packet";
            (packet ? packetAllocs : requestAllocs) += v.allocations;
            (packet ? packetOps : requestOps) += v.operations;
            driverAllocs += v.driverAllocations;
        }
    }

    std::vector<Goal> goals;
    goals.push_back(RatioGoal("pinned latency, KxCmdApi / raw socket",
                              ratio("driver-sync", "raw-socket-sync", true, Pinned), 1.6, true));
    goals.push_back(RatioGoal("CPU per request (pinned), KxCmdApi / raw socket",
                              ratio("driver-sync", "raw-socket-sync", false, Pinned), 1.5, true));
    goals.push_back(RatioGoal("asynchronous requests per second, 32 in flight, KxCmdApi / libqmi",
                              async32, 2.0, false));
    goals.push_back(
        RatioGoal("CPU per packet (pinned), KxCmdApi / raw", packetCpu[Pinned], 1.2, true));
    goals.push_back(
        RatioGoal("TUN relay CPU per megabyte, driver / plain", tun.relayRatio, 1.15, true));
    {
        Goal g{"heap allocations per request and per packet", requestOps > 0 && packetOps > 0,
               false, ""};
        g.met = g.measured && requestAllocs == 0 && packetAllocs == 0 && driverAllocs == 0;
        char text[128];
        snprintf(text, sizeof text, "%llu in %llu requests, %llu in %llu packets (goal 0)",
                 static_cast<unsigned long long>(requestAllocs),
                 static_cast<unsigned long long>(requestOps),
                 static_cast<unsigned long long>(packetAllocs),
                 static_cast<unsigned long long>(packetOps));
        g.figure = text;
        goals.push_back(g);
    }
    printf("\ngoals (judged on the median of the round-by-round ratios):\n");
    for (const Goal &g : goals)
        printf("  %-13s %s: %s\n",
               !g.measured ? "not measured"
               : g.met     ? "met"
                           : "MISSED",
               g.what.c_str(), g.measured ? g.figure.c_str() : "");
    return 0;
}

int Usage() {
    fprintf(stderr, "usage: kx_control_path_bench [--rounds N] [--scale F] [--no-tun]\n"
                    "       kx_control_path_bench --only VARIANT --count N\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    int rounds = 7;
    double scale = 1;
    bool withTun = true;
    std::string only;
    long onlyCount = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--rounds" && hasValue)
            rounds = atoi(argv[++i]);
        else if (a == "--scale" && hasValue)
            scale = atof(argv[++i]);
        else if (a == "--no-tun")
            withTun = false;
        else if (a == "--only" && hasValue)
            only = argv[++i];
        else if (a == "--count" && hasValue)
            onlyCount = atol(argv[++i]);
        else
            return Usage();
    }
    if (rounds < 1 || !(scale > 0) || (!only.empty() && onlyCount < 1))
        return Usage();
    if (!AllocationCounterWorks()) {
        fprintf(stderr, "benchmark: the allocation counter does not work\n");
        return 1;
    }
    Setup s;
    std::string error;
    if (!SetUp(s, scale, &error)) {
        fprintf(stderr, "benchmark: %s\n", error.c_str());
        TearDown(s);
        return 1;
    }
    int status = 0;
    if (!only.empty()) {
        // One variant, a fixed count, no rounds: instruction counts under a
        // profiler, whose figures per operation come from two counts' difference.
        Variant *v = s.Find(only);
        if (!v) {
            fprintf(stderr, "benchmark: no variant %s; there are:", only.c_str());
            for (auto &x : s.variants)
                fprintf(stderr, " %s", x.key.c_str());
            fprintf(stderr, "\n");
            status = 2;
        } else {
            v->count = onlyCount;
            status = Measure(*v, Unpinned) ? 0 : 1;
            if (status == 0)
                printf("%s: %ld operations, %.1f us each, %.1f us CPU each\n", v->key.c_str(),
                       onlyCount, v->wallNs[Unpinned].At(0) / 1e3, v->cpuNs[Unpinned].At(0) / 1e3);
        }
        TearDown(s);
        return status;
    }

    double loadBefore = LoadAverage();
    fprintf(stderr, "benchmark: %d rounds of %zu variants", rounds, s.variants.size());
    // A first pass warms every path up and is not counted.
    for (Variant &v : s.variants) {
        Variant warm = v;
        warm.count = std::max(1L, v.count / 10);
        if (!Measure(warm, Unpinned)) {
            TearDown(s);
            return 1;
        }
    }
    for (int r = 0; r < rounds && status == 0; ++r) {
        fprintf(stderr, ".");
        for (int m = 0; m < ModeCount && status == 0; ++m) {
            Mode mode = static_cast<Mode>(r % 2 ? ModeCount - 1 - m : m);
            for (pid_t p : s.AllProcesses())
                SetPinned(p, mode == Pinned);
            size_t n = s.variants.size();
            for (size_t i = 0; i < n && status == 0; ++i) {
                Variant &v = s.variants[r % 2 ? n - 1 - i : i];
                if (mode == Pinned && !v.bothModes)
                    continue;
                status = Measure(v, mode) ? 0 : 1;
            }
        }
    }
    for (pid_t p : s.AllProcesses())
        SetPinned(p, false);
    fprintf(stderr, "\n");
    TearDown(s);
    if (status != 0)
        return status;
    TunFigures tun;
    if (withTun)
        tun = MeasureTun();
    else
        tun.why = "--no-tun";
    return Report(s, rounds, loadBefore, LoadAverage(), tun);
}

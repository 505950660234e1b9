// kxsim soak: the whole handheld, again and again, under random module
// faults, checking invariants that must hold whatever the faults:
//  - every asynchronous request that an export accepted calls back exactly
//    once (at the latest when the driver is closed), never twice;
//  - no call takes longer than its time limit allows;
//  - after every close the platform's handles and threads are back where
//    they started, and again after the library is unloaded;
//  - the other hosts (provisioning, control panel) never crash or hang.
// Prints counters at the end; exits 1 when an invariant broke.
#include "child_process.h"
#include "file_copy.h"
#include "icmp_echo.h"
#include "kxcmd_client.h"
#include "kxmodem/modem.h"
#include "kxhost/command_line.h"
#include "kxsim.h"

#include "kx_platform_test.h"

#include <climits>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Nominal platform time runs this much faster than real time during the
// soak, so a dropped reply costs 30000 ms nominal but only 1.5 s real.
const double kTimeScale = 0.05;

struct Counters {
    std::atomic<uint64_t> operations{0}, failures{0}, faults{0}, callbacksExpected{0},
        callbacksReceived{0}, callbacksDoubled{0}, slowCalls{0}, cycles{0}, hostRuns{0},
        hostFailures{0}, leaks{0}, echoes{0}, echoReplies{0};
};

Counters counters;
std::mutex violationsMutex;
std::vector<std::string> violations;

void Violation(const std::string &what) {
    std::lock_guard<std::mutex> guard(violationsMutex);
    if (violations.size() < 20)
        violations.push_back(what);
    printf("  INVARIANT BROKEN: %s\n", what.c_str());
    fflush(stdout);
}

// One context per asynchronous request: counts its callbacks.
struct Pending {
    std::atomic<int> calls{0};
};

void Callback(DWORD, const void *, DWORD, void *context) {
    auto *p = static_cast<Pending *>(context);
    if (p->calls.fetch_add(1) == 0)
        counters.callbacksReceived++;
    else
        counters.callbacksDoubled++;
}

// Runs one export call, counts it and checks it against its limit (real ms).
template <class F>
auto Timed(const char *name, double limitRealMs, F call) -> decltype(call()) {
    auto start = Clock::now();
    auto result = call();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    counters.operations++;
    if (!result)
        counters.failures++;
    if (ms > limitRealMs) {
        counters.slowCalls++;
        Violation(std::string(name) + " took " + std::to_string(static_cast<int>(ms)) +
                  " ms, limit " + std::to_string(static_cast<int>(limitRealMs)) + " ms");
    }
    return result;
}

const char *const kFaults[] = {
    "fault delay 150 count=1",
    "fault drop count=1",
    "fault duplicate count=1",
    "fault malformed count=1",
    "fault malformed flags count=1",
    "fault late 400 count=1",
    "fault reject 14 service=wds count=1",
    "fault reject 3 count=1",
    "vanish all 250",
    "disconnect all",
    "reconfigure",
};

// Real-time limits of the driver's calls at kTimeScale, with room for a
// loaded machine: a control reply 30000 ms nominal; a transfer retries
// across a reopen for up to 10000 ms nominal more.
const double kReplyLimit = 30000 * kTimeScale + 2500;
const double kTransferLimit = (2000 + 10000 + 10000) * kTimeScale + 2500;
const double kCloseLimit = 3 * 30000 * kTimeScale + 1000 * kTimeScale + 3500;

void ConnectionCycle(kxsim::KxCmdClient &d, kxmodem::Modem &modem, std::mt19937 &random,
                     int baselineHandles, int baselineThreads) {
    std::vector<std::unique_ptr<Pending>> pendings;
    auto async = [&]() {
        pendings.push_back(std::make_unique<Pending>());
        return pendings.back().get();
    };
    int channel = static_cast<int>(random() % 2);
    auto inject = [&]() {
        const char *fault = kFaults[random() % (sizeof kFaults / sizeof kFaults[0])];
        modem.Control(fault);
        counters.faults++;
        return std::string(fault).compare(0, 6, "vanish") == 0;
    };

    if (!Timed("KxCmdOpen", kReplyLimit * 2, [&] { return d.Open(); }))
        return;
    if (random() % 2)
        inject();

    LogonParameters p = {};
    p.accessPointName = "kxtel.internet";
    p.userName = "kxuser";
    p.password = "kxpass";
    Pending *logon = async();
    LogonCallbacks cb = {Callback, logon, nullptr, nullptr};
    bool asyncLogon = random() % 2;
    BOOL up = Timed("KxCmdLogon", kReplyLimit,
                    [&] { return d.Logon(channel, &p, 0, asyncLogon ? &cb : nullptr); });
    if (up && asyncLogon) {
        counters.callbacksExpected++;
        for (int i = 0; i < 100 && logon->calls.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    for (int step = 0; step < 6; ++step) {
        switch (random() % 6) {
        case 0: {
            bool vanished = inject();
            if (vanished) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                Timed("KxCmdReopen", 5000 * kTimeScale + 2500, [&] { return d.Reopen(5000); });
            }
            break;
        }
        case 1: {
            Pending *s = async();
            if (Timed("KxCmdGetSignalStrength", kReplyLimit,
                      [&] { return d.GetSignalStrength(Callback, s); }))
                counters.callbacksExpected++;
            break;
        }
        case 2: {
            DWORD state = 0;
            Timed("KxCmdConnectionState", kReplyLimit,
                  [&] { return d.ConnectionState(channel, nullptr, nullptr, &state); });
            break;
        }
        case 3: {
            ChannelRates rates;
            Pending *r = async();
            bool asyncRate = random() % 2;
            if (Timed("KxCmdChannelRate", kReplyLimit,
                      [&] {
                          return asyncRate ? d.ChannelRate(channel, Callback, r, nullptr)
                                           : d.ChannelRate(channel, nullptr, nullptr, &rates);
                      }) &&
                asyncRate)
                counters.callbacksExpected++;
            break;
        }
        default: {
            uint32_t self = 0;
            for (const auto &s : modem.State().sessions)
                if (s.channel == channel)
                    self = kxsim::ParseIPv4(s.address);
            counters.echoes++;
            bool ok = Timed("echo", kTransferLimit * 2, [&] {
                return kxsim::EchoThroughChannel(
                    d, channel, self, static_cast<uint16_t>(counters.echoes.load()), false);
            });
            if (ok)
                counters.echoReplies++;
            break;
        }
        }
    }
    modem.Control("fault clear");
    Timed("KxCmdLogoff", kReplyLimit * 2, [&] { return d.Logoff(channel, nullptr, nullptr); });
    Timed("KxCmdClose", kCloseLimit, [&] { return d.Close(); });

    // Close cancels whatever is still outstanding: every accepted request
    // has called back by now.
    for (auto &pnd : pendings) {
        if (pnd->calls.load() > 1)
            Violation("a callback ran " + std::to_string(pnd->calls.load()) + " times");
    }
    uint64_t expected = counters.callbacksExpected.load();
    uint64_t received = counters.callbacksReceived.load();
    if (received < expected)
        Violation(std::to_string(expected - received) + " accepted request(s) never called back");
    // Late callbacks of this cycle must not be counted against the next.
    counters.callbacksExpected = received;
    counters.callbacksReceived = received;

    // Handles and threads back where they started (the reader may take a
    // moment to end after close).
    bool back = false;
    for (int i = 0; i < 200 && !back; ++i) {
        back = kxtest::OpenHandleCount() == baselineHandles &&
               kxtest::RunningThreadCount() == baselineThreads;
        if (!back)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!back) {
        counters.leaks++;
        Violation("after close: " + std::to_string(kxtest::OpenHandleCount()) + " handles (was " +
                  std::to_string(baselineHandles) + "), " +
                  std::to_string(kxtest::RunningThreadCount()) + " threads (was " +
                  std::to_string(baselineThreads) + ")");
        baselineHandles = kxtest::OpenHandleCount();
    }
}

void HostRun(const std::vector<std::string> &args, const std::string &deviceDir,
             const std::string &registry, int timeoutSeconds) {
    counters.hostRuns++;
    kxsim::ChildResult r = kxsim::RunKxsim(args,
                                           {{"KX_DEVICE_DIR", deviceDir},
                                            {"KX_REGISTRY", registry},
                                            {"KX_DEBUG_LOG", registry + ".debug.log"}},
                                           "      ", timeoutSeconds, false);
    std::string result = r.LineAfter("result: ");
    printf("    kxsim %s -> exit status %d%s%s\n", args[0].c_str(), r.exitStatus,
           result.empty() ? "" : ", ", result.c_str());
    if (r.exitStatus >= 128 || r.exitStatus < 0) {
        counters.hostFailures++;
        Violation("kxsim " + args[0] + " crashed or hung (status " + std::to_string(r.exitStatus) +
                  ")");
    }
}

const kxhost::Program kCommandLine = {
    "kxsim soak",
    "[--seconds N] [--seed N]",
    "Runs the handheld again and again under random module faults: the\n"
    "connection software on KxCmdApi (open, logon, queries, traffic, reopen,\n"
    "logoff, close) and, every few rounds, provisioning and the control panel.\n"
    "Checks that every accepted asynchronous request calls back exactly once,\n"
    "that no call exceeds its limit, that handles and threads come back, and\n"
    "that no host crashes. Prints counters; exits 1 when an invariant broke.",
    {
        {"seconds", "N", "how long to run (default 60)"},
        {"seed", "N", "random seed (default: from the clock; printed)"},
    }};

} // namespace

// -1 when the run goes on, else the exit status.
static int ReadOptions(const kxsim::Args &args, int *seconds, unsigned *seed) {
    std::vector<kxhost::Given> given;
    int status = kxhost::ParseCommandLine(kCommandLine, args, &given);
    if (status >= 0)
        return status;
    for (const kxhost::Given &g : given) {
        long v = 0;
        // Any seed the soak prints can be given back to repeat the run.
        if (g.name == "seconds" && !kxhost::NumberValue(kCommandLine, g, 1, 86400 * 7, &v))
            return 2;
        if (g.name == "seed" && !kxhost::NumberValue(kCommandLine, g, 0, UINT_MAX, &v))
            return 2;
        if (g.name == "seconds")
            *seconds = static_cast<int>(v);
        else
            *seed = static_cast<unsigned>(v);
    }
    return -1;
}

// Rounds until `seconds` have passed: a connection cycle on the loaded
// driver each, and every eighth provisioning and the control panel as
// their own processes, some under a fault; a report every ten seconds.
static void SoakRounds(kxsim::KxCmdClient &d, kxmodem::Modem &modem, std::mt19937 &random,
                       int seconds, const std::string &deviceDir, const std::string &registry) {
    int loadedHandles = kxtest::OpenHandleCount();
    int loadedThreads = kxtest::RunningThreadCount();
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    auto nextReport = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        counters.cycles++;
        ConnectionCycle(d, modem, random, loadedHandles, loadedThreads);
        modem.Control("restore all");
        modem.Control("fault clear");
        if (counters.cycles % 8 == 0) {
            printf("  round %llu: provisioning and control panel\n",
                   (unsigned long long)counters.cycles.load());
            fflush(stdout);
            if (random() % 2)
                modem.Control(kFaults[random() % 4]);
            HostRun(
                {"provision", "--registry", registry, "--device-dir", deviceDir, "--timeout", "4"},
                deviceDir, registry, 60);
            modem.Control("fault clear");
            modem.Control("registration home");
            modem.Control("radio on");
            HostRun({"applet", "--registry", registry, "--device-dir", deviceDir}, deviceDir,
                    registry, 60);
        }
        if (Clock::now() >= nextReport) {
            printf("  %llu rounds, %llu operations, %llu faults so far\n",
                   (unsigned long long)counters.cycles.load(),
                   (unsigned long long)counters.operations.load(),
                   (unsigned long long)counters.faults.load());
            fflush(stdout);
            nextReport += std::chrono::seconds(10);
        }
    }
}

static void PrintCounters(const kxmodem::Snapshot &s, int startHandles, int endHandles,
                          int startThreads, int endThreads) {
    printf("\nsoak counters\n");
    printf("  rounds                     %llu\n", (unsigned long long)counters.cycles.load());
    printf("  operations                 %llu\n", (unsigned long long)counters.operations.load());
    printf("  failures seen              %llu (calls that returned 0, as faults make them)\n",
           (unsigned long long)counters.failures.load());
    printf("  faults injected            %llu\n", (unsigned long long)counters.faults.load());
    printf("  callbacks                  %llu received, %llu doubled\n",
           (unsigned long long)counters.callbacksReceived.load(),
           (unsigned long long)counters.callbacksDoubled.load());
    printf("  echoes                     %llu sent, %llu answered\n",
           (unsigned long long)counters.echoes.load(),
           (unsigned long long)counters.echoReplies.load());
    printf("  slow calls                 %llu\n", (unsigned long long)counters.slowCalls.load());
    printf("  host runs                  %llu (%llu crashed or hung)\n",
           (unsigned long long)counters.hostRuns.load(),
           (unsigned long long)counters.hostFailures.load());
    printf("  handles open               %d at the end (%d at the start)\n", endHandles,
           startHandles);
    printf("  threads                    %d at the end (%d at the start)\n", endThreads,
           startThreads);
    printf("  module                     %llu QMI requests, %llu replies dropped, %llu malformed\n",
           (unsigned long long)s.counters.qmiRequests,
           (unsigned long long)s.counters.repliesDropped,
           (unsigned long long)s.counters.qmiMalformed);
}

// A new working folder with a copy of the shipped registry in it; "" when
// that failed (reported).
static std::string PrepareSoakFolder() {
    char pattern[] = "/tmp/kxsim-soak-XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("kxsim soak: cannot create a working folder");
        return "";
    }
    std::string out = pattern;
    std::string registry = out + "/registry.reg";
    std::string shipped = kxsim::DeviceRoot() + "/platform.reg";
    if (!kxsim::CopyFile(shipped, registry)) {
        fprintf(stderr, "kxsim soak: cannot copy %s to %s\n", shipped.c_str(), registry.c_str());
        return "";
    }
    return out;
}

// The platform's handles and threads before the driver is loaded and after
// it is unloaded again.
struct PlatformCounts {
    int startHandles = 0, startThreads = 0, endHandles = 0, endThreads = 0;
};

// Loads the driver, runs the rounds, unloads it; false when the driver did
// not load (reported).
static bool SoakWithDriver(kxmodem::Modem &modem, std::mt19937 &random, int seconds,
                           const std::string &deviceDir, const std::string &registry,
                           PlatformCounts *counts) {
    counts->startHandles = kxtest::OpenHandleCount();
    counts->startThreads = kxtest::RunningThreadCount();
    {
        kxsim::KxCmdClient d;
        std::string error;
        if (!d.Load(&error)) {
            fprintf(stderr, "kxsim soak: cannot load the driver: %s\n", error.c_str());
            return false;
        }
        SoakRounds(d, modem, random, seconds, deviceDir, registry);
    } // the driver is unloaded here
    counts->endHandles = kxtest::OpenHandleCount();
    counts->endThreads = kxtest::RunningThreadCount();
    if (counts->endHandles != counts->startHandles || counts->endThreads != counts->startThreads)
        Violation("after unload: " + std::to_string(counts->endHandles) + " handles (was " +
                  std::to_string(counts->startHandles) + "), " +
                  std::to_string(counts->endThreads) + " threads (was " +
                  std::to_string(counts->startThreads) + ")");
    return true;
}

static int SoakMain(const kxsim::Args &args) {
    int seconds = 60;
    unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
    int parsed = ReadOptions(args, &seconds, &seed);
    if (parsed >= 0)
        return parsed;

    std::string out = PrepareSoakFolder();
    if (out.empty())
        return 1;
    std::string deviceDir = out + "/dev";
    std::string registry = out + "/registry.reg";

    kxmodem::Modem modem;
    std::string error;
    if (!modem.Start(deviceDir, {}, &error)) {
        fprintf(stderr, "kxsim soak: the module does not start: %s\n", error.c_str());
        return 1;
    }
    setenv("KX_DEVICE_DIR", deviceDir.c_str(), 1);
    kxtest::SetTimeScale(kTimeScale);
    printf("kxsim soak: %d s, seed %u, working folder %s\n", seconds, seed, out.c_str());
    fflush(stdout);

    std::mt19937 random(seed);
    PlatformCounts counts;
    if (!SoakWithDriver(modem, random, seconds, deviceDir, registry, &counts))
        return 1;
    kxmodem::Snapshot s = modem.State();
    modem.Stop();

    PrintCounters(s, counts.startHandles, counts.endHandles, counts.startThreads,
                  counts.endThreads);
    if (violations.empty() && counters.callbacksDoubled == 0) {
        printf("soak: every invariant held\n");
        return 0;
    }
    printf("soak: %zu invariant violation(s)\n", violations.size());
    return 1;
}

KXSIM_SUBCOMMAND("soak", "the whole handheld under random module faults, with invariant checks",
                 SoakMain);

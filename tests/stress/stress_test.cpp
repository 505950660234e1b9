// KxCmdApi under concurrent use while the module misbehaves: several threads
// call all eleven exports at random (open, close and reopen included) while
// a fault thread makes the embedded module delay, drop, duplicate, corrupt
// and reject replies, send late ones, end sessions, make its ports vanish
// and restart. Checked:
//   - every completion callback runs at most once, and exactly once for a
//     call that returned TRUE, by the time the driver is closed (a logoff
//     calls back only when it stopped an interface);
//   - no call takes longer than its time limit allows (the limits of the
//     calls queued before it on the driver lock included);
//   - nothing deadlocks: a watchdog ends the process when the workers stop
//     making progress;
//   - after close the driver is consistent: calls on it fail; it opens and
//     answers again whenever the module has a client id of each service
//     left, and otherwise is refused without holding anything (ids whose
//     Get Client Id reply was lost, or whose release could not reach the
//     module, stay taken there until it restarts; the driver has no way to
//     reclaim them); after a restart of the module it opens, answers and
//     gives both ids back at close; after unload every handle and thread
//     is gone.
// Figures (operations per export, callbacks, faults, the module's client
// ids) are printed.
#include "KxCmdApi.h"

#include <kx_platform_test.h>
#include <kxhost/kxcmd_library.h>
#include <kxmodem/modem.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Platform time runs 50 times faster: the 30000 ms reply limit is 600 ms.
const double kTimeScale = 0.02;
const DWORD kReplyLimit = 30000;
const DWORD kPortReturnLimit = 10000;
// Client ids the module hands out per service at a time.
const size_t kModuleClientIds = 32;

// KxCmdApi.so from the test program's own folder, as a host loads it.
struct Library : kxcmd::Api {
    std::string error;
    bool Load() {
        Dl_info info;
        if (!dladdr(reinterpret_cast<void *>(&kxtest::OpenHandleCount), &info)) {
            error = "the test program's folder is unknown";
            return false;
        }
        std::string folder = info.dli_fname;
        folder = folder.substr(0, folder.rfind('/') + 1);
        return kxcmd::Api::Load(folder + "KxCmdApi.so", &error);
    }
};

// One asynchronous call's completion: how often its callback ran.
struct Pending {
    std::atomic<int> calls{0};
    std::atomic<int> badStatus{0};
    bool returned = false; // what the export returned
    bool passed = false;   // handed to the export as a callback's context
    int op = 0;
};

void Completion(DWORD status, const void *data, DWORD size, void *context) {
    Pending *p = static_cast<Pending *>(context);
    if (status > 1 || (status == 0 && (data != nullptr || size != 0)) || size > 16)
        p->badStatus.fetch_add(1);
    p->calls.fetch_add(1);
}

std::atomic<long> g_statusCalls{0};
void StatusCallback(DWORD zero, DWORD, DWORD reconfigure, void *) {
    g_statusCalls.fetch_add(zero == 0 && reconfigure <= 1 ? 1 : 1000000);
}

enum Op {
    kOpen,
    kClose,
    kReopen,
    kLogon,
    kLogoff,
    kConnectionState,
    kChannelRate,
    kSignalStrength,
    kSend,
    kReceive,
    kAbort,
    kOpCount
};
const char *const kOpNames[kOpCount] = {
    "Open",   "Close",           "Reopen",      "Logon",
    "Logoff", "ConnectionState", "ChannelRate", "GetSignalStrength",
    "Send",   "Receive",         "Abort"};

struct Figures {
    std::atomic<long> calls[kOpCount];
    std::atomic<long> succeeded[kOpCount];
    std::atomic<long> slowest[kOpCount]; // microseconds
    std::atomic<long> faults{0};
    std::atomic<long> restarts{0};
    std::atomic<long> progress{0};
    size_t mostClientIdsHeld = 0; // by the module, of one service; fault thread only
    Figures() {
        for (int i = 0; i < kOpCount; ++i) {
            calls[i] = 0;
            succeeded[i] = 0;
            slowest[i] = 0;
        }
    }
};

class Stress : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/kxstress-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        deviceDir_ = dir;
        setenv("KX_DEVICE_DIR", deviceDir_.c_str(), 1);
        kxtest::SetTimeScale(kTimeScale);
        kxmodem::Options options;
        options.controlSocket = false;
        std::string error;
        ASSERT_TRUE(modem_.Start(deviceDir_, options, &error)) << error;
        handlesBefore_ = kxtest::OpenHandleCount();
        threadsBefore_ = kxtest::RunningThreadCount();
        ASSERT_TRUE(library_.Load()) << library_.error;
    }
    void TearDown() override {
        if (library_.library)
            library_.Unload();
        modem_.Stop();
        kxtest::SetTimeScale(1.0);
        std::string command = "rm -rf '" + deviceDir_ + "'";
        (void)system(command.c_str());
    }

    // Waits (real time) for the platform's thread count to be back where it
    // was before the library was loaded.
    bool ThreadsBack(unsigned realMilliseconds = 3000) {
        auto until = Clock::now() + std::chrono::milliseconds(realMilliseconds);
        while (kxtest::RunningThreadCount() != threadsBefore_) {
            if (Clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Waits (real time) for the platform's thread and handle counts to be
    // back where they were before the library was loaded.
    bool CountsBack(unsigned realMilliseconds = 3000) {
        auto until = Clock::now() + std::chrono::milliseconds(realMilliseconds);
        while (Clock::now() < until) {
            if (kxtest::RunningThreadCount() == threadsBefore_ &&
                kxtest::OpenHandleCount() == handlesBefore_)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string deviceDir_;
    kxmodem::Modem modem_;
    Library library_;
    int handlesBefore_ = 0;
    int threadsBefore_ = 0;
};

// Limit of one call, in real milliseconds, once it holds the driver lock.
long LimitOf(int op, DWORD reopenLimit) {
    double ms;
    switch (op) {
    case kReopen:
        ms = reopenLimit + kPortReturnLimit + 2 * kReplyLimit;
        break;
    case kOpen:
    case kLogon:
    case kLogoff:
    case kClose:
        ms = 4.0 * kReplyLimit; // a few requests in a row
        break;
    case kSend:
    case kReceive:
        ms = 100; // their own time limits below
        break;
    default:
        ms = kReplyLimit;
        break;
    }
    return long(ms * kTimeScale) + 250; // scheduling slack
}

TEST_F(Stress, AllExportsFromManyThreadsWhileTheModuleMisbehaves) {
    Library &lib = library_;
    ASSERT_TRUE(lib.Open());
    // The connection operations must be there for the run to mean anything.
    LogonParameters good = {"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
    if (!lib.Logon(0, &good, 0, nullptr)) {
        lib.Close();
        GTEST_SKIP() << "KxCmdLogon does not connect yet";
    }
    ASSERT_TRUE(lib.Logoff(0, nullptr, nullptr));

    const char *env = getenv("KX_STRESS_SECONDS");
    double seconds = env ? atof(env) : 4.0;
    const int kWorkers = 4;
    Figures figures;
    std::atomic<bool> stop{false};
    std::mutex pendingMutex;
    std::vector<std::unique_ptr<Pending>> pending;
    std::atomic<long> overLimit{0};
    std::string overLimitNote;
    std::mutex noteMutex;

    // The watchdog: the workers must keep finishing calls; a whole reply
    // limit for every worker plus a reopen's wait without one finished call
    // is a deadlock.
    std::mutex watchMutex;
    std::condition_variable watchWake;
    bool watchDone = false;
    std::thread watchdog([&] {
        long last = -1;
        auto stalledSince = Clock::now();
        std::unique_lock<std::mutex> lock(watchMutex);
        while (
            !watchWake.wait_for(lock, std::chrono::milliseconds(200), [&] { return watchDone; })) {
            long now = figures.progress.load();
            if (now != last) {
                last = now;
                stalledSince = Clock::now();
            } else if (Clock::now() - stalledSince > std::chrono::seconds(20)) {
                fprintf(stderr, "watchdog: no call finished for 20 s; calls so far %ld\n", now);
                abort();
            }
        }
    });

    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::vector<BYTE> buffer(1600);
        while (!stop.load()) {
            int op = int(random() % 100);
            // Weights: open/close/reopen rarely, requests often.
            static const int kTable[100] = {kOpen,
                                            kOpen,
                                            kOpen,
                                            kClose,
                                            kReopen,
                                            kReopen,
#define KX_TEN(x) x, x, x, x, x, x, x, x, x, x
                                            KX_TEN(kLogon),
                                            KX_TEN(kLogoff),
                                            KX_TEN(kConnectionState),
                                            KX_TEN(kChannelRate),
                                            KX_TEN(kSignalStrength),
                                            KX_TEN(kSend),
                                            KX_TEN(kReceive),
                                            KX_TEN(kAbort),
#undef KX_TEN
                                            kLogon,
                                            kLogon,
                                            kConnectionState,
                                            kChannelRate,
                                            kSend,
                                            kReceive,
                                            kAbort,
                                            kLogoff,
                                            kSignalStrength,
                                            kSend,
                                            kReceive,
                                            kLogon,
                                            kLogoff,
                                            kConnectionState};
            op = kTable[op];
            DWORD channel = random() % 3; // 2 is out of range
            bool async = random() % 2;
            Pending *p = nullptr;
            if (async) {
                auto owned = std::make_unique<Pending>();
                owned->op = op;
                p = owned.get();
                std::lock_guard<std::mutex> guard(pendingMutex);
                pending.push_back(std::move(owned));
            }
            CompletionCallback callback = async ? Completion : nullptr;
            DWORD reopenLimit = DWORD(random() % 3000);
            auto started = Clock::now();
            BOOL result = FALSE;
            switch (op) {
            case kOpen:
                result = lib.Open();
                break;
            case kClose:
                result = lib.Close();
                break;
            case kReopen:
                result = lib.Reopen(reopenLimit);
                break;
            case kLogon: {
                LogonParameters parameters = {"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
                if (random() % 4 == 0)
                    parameters.accessPointName = "wrong.apn";
                LogonCallbacks callbacks = {callback, p, StatusCallback, nullptr};
                bool withCallbacks = random() % 8 != 0;
                if (p)
                    p->passed = withCallbacks;
                result = lib.Logon(channel, random() % 8 ? &parameters : nullptr, 0,
                                   withCallbacks ? &callbacks : nullptr);
                break;
            }
            case kLogoff:
                if (p)
                    p->passed = true;
                result = lib.Logoff(channel, callback, p);
                break;
            case kConnectionState: {
                DWORD state = 0;
                if (p)
                    p->passed = true;
                result = lib.ConnectionState(channel, callback, p, async ? nullptr : &state);
                break;
            }
            case kChannelRate: {
                ChannelRates rates;
                if (p)
                    p->passed = true;
                result = lib.ChannelRate(channel, callback, p, async ? nullptr : &rates);
                break;
            }
            case kSignalStrength:
                if (p)
                    p->passed = true;
                result = lib.GetSignalStrength(callback, p);
                break;
            case kSend: {
                DWORD length = 20 + random() % 200;
                for (DWORD i = 0; i < length; ++i)
                    buffer[i] = BYTE(random());
                buffer[0] = 0x45;
                result = lib.Send(channel, buffer.data(), &length, random() % 20);
                break;
            }
            case kReceive: {
                DWORD length = DWORD(buffer.size());
                result = lib.Receive(channel, buffer.data(), &length, random() % 20);
                if (result && length > buffer.size())
                    overLimit.fetch_add(1000000); // a length beyond the buffer
                break;
            }
            case kAbort:
                result = lib.Abort(channel, random() % 2, random() % 2) != 0;
                break;
            }
            long took =
                long(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started)
                         .count());
            figures.calls[op].fetch_add(1);
            if (result)
                figures.succeeded[op].fetch_add(1);
            long previous = figures.slowest[op].load();
            while (took > previous && !figures.slowest[op].compare_exchange_weak(previous, took)) {
            }
            // Queued behind the others on the driver lock: each may hold it
            // for up to its own limit (the largest, a reopen's).
            long limit = LimitOf(op, reopenLimit) + (kWorkers - 1) * LimitOf(kReopen, 3000);
            if (took / 1000 > limit) {
                overLimit.fetch_add(1);
                std::lock_guard<std::mutex> guard(noteMutex);
                overLimitNote = std::string(kOpNames[op]) + " took " + std::to_string(took / 1000) +
                                " ms, limit " + std::to_string(limit) + " ms";
            }
            if (p)
                p->returned = result != FALSE && p->passed;
            figures.progress.fetch_add(1);
        }
    };

    // The module's misbehaviour, changed every 30 to 150 ms.
    std::thread faults([&] {
        std::mt19937 random(7);
        static const char *const kFaults[] = {
            "fault delay 40 count=3",
            "fault late 120 count=2",
            "fault drop count=1",
            "fault duplicate count=3",
            "fault malformed truncate count=1",
            "fault malformed flags count=1",
            "fault malformed interface count=1",
            "fault reject 14 count=1",
            "fault drop service=wds msg=32 count=1",
            "fault late 700 service=wds count=1",
            "vanish KXC1 100",
            "vanish all 150",
            "vanish KXN1 80",
            "reset 150",
            "disconnect all",
            "reconfigure",
            "connect-delay 30",
            "connect-delay 0",
            "fault clear",
            "registration roaming",
            "registration home",
        };
        while (!stop.load()) {
            const char *fault = kFaults[random() % (sizeof(kFaults) / sizeof(kFaults[0]))];
            modem_.Control(fault);
            figures.faults.fetch_add(1);
            if (std::string(fault).compare(0, 5, "reset") == 0)
                figures.restarts.fetch_add(1);
            kxmodem::Snapshot module = modem_.State();
            figures.mostClientIdsHeld = std::max(
                {figures.mostClientIdsHeld, module.wdsClients.size(), module.nasClients.size()});
            std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 120));
        }
    });

    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back(worker, 1000u + unsigned(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(long(seconds * 1000)));
    stop = true;
    for (auto &w : workers)
        w.join();
    faults.join();

    // The module behaves again; closing ends whatever is outstanding.
    modem_.Control("fault clear");
    modem_.Control("restore all");
    modem_.Control("connect-delay 0");
    lib.Close();
    // Callbacks of requests cancelled at close run before it returns, or on
    // the reader as it ends; give stragglers a moment of real time.
    auto until = Clock::now() + std::chrono::seconds(3);
    auto unfinished = [&] {
        int n = 0;
        std::lock_guard<std::mutex> guard(pendingMutex);
        for (auto &p : pending)
            n += p->returned && p->calls.load() == 0 && p->op != kLogoff;
        return n;
    };
    while (unfinished() != 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    {
        std::lock_guard<std::mutex> watchGuard(watchMutex);
        watchDone = true;
    }
    watchWake.notify_all();
    watchdog.join();

    long callbacks = 0, twice = 0, missing = 0, bad = 0, asyncCalls = 0, asyncTrue = 0;
    long missingByOp[kOpCount] = {};
    {
        std::lock_guard<std::mutex> guard(pendingMutex);
        for (auto &p : pending) {
            if (!p->passed)
                continue;
            ++asyncCalls;
            asyncTrue += p->returned && p->op != kLogoff;
            int n = p->calls.load();
            callbacks += n;
            twice += n > 1;
            // A logoff calls back only for a stop request: with no interface
            // up it succeeds without calling.
            if (p->returned && n == 0 && p->op != kLogoff) {
                ++missing;
                ++missingByOp[p->op];
            }
            bad += p->badStatus.load();
        }
    }
    long total = 0;
    printf("stress: %.1f s, %d threads, %ld faults injected (%ld module restarts)\n", seconds,
           kWorkers, figures.faults.load(), figures.restarts.load());
    printf("stress: %-18s %8s %8s %8s %10s\n", "export", "calls", "TRUE", "FALSE", "slowest ms");
    for (int i = 0; i < kOpCount; ++i) {
        total += figures.calls[i];
        printf("stress: %-18s %8ld %8ld %8ld %10.1f\n", kOpNames[i], figures.calls[i].load(),
               figures.succeeded[i].load(), figures.calls[i].load() - figures.succeeded[i].load(),
               figures.slowest[i].load() / 1000.0);
    }
    printf("stress: %ld calls; %ld asynchronous (%ld TRUE), %ld callbacks; %ld status "
           "callbacks\n",
           total, asyncCalls, asyncTrue, callbacks, g_statusCalls.load());
    printf("stress: invariant checks: %ld callbacks at most once, %ld TRUE calls called back, "
           "%ld call durations, %ld callback arguments\n",
           asyncCalls, asyncTrue, total, callbacks);
    EXPECT_EQ(twice, 0) << "callbacks called more than once";
    std::string missingNote;
    for (int i = 0; i < kOpCount; ++i) {
        if (missingByOp[i])
            missingNote += std::string(" ") + kOpNames[i] + " " + std::to_string(missingByOp[i]);
    }
    EXPECT_EQ(missing, 0) << "asynchronous calls that returned TRUE but were never called back:"
                          << missingNote;
    EXPECT_EQ(bad, 0) << "callbacks with inconsistent arguments";
    EXPECT_EQ(overLimit.load(), 0) << overLimitNote;
    EXPECT_LT(g_statusCalls.load(), 1000000) << "a status callback with a nonzero first argument";

    // Consistent after close: nothing works until it is opened again.
    DWORD state = 0;
    EXPECT_FALSE(lib.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_FALSE(lib.GetSignalStrength(Completion, nullptr));
    EXPECT_FALSE(lib.Close());

    // Whether it opens depends on the module's client ids: those lost on the
    // way (a Get Client Id reply dropped, corrupted or too late; a release
    // rejected, or lost with a vanished control port) stay taken until the
    // module restarts, and the driver cannot reclaim them.
    kxmodem::Snapshot held = modem_.State();
    printf("stress: module client ids held after the run: WDS %zu, NAS %zu of %zu; at most %zu "
           "of a service during it\n",
           held.wdsClients.size(), held.nasClients.size(), kModuleClientIds,
           std::max({figures.mostClientIdsHeld, held.wdsClients.size(), held.nasClients.size()}));
    auto answers = [&] {
        Pending signal;
        if (!lib.GetSignalStrength(Completion, &signal))
            return false;
        auto signalUntil = Clock::now() + std::chrono::seconds(3);
        while (signal.calls.load() == 0 && Clock::now() < signalUntil)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return signal.calls.load() == 1;
    };
    if (held.wdsClients.size() < kModuleClientIds && held.nasClients.size() < kModuleClientIds) {
        ASSERT_TRUE(lib.Open());
        EXPECT_TRUE(answers());
        EXPECT_TRUE(lib.Close());
    } else {
        // Refused, and the refused open holds nothing (a WDS id it got is
        // given back).
        EXPECT_FALSE(lib.Open());
        EXPECT_EQ(modem_.State().wdsClients, held.wdsClients);
        EXPECT_EQ(modem_.State().nasClients, held.nasClients);
        EXPECT_FALSE(lib.ConnectionState(0, nullptr, nullptr, &state));
    }
    // After a restart the module knows no client: the driver opens, answers
    // and gives both ids back.
    ASSERT_EQ("ok", modem_.Control("reset"));
    ASSERT_EQ("ok", modem_.Control("restore all"));
    ASSERT_TRUE(lib.Open());
    EXPECT_TRUE(answers());
    EXPECT_TRUE(lib.Close());
    EXPECT_TRUE(modem_.State().wdsClients.empty());
    EXPECT_TRUE(modem_.State().nasClients.empty());

    // The close waits for its reader only 1000 ms of platform time (20 ms
    // here); the code may go only once the reader has ended, as a host's
    // FreeLibrary after close expects on the target.
    EXPECT_TRUE(ThreadsBack()) << "threads " << kxtest::RunningThreadCount() << " (before "
                               << threadsBefore_ << ")";
    ASSERT_TRUE(library_.Unload());
    EXPECT_TRUE(CountsBack()) << "handles " << kxtest::OpenHandleCount() << " (before "
                              << handlesBefore_ << "), threads " << kxtest::RunningThreadCount()
                              << " (before " << threadsBefore_ << ")";
}

// A whole session leaves nothing behind: after open, logon, traffic,
// logoff and close the platform's handles and threads are back where they
// were, and again after the library is unloaded.
TEST_F(Stress, FullCycleLeavesNoHandleOrThread) {
    Library &lib = library_;
    int handlesLoaded = kxtest::OpenHandleCount();
    int threadsLoaded = kxtest::RunningThreadCount();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(lib.Open());
        LogonParameters parameters = {"kxtel.internet", "kxuser", "kxpass", 0, 0, 1};
        if (!lib.Logon(0, &parameters, 0, nullptr)) {
            lib.Close();
            GTEST_SKIP() << "KxCmdLogon does not connect yet";
        }
        // Traffic: whatever the channel carries, with short limits.
        std::vector<BYTE> packet(60, 0);
        packet[0] = 0x45;
        for (int i = 0; i < 5; ++i) {
            DWORD length = DWORD(packet.size());
            lib.Send(0, packet.data(), &length, 50);
            DWORD got = DWORD(packet.size());
            lib.Receive(0, packet.data(), &got, 50);
        }
        EXPECT_TRUE(lib.Logoff(0, nullptr, nullptr));
        EXPECT_TRUE(lib.Close());
        auto until = Clock::now() + std::chrono::seconds(3);
        while ((kxtest::OpenHandleCount() != handlesLoaded ||
                kxtest::RunningThreadCount() != threadsLoaded) &&
               Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(kxtest::OpenHandleCount(), handlesLoaded) << "round " << round;
        EXPECT_EQ(kxtest::RunningThreadCount(), threadsLoaded) << "round " << round;
    }
    ASSERT_TRUE(library_.Unload());
    EXPECT_TRUE(CountsBack());
}

} // namespace

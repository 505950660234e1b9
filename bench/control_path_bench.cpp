// Control-path benchmark, measured in one run, side by side:
//  (a) synchronous KxCmdConnectionState round trips through the driver
//      against kxmodem over the socket device;
//  (b) the same request and reply bytes ping-ponged directly over the same
//      kind of socket, no driver: the transport's floor;
//  (c) KxCmdSend + KxCmdReceive of 1500-byte packets against raw socket
//      writes and reads of the same packets.
// The module runs as its own process (the kxmodem program beside this one),
// so that the heap allocations counted in this process are the driver's and
// the platform's. Allocations are counted by interposing malloc and operator
// new; those whose immediate caller lies in KxCmdApi.so are the driver's own.
#include <benchmark/benchmark.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>

#include <kxhost/kxcmd_library.h>
#include "kxqmi/qmi_ids.h"
#include "icmp_echo.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

// ---- allocation counting ----
std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gDriverAllocations{0};
struct Range {
    uintptr_t lo, hi;
};
Range gDriverRanges[8];
std::atomic<uintptr_t> gCallers[4];
int gDriverRangeCount = 0;

inline void NoteAllocation(void *caller) {
    if (!gCounting.load(std::memory_order_relaxed))
        return;
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    auto a = reinterpret_cast<uintptr_t>(caller);
    // Remember a few distinct callers, so the report can name who allocates.
    for (auto &slot : gCallers) {
        uintptr_t expected = 0;
        if (slot.load(std::memory_order_relaxed) == a ||
            slot.compare_exchange_strong(expected, a, std::memory_order_relaxed))
            break;
    }
    for (int i = 0; i < gDriverRangeCount; ++i) {
        if (a >= gDriverRanges[i].lo && a < gDriverRanges[i].hi)
            gDriverAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}

int FindDriver(dl_phdr_info *info, size_t, void *) {
    const char *name = info->dlpi_name;
    size_t n = name ? strlen(name) : 0;
    if (n < 11 || strcmp(name + n - 11, "KxCmdApi.so") != 0)
        return 0;
    for (int i = 0; i < info->dlpi_phnum && gDriverRangeCount < 8; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
            gDriverRanges[gDriverRangeCount++] = {info->dlpi_addr + ph.p_vaddr,
                                                  info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
    }
    return 1;
}

} // namespace

extern "C" void *malloc(size_t n) {
    NoteAllocation(__builtin_return_address(0));
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    NoteAllocation(__builtin_return_address(0));
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    NoteAllocation(__builtin_return_address(0));
    return __libc_realloc(p, n);
}
void *operator new(size_t n) {
    NoteAllocation(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) {
    NoteAllocation(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept {
    __libc_free(p);
}
void operator delete[](void *p) noexcept {
    __libc_free(p);
}
void operator delete(void *p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    __libc_free(p);
}

namespace {

// kxmodem gives the session on channel n the address 10.64.n.2; any address
// beyond it answers echo requests.
uint32_t SessionAddress(uint32_t channel) {
    return (10u << 24) | (64u << 16) | (channel << 8) | 2u;
}
const uint32_t kEchoPeer = (10u << 24) | (64u << 16) | (255u << 8) | 1u; // 10.64.255.1

// ---- the module process and the raw sockets ----
std::string gDir;
pid_t gModem = -1;
kxcmd::Api gApi;
bool gDriver = false;
int gRawControl = -1, gRawData = -1;
uint8_t gRawWdsClient = 0;

std::string BinDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

int ConnectSeqpacket(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool StartModem(std::string *error) {
    char pattern[] = "/tmp/kx-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        *error = "mkdtemp failed";
        return false;
    }
    gDir = pattern;
    std::string program = BinDirectory() + "/kxmodem";
    std::string dirArg = gDir;
    char *argv[] = {const_cast<char *>(program.c_str()), const_cast<char *>("--device-dir"),
                    const_cast<char *>(dirArg.c_str()), nullptr};
    if (posix_spawn(&gModem, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        *error = "cannot start " + program;
        return false;
    }
    struct stat st;
    for (int i = 0; i < 200 && stat((gDir + "/kxmodem.ctl").c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (stat((gDir + "/kxmodem.ctl").c_str(), &st) != 0) {
        *error = "the module did not come up";
        return false;
    }
    setenv("KX_DEVICE_DIR", gDir.c_str(), 1);
    return true;
}

void StopModem() {
    if (gModem > 0) {
        kill(gModem, SIGTERM);
        waitpid(gModem, nullptr, 0);
    }
    std::string cmd = "rm -rf '" + gDir + "'";
    if (!gDir.empty() && system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", gDir.c_str());
}

// The driver's Get Packet Service Status request, byte for byte (transaction id 0).
void StatusRequest(uint8_t *frame, uint8_t client, uint16_t tid) {
    using namespace kxqmi;
    const uint8_t f[13] = {kInterfaceQmux,
                           0x0C,
                           0x00,
                           0x00,
                           kWds,
                           client,
                           kRequest,
                           static_cast<uint8_t>(tid),
                           static_cast<uint8_t>(tid >> 8),
                           kWdsGetPacketServiceStatus,
                           0x00,
                           0x00,
                           0x00};
    memcpy(frame, f, sizeof f);
}

bool SetUpRaw(std::string *error) {
    gRawControl = ConnectSeqpacket(gDir + "/KXC1");
    gRawData = ConnectSeqpacket(gDir + "/KXN1");
    if (gRawControl < 0 || gRawData < 0) {
        *error = "cannot connect to the module's sockets";
        return false;
    }
    using namespace kxqmi;
    const uint8_t getClient[16] = {
        kInterfaceQmux,  0x0F, 0x00, 0x00, kCtl,      0x00, kRequest, 0x01,
        kCtlGetClientId, 0x00, 0x04, 0x00, kTlvFirst, 0x01, 0x00,     kWds};
    uint8_t reply[128];
    if (send(gRawControl, getClient, sizeof getClient, 0) != sizeof getClient ||
        recv(gRawControl, reply, sizeof reply, 0) != 24) {
        *error = "no client id from the module";
        return false;
    }
    gRawWdsClient = reply[23];
    return true;
}

bool SetUpDriver(std::string *error) {
    if (!gApi.Load(BinDirectory() + "/KxCmdApi.so", error))
        return false;
    dl_iterate_phdr(FindDriver, nullptr);
    if (!gApi.Open()) {
        *error = "KxCmdOpen failed";
        return false;
    }
    LogonParameters p{"kxtel.internet", "kxuser", "kxpass", 0, 0, 0};
    if (!gApi.Logon(0, &p, 0, nullptr)) {
        *error = "KxCmdLogon failed";
        return false;
    }
    return true;
}

void Report(benchmark::State &state, uint64_t allocations, uint64_t driverAllocations) {
    double n = static_cast<double>(state.iterations());
    state.counters["allocs/op"] = n ? static_cast<double>(allocations) / n : 0;
    state.counters["driver_allocs/op"] = n ? static_cast<double>(driverAllocations) / n : 0;
}

void CountingOn() {
    for (auto &slot : gCallers)
        slot = 0;
    gAllocations = 0;
    gDriverAllocations = 0;
    gCounting = true;
}
void CountingOff(benchmark::State &state) {
    gCounting = false;
    Report(state, gAllocations, gDriverAllocations);
    std::string callers;
    for (auto &slot : gCallers) {
        Dl_info info;
        uintptr_t a = slot;
        if (a && dladdr(reinterpret_cast<void *>(a), &info)) {
            const char *file = info.dli_fname ? strrchr(info.dli_fname, '/') : nullptr;
            callers += std::string(callers.empty() ? "" : ", ") +
                       (info.dli_sname ? info.dli_sname : "?") + " in " + (file ? file + 1 : "?");
            char offset[32];
            snprintf(offset, sizeof offset, "+0x%lx",
                     static_cast<unsigned long>(a - reinterpret_cast<uintptr_t>(info.dli_fbase)));
            callers += offset;
        }
    }
    if (!callers.empty())
        state.SetLabel("allocating: " + callers);
}

// (a)
void BM_DriverConnectionState(benchmark::State &state) {
    uint32_t status = 0;
    CountingOn();
    for (auto _ : state) {
        if (!gApi.ConnectionState(0, nullptr, nullptr, &status) || status != 2) {
            state.SkipWithError("KxCmdConnectionState failed");
            break;
        }
    }
    CountingOff(state);
}

// (b)
void BM_RawControlPingPong(benchmark::State &state) {
    uint8_t frame[13], reply[128];
    uint16_t tid = 0;
    CountingOn();
    for (auto _ : state) {
        StatusRequest(frame, gRawWdsClient, tid++ & 63);
        if (send(gRawControl, frame, sizeof frame, 0) != sizeof frame ||
            recv(gRawControl, reply, sizeof reply, 0) != 24) {
            state.SkipWithError("raw ping-pong failed");
            break;
        }
    }
    CountingOff(state);
}

// (c), driver
void BM_DriverSendReceive1500(benchmark::State &state) {
    std::vector<uint8_t> packet =
        kxsim::BuildEchoRequest(SessionAddress(0), kEchoPeer, 1, 1, 1500 - 28);
    uint8_t buffer[2048];
    CountingOn();
    for (auto _ : state) {
        uint32_t length = 1500, got = sizeof buffer;
        if (!gApi.Send(0, packet.data(), &length, 1000) || length != 1500 ||
            !gApi.Receive(0, buffer, &got, 1000) || got != 1500) {
            state.SkipWithError("KxCmdSend/KxCmdReceive failed");
            break;
        }
    }
    CountingOff(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1500);
}

// (c), raw
void BM_RawSendReceive1500(benchmark::State &state) {
    std::vector<uint8_t> packet =
        kxsim::BuildEchoRequest(SessionAddress(0), kEchoPeer, 1, 1, 1500 - 28);
    uint8_t buffer[2048];
    CountingOn();
    for (auto _ : state) {
        if (write(gRawData, packet.data(), packet.size()) != 1500 ||
            read(gRawData, buffer, sizeof buffer) != 1500) {
            state.SkipWithError("raw send/receive failed");
            break;
        }
    }
    CountingOff(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1500);
}

// Keeps each run's time per iteration and counters for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    struct Figure {
        double nsPerOp = 0;
        double allocs = 0, driverAllocs = 0;
        bool ok = false;
    };
    std::map<std::string, Figure> figures;

    void ReportRuns(const std::vector<Run> &runs) override {
        // One figure per benchmark: a single run's, or with repetitions the
        // median (which is reported after the runs it summarises).
        for (const auto &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median)
                continue;
            Figure f;
            f.ok = !run.error_occurred && run.iterations > 0;
            if (f.ok) // an aggregate holds its statistic times its repetitions
                f.nsPerOp = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
            auto a = run.counters.find("allocs/op");
            auto d = run.counters.find("driver_allocs/op");
            f.allocs = a == run.counters.end() ? 0 : a->second.value;
            f.driverAllocs = d == run.counters.end() ? 0 : d->second.value;
            figures[run.run_name.function_name] = f;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    {
        // The counter itself must see an allocation, or its zeros mean nothing.
        CountingOn();
        void *volatile probe = malloc(16);
        gCounting = false;
        free(probe);
        if (gAllocations != 1) {
            fprintf(stderr, "benchmark: the allocation counter does not work\n");
            return 1;
        }
    }
    std::string error;
    if (!StartModem(&error)) {
        fprintf(stderr, "benchmark: %s\n", error.c_str());
        StopModem();
        return 1;
    }
    gDriver = SetUpDriver(&error);
    if (!gDriver)
        fprintf(stderr, "benchmark: driver not available (%s): raw figures only\n", error.c_str());
    // The raw data socket needs channel 0's session: the driver's, or one of its own.
    if (!SetUpRaw(&error)) {
        fprintf(stderr, "benchmark: %s\n", error.c_str());
        StopModem();
        return 1;
    }
    if (!gDriver) {
        // Start the session on the raw control connection.
        using namespace kxqmi;
        const uint8_t start[] = {kInterfaceQmux,
                                 0x1e,
                                 0x00,
                                 0x00,
                                 kWds,
                                 gRawWdsClient,
                                 kRequest,
                                 0x3f,
                                 0x00,
                                 kWdsStartNetwork,
                                 0x00,
                                 0x12,
                                 0x00,
                                 kSnUserName,
                                 0x06,
                                 0x00,
                                 'k',
                                 'x',
                                 'u',
                                 's',
                                 'e',
                                 'r',
                                 kSnPassword,
                                 0x06,
                                 0x00,
                                 'k',
                                 'x',
                                 'p',
                                 'a',
                                 's',
                                 's'};
        uint8_t reply[128];
        if (send(gRawControl, start, sizeof start, 0) != sizeof start ||
            recv(gRawControl, reply, sizeof reply, 0) != 27) {
            fprintf(stderr, "benchmark: the module did not start a session\n");
            StopModem();
            return 1;
        }
        recv(gRawControl, reply, sizeof reply, 0); // its status indication
    }

    if (gDriver)
        benchmark::RegisterBenchmark("a_DriverConnectionState", BM_DriverConnectionState);
    benchmark::RegisterBenchmark("b_RawControlPingPong", BM_RawControlPingPong);
    if (gDriver)
        benchmark::RegisterBenchmark("c_DriverSendReceive1500", BM_DriverSendReceive1500);
    benchmark::RegisterBenchmark("c_RawSendReceive1500", BM_RawSendReceive1500);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto &f = reporter.figures;
    int status = 0;
    printf("\ncontrol path figures (time per operation):\n");
    auto show = [&](const char *name, const char *what) {
        auto it = f.find(name);
        if (it != f.end() && it->second.ok)
            printf("  %-28s %10.2f us   %s\n", name, it->second.nsPerOp / 1000, what);
    };
    show("a_DriverConnectionState", "(a) KxCmdConnectionState, synchronous");
    show("b_RawControlPingPong", "(b) same bytes over a raw socket");
    show("c_DriverSendReceive1500", "(c) KxCmdSend + KxCmdReceive, 1500 bytes");
    show("c_RawSendReceive1500", "(c) raw write + read, 1500 bytes");
    auto have = [&](const char *name) { return f.count(name) && f[name].ok; };
    if (have("a_DriverConnectionState") && have("b_RawControlPingPong")) {
        double r = f["a_DriverConnectionState"].nsPerOp / f["b_RawControlPingPong"].nsPerOp;
        bool pass = r <= 1.25;
        printf("  ratio (a)/(b) = %.3f (target at most 1.25): %s\n", r, pass ? "met" : "MISSED");
        status |= pass ? 0 : 1;
    }
    if (have("c_DriverSendReceive1500") && have("c_RawSendReceive1500")) {
        double r = f["c_RawSendReceive1500"].nsPerOp / f["c_DriverSendReceive1500"].nsPerOp;
        bool pass = r >= 0.9;
        printf("  throughput (c) driver/raw = %.3f (target at least 0.9): %s\n", r,
               pass ? "met" : "MISSED");
        status |= pass ? 0 : 1;
    }
    if (have("a_DriverConnectionState") && have("c_DriverSendReceive1500")) {
        double perRequest = f["a_DriverConnectionState"].driverAllocs;
        double perPacket = f["c_DriverSendReceive1500"].driverAllocs;
        bool pass = perRequest == 0 && perPacket == 0;
        printf("  heap allocations by the driver: %.3f per request, %.3f per packet "
               "(target 0): %s\n",
               perRequest, perPacket, pass ? "met" : "MISSED");
        printf("  heap allocations in the process (driver and platform): %.3f per request, "
               "%.3f per packet\n",
               f["a_DriverConnectionState"].allocs, f["c_DriverSendReceive1500"].allocs);
        status |= pass ? 0 : 1;
    }
    if (!gDriver)
        printf("  (driver figures missing: KxCmdApi.so not available)\n");

    if (gDriver) {
        gApi.Logoff(0, nullptr, nullptr);
        gApi.Close();
    }
    close(gRawControl);
    close(gRawData);
    StopModem();
    benchmark::Shutdown();
    return status;
}

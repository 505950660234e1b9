// Platform time: the 32-bit millisecond tick, Sleep, and KX_TIME_SCALE.
//
// Every wait, Sleep and time-out lasts `scale` times its nominal length and
// the tick advances 1/scale milliseconds per real millisecond, so code that
// measures its own time-outs with GetTickCount sees nominal figures.
// Under the deterministic scheduler the tick and Sleep are virtual
// (scheduler.h).
#include "kernel_objects.h"
#include "scheduler.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "kx_platform_test.h"

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;

// The time base changes only through the test hooks (kxtest::SetTimeScale,
// SetTickOffset), and is read on every wait and tick. Readers take no lock:
// each change publishes a new, never changed record, and a reader reads
// whichever record is current. The records of earlier changes are kept (the
// hooks run a handful of times per test), so none is freed under a reader.
struct TimeFields {
    double scale;
    int64_t realBaseNs; // steady clock at the base
    double tickBase;    // nominal milliseconds at realBase
    DWORD offset;
};

std::atomic<const TimeFields *> current{nullptr};
std::mutex writers; // serialises the writers; guards Published()

std::vector<std::unique_ptr<TimeFields>> &Published() {
    static auto *records = new std::vector<std::unique_ptr<TimeFields>>; // never destroyed
    return *records;
}

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts); // the steady clock
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ScaleFromEnvironment() {
    const char *text = getenv("KX_TIME_SCALE");
    if (!text || !*text)
        return 1.0;
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || !(v > 0) || !std::isfinite(v))
        return 1.0;
    return v;
}

// Under `writers`.
const TimeFields *PublishLocked(const TimeFields &f) {
    Published().push_back(std::make_unique<TimeFields>(f));
    const TimeFields *record = Published().back().get();
    current.store(record, std::memory_order_release);
    return record;
}

const TimeFields *CurrentLocked() {
    const TimeFields *f = current.load(std::memory_order_acquire);
    return f ? f : PublishLocked(TimeFields{ScaleFromEnvironment(), NowNs(), 0, 0});
}

const TimeFields &Read() {
    const TimeFields *f = current.load(std::memory_order_acquire);
    if (f)
        return *f;
    std::lock_guard<std::mutex> guard(writers);
    return *CurrentLocked();
}

double NominalNow(const TimeFields &f, int64_t nowNs) {
    return f.tickBase + static_cast<double>(nowNs - f.realBaseNs) / 1e6 / f.scale;
}

double CurrentScale() {
    return Read().scale;
}

} // namespace

Clock::duration ScaledDuration(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return Clock::duration::max();
    double ns = static_cast<double>(milliseconds) * 1e6 * CurrentScale();
    if (ns > 1e17) // about three years: "no practical limit", and no overflow
        ns = 1e17;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::nano>(ns));
}

Clock::time_point DeadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return Clock::time_point::max();
    return Clock::now() + ScaledDuration(milliseconds);
}

bool IsInfinite(Clock::time_point deadline) {
    return deadline == Clock::time_point::max();
}

} // namespace kx

namespace kxtest {

void SetTimeScale(double scale) {
    if (!(scale > 0))
        return;
    std::lock_guard<std::mutex> guard(kx::writers);
    // Rebase so the tick stays continuous across the change.
    kx::TimeFields f = *kx::CurrentLocked();
    int64_t now = kx::NowNs();
    f.tickBase = kx::NominalNow(f, now);
    f.realBaseNs = now;
    f.scale = scale;
    kx::PublishLocked(f);
}

double TimeScale() {
    return kx::CurrentScale();
}

void SetTickOffset(DWORD offset) {
    std::lock_guard<std::mutex> guard(kx::writers);
    kx::TimeFields f = *kx::CurrentLocked();
    f.offset = offset;
    kx::PublishLocked(f);
}

} // namespace kxtest

extern "C" DWORD GetTickCount(void) {
    const kx::TimeFields &f = kx::Read();
    if (kx::sched::On() && kx::sched::Scheduled())
        return static_cast<DWORD>(kx::sched::Now() + f.offset);
    uint64_t whole = static_cast<uint64_t>(kx::NominalNow(f, kx::NowNs()));
    return static_cast<DWORD>(whole + f.offset);
}

extern "C" void Sleep(DWORD milliseconds) {
    if (kx::sched::On() && kx::sched::Sleep(milliseconds))
        return;
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(kx::ScaledDuration(milliseconds));
}

static void FillSystemTime(LPSYSTEMTIME out, bool local) {
    if (!out)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm parts;
    time_t seconds = ts.tv_sec;
    if (local)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);
    out->wYear = static_cast<WORD>(parts.tm_year + 1900);
    out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out->wDay = static_cast<WORD>(parts.tm_mday);
    out->wHour = static_cast<WORD>(parts.tm_hour);
    out->wMinute = static_cast<WORD>(parts.tm_min);
    out->wSecond = static_cast<WORD>(parts.tm_sec);
    out->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

extern "C" void GetLocalTime(LPSYSTEMTIME time) {
    FillSystemTime(time, true);
}
extern "C" void GetSystemTime(LPSYSTEMTIME time) {
    FillSystemTime(time, false);
}

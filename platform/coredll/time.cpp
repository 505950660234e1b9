// Platform time: the 32-bit millisecond tick, Sleep, and KX_TIME_SCALE.
//
// Every wait, Sleep and time-out lasts `scale` times its nominal length and
// the tick advances 1/scale milliseconds per real millisecond, so code that
// measures its own time-outs with GetTickCount sees nominal figures.
#include "kx_internal.h"

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
// the fields are published under a sequence count (odd while a writer
// changes them), and a reader that saw a change under way reads again.
struct TimeFields {
    double scale;
    int64_t realBaseNs; // steady clock at the base
    double tickBase;    // nominal milliseconds at realBase
    DWORD offset;
};

struct TimeBase {
    std::mutex writers; // serialises the writers
    std::atomic<uint32_t> sequence{0};
    std::atomic<double> scale{1.0};
    std::atomic<int64_t> realBaseNs{0};
    std::atomic<double> tickBase{0};
    std::atomic<DWORD> offset{0};
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
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

TimeBase &Base() {
    static TimeBase *base = [] {
        auto *b = new TimeBase;
        b->scale = ScaleFromEnvironment();
        b->realBaseNs = NowNs();
        return b;
    }();
    return *base;
}

TimeFields Read(TimeBase &b) {
    for (;;) {
        uint32_t before = b.sequence.load(std::memory_order_acquire);
        if (before & 1) {
            std::this_thread::yield(); // a writer is between its two steps
            continue;
        }
        TimeFields f{
            b.scale.load(std::memory_order_acquire), b.realBaseNs.load(std::memory_order_acquire),
            b.tickBase.load(std::memory_order_acquire), b.offset.load(std::memory_order_acquire)};
        if (b.sequence.load(std::memory_order_acquire) == before)
            return f;
    }
}

// Under b.writers: publishes new fields.
void WriteLocked(TimeBase &b, const TimeFields &f) {
    b.sequence.fetch_add(1, std::memory_order_acq_rel);
    b.scale.store(f.scale, std::memory_order_release);
    b.realBaseNs.store(f.realBaseNs, std::memory_order_release);
    b.tickBase.store(f.tickBase, std::memory_order_release);
    b.offset.store(f.offset, std::memory_order_release);
    b.sequence.fetch_add(1, std::memory_order_release);
}

double NominalNow(const TimeFields &f, int64_t nowNs) {
    return f.tickBase + static_cast<double>(nowNs - f.realBaseNs) / 1e6 / f.scale;
}

double CurrentScale() {
    return Base().scale.load(std::memory_order_acquire);
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
    kx::TimeBase &b = kx::Base();
    std::lock_guard<std::mutex> guard(b.writers);
    // Rebase so the tick stays continuous across the change.
    kx::TimeFields f = kx::Read(b);
    int64_t now = kx::NowNs();
    f.tickBase = kx::NominalNow(f, now);
    f.realBaseNs = now;
    f.scale = scale;
    kx::WriteLocked(b, f);
}

double TimeScale() {
    return kx::CurrentScale();
}

void SetTickOffset(DWORD offset) {
    kx::TimeBase &b = kx::Base();
    std::lock_guard<std::mutex> guard(b.writers);
    kx::TimeFields f = kx::Read(b);
    f.offset = offset;
    kx::WriteLocked(b, f);
}

} // namespace kxtest

extern "C" DWORD GetTickCount(void) {
    kx::TimeFields f = kx::Read(kx::Base());
    uint64_t whole = static_cast<uint64_t>(kx::NominalNow(f, kx::NowNs()));
    return static_cast<DWORD>(whole + f.offset);
}

extern "C" void Sleep(DWORD milliseconds) {
    kx::RunDeferredWakes(); // it blocks: first the wakes it owes
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

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

struct TimeBase {
    std::mutex mutex; // guards every field below
    double scale = 1.0;
    Clock::time_point realBase = Clock::now();
    double tickBase = 0; // nominal milliseconds at realBase
    DWORD offset = 0;
};

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
        return b;
    }();
    return *base;
}

double NominalNowLocked(TimeBase &b) {
    double realMs = std::chrono::duration<double, std::milli>(Clock::now() - b.realBase).count();
    return b.tickBase + realMs / b.scale;
}

double CurrentScale() {
    TimeBase &b = Base();
    std::lock_guard<std::mutex> guard(b.mutex);
    return b.scale;
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
    std::lock_guard<std::mutex> guard(b.mutex);
    // Rebase so the tick stays continuous across the change.
    b.tickBase = kx::NominalNowLocked(b);
    b.realBase = kx::Clock::now();
    b.scale = scale;
}

double TimeScale() {
    return kx::CurrentScale();
}

void SetTickOffset(DWORD offset) {
    kx::TimeBase &b = kx::Base();
    std::lock_guard<std::mutex> guard(b.mutex);
    b.offset = offset;
}

} // namespace kxtest

extern "C" DWORD GetTickCount(void) {
    kx::TimeBase &b = kx::Base();
    if (kx::sched::On() && kx::sched::Scheduled()) {
        std::lock_guard<std::mutex> guard(b.mutex);
        return static_cast<DWORD>(kx::sched::Now() + b.offset);
    }
    std::lock_guard<std::mutex> guard(b.mutex);
    double nominal = kx::NominalNowLocked(b);
    uint64_t whole = static_cast<uint64_t>(nominal);
    return static_cast<DWORD>(whole + b.offset);
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

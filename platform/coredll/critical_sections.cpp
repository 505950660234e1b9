// Critical sections: re-entrant locks stored inside the caller's record.
//
// A section is a futex word (0 free, 1 held, 2 held and a thread may sleep on
// it) with its holder's thread number and entry count beside it. Entering a
// section the thread already holds only counts; entering a free one is one
// atomic exchange; a taken one puts the thread to sleep on the word, with no
// spinning first (on one CPU the holder could not run meanwhile). Leaving
// wakes one sleeper when there may be one.
//
// The thread-sanitizer build is told that these are locks (with their
// re-entry), so that it orders what they guard and checks their lock order.
//
// Under the deterministic scheduler the scheduler keeps each section's owner
// instead (scheduler.h); the host lock is then left alone.
#include "kernel_objects.h"
#include "scheduler.h"

#include <new>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define KX_TSAN(call) call
#else
#define KX_TSAN(call) ((void)0)
#endif

namespace {

struct Section {
    std::atomic<uint32_t> word{0};
    std::atomic<uint32_t> holder{0}; // the holder's thread number; 0: none
    uint32_t entries = 0;            // the holder's entries; touched by the holder only
};

static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION too small for the section");
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

Section *SectionOf(LPCRITICAL_SECTION cs) {
    return std::launder(reinterpret_cast<Section *>(cs->opaque));
}

// A number per thread, never 0, never shared by two living threads.
std::atomic<uint32_t> nextThreadNumber{1};
KX_HOT_THREAD_LOCAL uint32_t threadNumber = 0;

uint32_t Self() {
    uint32_t n = threadNumber;
    if (n == 0)
        n = threadNumber = nextThreadNumber.fetch_add(1, std::memory_order_relaxed);
    return n;
}

// Takes the word: 0 -> 1, or sleeps until it can make it 2 from 0.
void Acquire(Section *s) {
    uint32_t seen = 0;
    if (s->word.compare_exchange_strong(seen, 1, std::memory_order_acquire))
        return;
    if (seen != 2)
        seen = s->word.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
        kx::FutexSleep(&s->word, 2, -1);
        seen = s->word.exchange(2, std::memory_order_acquire);
    }
}

} // namespace

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    new (cs->opaque) Section;
    KX_TSAN(__tsan_mutex_create(cs, __tsan_mutex_write_reentrant));
}

extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On())
        kx::sched::DeleteSection(cs);
#if defined(__SANITIZE_THREAD__)
    // Deleting a section that its caller still holds is allowed: the hold
    // ends with the section.
    if (SectionOf(cs)->holder.load(std::memory_order_relaxed) == Self()) {
        __tsan_mutex_pre_unlock(cs, __tsan_mutex_recursive_unlock);
        __tsan_mutex_post_unlock(cs, __tsan_mutex_recursive_unlock);
    }
#endif
    KX_TSAN(__tsan_mutex_destroy(cs, 0));
    SectionOf(cs)->~Section();
}

extern "C" void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On() && kx::sched::EnterSection(cs))
        return;
    Section *s = SectionOf(cs);
    uint32_t self = Self();
    KX_TSAN(__tsan_mutex_pre_lock(cs, 0));
    // Only this thread ever stores its own number, so seeing it is exact.
    if (s->holder.load(std::memory_order_relaxed) == self) {
        ++s->entries;
    } else {
        Acquire(s);
        s->holder.store(self, std::memory_order_relaxed);
        s->entries = 1;
    }
    KX_TSAN(__tsan_mutex_post_lock(cs, 0, 0));
}

extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On() && kx::sched::LeaveSection(cs))
        return;
    Section *s = SectionOf(cs);
    // A leave by a thread that does not hold the section changes nothing:
    // it must not release (or count down) another thread's hold.
    if (s->holder.load(std::memory_order_relaxed) != Self())
        return;
    KX_TSAN(__tsan_mutex_pre_unlock(cs, 0));
    if (--s->entries == 0) {
        s->holder.store(0, std::memory_order_relaxed);
        if (s->word.exchange(0, std::memory_order_release) == 2)
            kx::FutexWake(&s->word, 1);
    }
    KX_TSAN(__tsan_mutex_post_unlock(cs, 0));
}

extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    BOOL scheduledEntry;
    if (kx::sched::On() && kx::sched::TryEnterSection(cs, &scheduledEntry))
        return scheduledEntry;
    Section *s = SectionOf(cs);
    uint32_t self = Self();
    KX_TSAN(__tsan_mutex_pre_lock(cs, __tsan_mutex_try_lock));
    bool entered = true;
    if (s->holder.load(std::memory_order_relaxed) == self) {
        ++s->entries;
    } else {
        uint32_t seen = 0;
        entered = s->word.compare_exchange_strong(seen, 1, std::memory_order_acquire);
        if (entered) {
            s->holder.store(self, std::memory_order_relaxed);
            s->entries = 1;
        }
    }
    KX_TSAN(__tsan_mutex_post_lock(
        cs, entered ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
        0));
    return entered ? TRUE : FALSE;
}

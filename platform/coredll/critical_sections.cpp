// Critical sections: re-entrant mutexes stored inside the caller's record.
// Under the deterministic scheduler the scheduler keeps each section's owner
// instead (scheduler.h); the host mutex is then left alone.
#include <windows.h>

#include "scheduler.h"

#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION too small for the host mutex");

static pthread_mutex_t *MutexOf(LPCRITICAL_SECTION cs) {
    return reinterpret_cast<pthread_mutex_t *>(cs->opaque);
}

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(cs), &attr);
    pthread_mutexattr_destroy(&attr);
}

extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On())
        kx::sched::DeleteSection(cs);
    pthread_mutex_destroy(MutexOf(cs));
}
extern "C" void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On() && kx::sched::EnterSection(cs))
        return;
    pthread_mutex_lock(MutexOf(cs));
}
extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (kx::sched::On() && kx::sched::LeaveSection(cs))
        return;
    pthread_mutex_unlock(MutexOf(cs));
}
extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    BOOL entered;
    if (kx::sched::On() && kx::sched::TryEnterSection(cs, &entered))
        return entered;
    return pthread_mutex_trylock(MutexOf(cs)) == 0 ? TRUE : FALSE;
}

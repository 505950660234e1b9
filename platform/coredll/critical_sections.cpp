// Critical sections: re-entrant mutexes stored inside the caller's record.
// Each thread counts the sections it holds, so that the wakes its SetEvent
// calls made meanwhile are made when it leaves the last one (WakeList).
#include "kx_internal.h"

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
    pthread_mutex_destroy(MutexOf(cs));
}
extern "C" void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (pthread_mutex_trylock(MutexOf(cs)) != 0) {
        // It must wait: the thread that holds the section may be one that
        // this thread still owes a wake.
        kx::RunDeferredWakes();
        pthread_mutex_lock(MutexOf(cs));
    }
    kx::NoteSectionEntered();
}
extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(MutexOf(cs));
    kx::NoteSectionLeft();
}
extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (pthread_mutex_trylock(MutexOf(cs)) != 0)
        return FALSE;
    kx::NoteSectionEntered();
    return TRUE;
}

// Threads: CreateThread with waitable handles, exit codes, thread ids.
// Under the deterministic scheduler a new thread is known to the scheduler
// from CreateThread on and waits for its turn before it runs; its start and
// end are scheduling points.
#include "kernel_objects.h"
#include "scheduler.h"

#include <pthread.h>
#include <unistd.h>

namespace kx {
namespace {

std::atomic<int> runningThreads{0};
std::atomic<DWORD> nextThreadId{1};

// The thread object is shared by its handle(s) and by the running thread
// itself, so it lives as long as either needs it.
class Thread : public Waitable {
  public:
    Thread() : Waitable(ObjectKind::Thread) {}
    static bool HoldsKind(ObjectKind k) { return k == ObjectKind::Thread; }
    bool TryAcquireLocked(bool) override { return ended; } // never consumed
    const char *KindName() const override { return "thread"; }
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    DWORD id = 0;
    bool ended = false;             // guarded by WaitMutex()
    DWORD exitCode = STILL_ACTIVE;  // guarded by WaitMutex()
    bool suspended = false;         // guarded by WaitMutex()
    std::condition_variable resume; // signalled by ResumeThread, with WaitMutex()
};

thread_local DWORD currentThreadId = 0;
thread_local std::shared_ptr<Thread> *currentThread = nullptr;

void FinishThread(const std::shared_ptr<Thread> &t, DWORD code) {
    WakeList wakes;
    {
        std::lock_guard<std::mutex> guard(WaitMutex());
        if (t->ended)
            return;
        t->exitCode = code;
        t->ended = true;
        t->WakeLocked(wakes);
    }
    wakes.Run();
}

struct ThreadStart {
    std::shared_ptr<Thread> thread;
    sched::ThreadRecord *scheduled; // null when the scheduler is off
};

bool Suspended(const std::shared_ptr<Thread> &t) {
    std::lock_guard<std::mutex> guard(WaitMutex());
    return t->suspended;
}

void *ThreadMain(void *argument) {
    auto *start = static_cast<ThreadStart *>(argument);
    std::shared_ptr<Thread> self(std::move(start->thread));
    sched::ThreadRecord *scheduled = start->scheduled;
    delete start;
    if (scheduled != nullptr) {
        sched::StartThread(scheduled);
        while (Suspended(self)) {
            const void *key = &self->resume;
            sched::Block(&key, 1, sched::NoDeadline, "ResumeThread (created suspended)");
        }
    }
    currentThreadId = self->id;
    currentThread = &self;
    {
        std::unique_lock<std::mutex> lock(WaitMutex());
        while (self->suspended)
            self->resume.wait(lock);
    }
    DWORD code = self->start(self->parameter);
    FinishThread(self, code);
    currentThread = nullptr;
    runningThreads.fetch_sub(1);
    // The scheduled end comes last: after it this host thread runs beside
    // the next scheduled one and touches nothing shared.
    self.reset();
    if (scheduled != nullptr)
        sched::EndThread();
    return nullptr;
}

} // namespace

int RunningThreads() {
    return runningThreads.load();
}

void ForgetParkedThreads(int count) {
    runningThreads.fetch_sub(count);
}

} // namespace kx

using namespace kx;

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                               LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<Thread>();
    t->start = start;
    t->parameter = parameter;
    t->id = nextThreadId.fetch_add(1);
    t->suspended = (creationFlags & CREATE_SUSPENDED) != 0;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize >= 65536)
        pthread_attr_setstacksize(&attr, stackSize);
    sched::ThreadRecord *scheduled = nullptr;
    if (sched::On())
        scheduled = sched::AddThread(t->id, true);
    auto *argument = new ThreadStart{t, scheduled};
    HANDLE handle = AddHandle(t);
    runningThreads.fetch_add(1);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadMain, argument);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        runningThreads.fetch_sub(1);
        delete argument;
        if (scheduled != nullptr)
            sched::DropThread(scheduled);
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = t->id;
    if (scheduled != nullptr)
        sched::Point("CreateThread", handle);
    return handle;
}

extern "C" BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto t = Lookup<Thread>(handle);
    if (!t || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(WaitMutex());
    *exitCode = t->exitCode;
    return TRUE;
}

extern "C" DWORD ResumeThread(HANDLE handle) {
    auto t = Lookup<Thread>(handle);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0xffffffffu;
    }
    std::lock_guard<std::mutex> guard(WaitMutex());
    DWORD previous = t->suspended ? 1 : 0;
    t->suspended = false;
    t->resume.notify_all();
    if (sched::On())
        sched::Notify(&t->resume);
    return previous;
}

extern "C" void ExitThread(DWORD exitCode) {
    if (currentThread) {
        FinishThread(*currentThread, exitCode);
        currentThread->reset();
        currentThread = nullptr;
        runningThreads.fetch_sub(1);
    }
    if (sched::On())
        sched::EndThread();
    pthread_exit(nullptr);
}

extern "C" DWORD GetCurrentThreadId(void) {
    if (currentThreadId == 0)
        currentThreadId = nextThreadId.fetch_add(1);
    return currentThreadId;
}

extern "C" DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

extern "C" BOOL SetThreadPriority(HANDLE handle, int) {
    if (!Lookup<Thread>(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE; // the host scheduler decides; accepted as on the target
}

extern "C" int GetThreadPriority(HANDLE) {
    return THREAD_PRIORITY_NORMAL;
}

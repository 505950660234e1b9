// Threads: CreateThread with waitable handles, exit codes, thread ids.
#include "kx_internal.h"

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
    RunDeferredWakes(); // a thread ends owing no wake
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

void *ThreadMain(void *argument) {
    std::shared_ptr<Thread> self(std::move(*static_cast<std::shared_ptr<Thread> *>(argument)));
    delete static_cast<std::shared_ptr<Thread> *>(argument);
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
    return nullptr;
}

} // namespace

int RunningThreads() {
    return runningThreads.load();
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
    auto *argument = new std::shared_ptr<Thread>(t);
    HANDLE handle = AddHandle(t);
    runningThreads.fetch_add(1);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadMain, argument);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        runningThreads.fetch_sub(1);
        delete argument;
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = t->id;
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
    return previous;
}

extern "C" void ExitThread(DWORD exitCode) {
    if (currentThread) {
        FinishThread(*currentThread, exitCode);
        currentThread->reset();
        currentThread = nullptr;
        runningThreads.fetch_sub(1);
    }
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

#include "scheduled_ril.h"

#include <cstring>
#include <deque>
#include <memory>

#include "ril.h"

namespace rilsim {
namespace {

struct Delivery {
    bool notification;
    DWORD code;
    HRESULT id;
    DWORD status;           // a notification's data
    RILOPERATORNAMES names; // a result's data
};

struct Instance {
    RILRESULTCALLBACK result = nullptr;
    RILNOTIFYCALLBACK notify = nullptr;
    DWORD classes = 0;
    DWORD_PTR param = 0;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HANDLE wake = nullptr; // auto reset: something queued, or closing
    HANDLE idle = nullptr; // manual reset: nothing queued and no callback running
    // Under the RIL's lock:
    std::deque<Delivery> queue;
    bool closing = false;
    bool deinitialized = false; // RIL_Deinitialize has returned
};

// The RIL's state: `lock` guards every field and each instance's queue and
// marks. It is never held while a callback runs or a thread is waited for.
struct Ril {
    CRITICAL_SECTION lock;
    bool lockReady = false;
    std::vector<std::unique_ptr<Instance>> instances; // every instance of the schedule
    std::string operatorName;
    HRESULT nextId = 1;
    Counts counts;
};

Ril &TheRil() {
    static Ril ril;
    if (!ril.lockReady) {
        InitializeCriticalSection(&ril.lock);
        ril.lockReady = true;
    }
    return ril;
}

Instance *Live(Ril &r, HRIL handle) {
    for (auto &i : r.instances)
        if (i.get() == handle && !i->closing)
            return i.get();
    return nullptr;
}

DWORD WINAPI RilThread(LPVOID parameter) {
    Instance *inst = static_cast<Instance *>(parameter);
    Ril &r = TheRil();
    for (;;) {
        WaitForSingleObject(inst->wake, INFINITE);
        for (;;) {
            EnterCriticalSection(&r.lock);
            if (inst->closing || inst->queue.empty()) {
                bool closing = inst->closing;
                if (!closing)
                    SetEvent(inst->idle); // under the lock: nothing queued meanwhile
                LeaveCriticalSection(&r.lock);
                if (closing)
                    return 0;
                break;
            }
            Delivery d = inst->queue.front();
            inst->queue.pop_front();
            if (inst->deinitialized)
                r.counts.violations.push_back("a callback after RIL_Deinitialize returned");
            LeaveCriticalSection(&r.lock);
            if (d.notification)
                inst->notify(d.code, &d.status, sizeof d.status, inst->param);
            else
                inst->result(d.code, d.id, &d.names, sizeof d.names, inst->param);
        }
    }
}

} // namespace

void AwaitQuiet() {
    Ril &r = TheRil();
    for (auto &i : r.instances) {
        HANDLE either[2] = {i->idle, i->thread};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }
    for (auto &i : r.instances) {
        EnterCriticalSection(&r.lock);
        bool closing = i->closing;
        LeaveCriticalSection(&r.lock);
        if (closing && i->thread)
            WaitForSingleObject(i->thread, INFINITE);
    }
}

void Reset(const std::string &operatorLongName) {
    Ril &r = TheRil();
    for (auto &i : r.instances) {
        EnterCriticalSection(&r.lock);
        i->closing = true;
        LeaveCriticalSection(&r.lock);
        SetEvent(i->wake);
        if (i->thread) {
            WaitForSingleObject(i->thread, INFINITE);
            CloseHandle(i->thread);
        }
        CloseHandle(i->wake);
        CloseHandle(i->idle);
    }
    r.instances.clear();
    r.operatorName = operatorLongName;
    r.counts = Counts();
}

void NoticeRegistration(DWORD status) {
    Ril &r = TheRil();
    std::vector<HANDLE> wake;
    EnterCriticalSection(&r.lock);
    for (auto &i : r.instances) {
        if (i->closing || !(i->classes & RIL_NCLASS_NETWORK))
            continue;
        Delivery d = {};
        d.notification = true;
        d.code = RIL_NOTIFY_REGSTATUSCHANGED;
        d.status = status;
        i->queue.push_back(d);
        ResetEvent(i->idle);
        wake.push_back(i->wake);
    }
    LeaveCriticalSection(&r.lock);
    for (HANDLE w : wake)
        SetEvent(w);
}

Counts Seen() {
    Ril &r = TheRil();
    EnterCriticalSection(&r.lock);
    Counts c = r.counts;
    c.open = 0;
    for (auto &i : r.instances)
        c.open += i->closing ? 0 : 1;
    LeaveCriticalSection(&r.lock);
    return c;
}

} // namespace rilsim

using namespace rilsim;

extern "C" HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult,
                                  RILNOTIFYCALLBACK pfnNotify, DWORD dwNotificationClasses,
                                  DWORD_PTR dwParam, HRIL *lphRil) {
    if (!lphRil || !pfnResult)
        return E_INVALIDARG;
    Ril &r = TheRil();
    auto inst = std::make_unique<Instance>();
    inst->result = pfnResult;
    inst->notify = pfnNotify;
    inst->classes = pfnNotify ? dwNotificationClasses : 0;
    inst->param = dwParam;
    inst->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    inst->idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    Instance *raw = inst.get();
    EnterCriticalSection(&r.lock);
    r.instances.push_back(std::move(inst));
    ++r.counts.initialized;
    LeaveCriticalSection(&r.lock);
    raw->thread = CreateThread(nullptr, 0, RilThread, raw, 0, &raw->threadId);
    *lphRil = raw;
    return S_OK;
}

extern "C" HRESULT RIL_Deinitialize(HRIL hRil) {
    Ril &r = TheRil();
    EnterCriticalSection(&r.lock);
    Instance *inst = Live(r, hRil);
    if (inst == nullptr) {
        r.counts.violations.push_back("RIL_Deinitialize of an instance that is not open");
        LeaveCriticalSection(&r.lock);
        return E_INVALIDARG;
    }
    inst->closing = true;
    ++r.counts.deinitialized;
    LeaveCriticalSection(&r.lock);
    SetEvent(inst->wake);
    if (GetCurrentThreadId() != inst->threadId) {
        WaitForSingleObject(inst->thread, INFINITE);
        EnterCriticalSection(&r.lock);
        inst->deinitialized = true;
        LeaveCriticalSection(&r.lock);
    }
    return S_OK;
}

extern "C" HRESULT RIL_GetCurrentOperator(HRIL hRil, DWORD dwFormat) {
    Ril &r = TheRil();
    EnterCriticalSection(&r.lock);
    Instance *inst = Live(r, hRil);
    if (inst == nullptr) {
        // A handle that another thread is closing: refused, as the platform
        // RIL refuses it.
        LeaveCriticalSection(&r.lock);
        return E_INVALIDARG;
    }
    Delivery d = {};
    d.notification = false;
    d.code = RIL_RESULT_OK;
    d.id = r.nextId++;
    strncpy(d.names.szLongName, r.operatorName.c_str(), sizeof d.names.szLongName - 1);
    inst->queue.push_back(d);
    ResetEvent(inst->idle);
    HRESULT id = d.id;
    LeaveCriticalSection(&r.lock);
    SetEvent(inst->wake);
    return id;
}

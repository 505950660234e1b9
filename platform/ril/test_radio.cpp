// kxtest::TestRadio: the RIL served in process, with platform threads, for
// tests (kx_test_radio.h).
#include "test_radio.h"

#include "kx_test_radio.h"

#include <atomic>
#include <cstring>
#include <deque>

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
    HANDLE idle = nullptr; // manual reset: nothing queued, no callback running
    // Under State::lock:
    std::deque<Delivery> queue;
    bool closing = false;
    bool deinitialized = false; // RIL_Deinitialize returned (from another thread)
};

} // namespace

namespace kxtest {

// `lock` guards every field and each instance's queue and marks; it is
// never held while a callback runs or while a thread is waited for.
struct TestRadio::State {
    CRITICAL_SECTION lock;
    std::vector<std::unique_ptr<Instance>> instances; // every instance, closed ones too
    std::string operatorName;
    HRESULT nextId = 1;
    Counts counts;
};

} // namespace kxtest

namespace {

std::atomic<kxtest::TestRadio::State *> installed{nullptr};

Instance *Live(kxtest::TestRadio::State &s, HRIL handle) {
    for (auto &i : s.instances)
        if (i.get() == handle && !i->closing)
            return i.get();
    return nullptr;
}

DWORD WINAPI RilThread(LPVOID parameter) {
    auto *inst = static_cast<Instance *>(parameter);
    kxtest::TestRadio::State &s = *installed.load();
    for (;;) {
        WaitForSingleObject(inst->wake, INFINITE);
        for (;;) {
            EnterCriticalSection(&s.lock);
            if (inst->closing || inst->queue.empty()) {
                bool closing = inst->closing;
                if (!closing)
                    SetEvent(inst->idle); // under the lock: nothing is queued meanwhile
                LeaveCriticalSection(&s.lock);
                if (closing)
                    return 0;
                break;
            }
            Delivery d = inst->queue.front();
            inst->queue.pop_front();
            if (inst->deinitialized)
                s.counts.violations.push_back("a callback after RIL_Deinitialize returned");
            LeaveCriticalSection(&s.lock);
            if (d.notification)
                inst->notify(d.code, &d.status, sizeof d.status, inst->param);
            else
                inst->result(d.code, d.id, &d.names, sizeof d.names, inst->param);
        }
    }
}

// Queues a delivery on an instance (under the lock).
void QueueLocked(Instance *inst, const Delivery &d) {
    inst->queue.push_back(d);
    ResetEvent(inst->idle);
}

} // namespace

namespace kx {
namespace radio {

bool Installed() {
    return installed.load() != nullptr;
}

bool Owns(HRIL handle) {
    kxtest::TestRadio::State *s = installed.load();
    if (s == nullptr)
        return false;
    EnterCriticalSection(&s->lock);
    bool owns = false;
    for (auto &i : s->instances)
        owns = owns || i.get() == handle;
    LeaveCriticalSection(&s->lock);
    return owns;
}

HRESULT Initialize(RILRESULTCALLBACK result, RILNOTIFYCALLBACK notify, DWORD classes,
                   DWORD_PTR param, HRIL *handle) {
    kxtest::TestRadio::State &s = *installed.load();
    auto inst = std::make_unique<Instance>();
    inst->result = result;
    inst->notify = notify;
    inst->classes = notify ? classes : 0;
    inst->param = param;
    inst->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    inst->idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    Instance *raw = inst.get();
    EnterCriticalSection(&s.lock);
    s.instances.push_back(std::move(inst));
    ++s.counts.initialized;
    LeaveCriticalSection(&s.lock);
    // The handle is stored before the RIL thread may call back.
    *handle = raw;
    raw->thread = CreateThread(nullptr, 0, RilThread, raw, 0, &raw->threadId);
    return S_OK;
}

HRESULT Deinitialize(HRIL handle) {
    kxtest::TestRadio::State &s = *installed.load();
    EnterCriticalSection(&s.lock);
    Instance *inst = Live(s, handle);
    if (inst == nullptr) {
        s.counts.violations.push_back("RIL_Deinitialize of an instance that is not open");
        LeaveCriticalSection(&s.lock);
        return E_INVALIDARG;
    }
    inst->closing = true;
    ++s.counts.deinitialized;
    LeaveCriticalSection(&s.lock);
    SetEvent(inst->wake);
    if (GetCurrentThreadId() == inst->threadId)
        return S_OK; // the RIL thread ends when this callback returns
    WaitForSingleObject(inst->thread, INFINITE);
    EnterCriticalSection(&s.lock);
    inst->deinitialized = true;
    LeaveCriticalSection(&s.lock);
    return S_OK;
}

HRESULT GetCurrentOperator(HRIL handle, DWORD format) {
    kxtest::TestRadio::State &s = *installed.load();
    if (format != RIL_OPFORMAT_LONG)
        return E_NOTIMPL;
    EnterCriticalSection(&s.lock);
    Instance *inst = Live(s, handle);
    if (inst == nullptr) {
        // A handle that is being closed: refused, as the AT port's RIL does.
        LeaveCriticalSection(&s.lock);
        return E_INVALIDARG;
    }
    Delivery d = {};
    d.notification = false;
    d.code = RIL_RESULT_OK;
    d.id = s.nextId++;
    d.names.cbSize = sizeof d.names;
    d.names.dwParams = RIL_PARAM_ON_LONGNAME;
    // As a module's: the long name fills at most its 32 bytes, unterminated when it is that long.
    memcpy(d.names.szLongName, s.operatorName.data(),
           s.operatorName.size() < sizeof d.names.szLongName ? s.operatorName.size()
                                                             : sizeof d.names.szLongName);
    QueueLocked(inst, d);
    ++s.counts.operatorQueries;
    LeaveCriticalSection(&s.lock);
    SetEvent(inst->wake);
    return d.id;
}

} // namespace radio
} // namespace kx

namespace kxtest {

std::shared_ptr<TestRadio> TestRadio::Install() {
    auto *state = new State;
    InitializeCriticalSection(&state->lock);
    State *none = nullptr;
    if (!installed.compare_exchange_strong(none, state)) {
        DeleteCriticalSection(&state->lock);
        delete state;
        return nullptr;
    }
    return std::shared_ptr<TestRadio>(new TestRadio(state));
}

TestRadio::TestRadio(State *state) : state_(state) {}

TestRadio::~TestRadio() {
    for (auto &i : state_->instances) {
        EnterCriticalSection(&state_->lock);
        i->closing = true;
        LeaveCriticalSection(&state_->lock);
        SetEvent(i->wake);
        WaitForSingleObject(i->thread, INFINITE);
        CloseHandle(i->thread);
        CloseHandle(i->wake);
        CloseHandle(i->idle);
    }
    installed.store(nullptr);
    DeleteCriticalSection(&state_->lock);
    delete state_;
}

void TestRadio::SetOperator(const std::string &longName) {
    EnterCriticalSection(&state_->lock);
    state_->operatorName = longName;
    LeaveCriticalSection(&state_->lock);
}

void TestRadio::NoticeRegistration(DWORD status) {
    std::vector<HANDLE> wake;
    EnterCriticalSection(&state_->lock);
    for (auto &i : state_->instances) {
        if (i->closing || !(i->classes & RIL_NCLASS_NETWORK))
            continue;
        Delivery d = {};
        d.notification = true;
        d.code = RIL_NOTIFY_REGSTATUSCHANGED;
        d.status = status;
        QueueLocked(i.get(), d);
        wake.push_back(i->wake);
    }
    LeaveCriticalSection(&state_->lock);
    for (HANDLE w : wake)
        SetEvent(w);
}

void TestRadio::AwaitQuiet() {
    EnterCriticalSection(&state_->lock);
    std::vector<Instance *> all;
    for (auto &i : state_->instances)
        all.push_back(i.get());
    LeaveCriticalSection(&state_->lock);
    for (Instance *i : all) {
        HANDLE either[2] = {i->idle, i->thread};
        WaitForMultipleObjects(2, either, FALSE, INFINITE);
    }
    for (Instance *i : all) {
        EnterCriticalSection(&state_->lock);
        bool closing = i->closing;
        LeaveCriticalSection(&state_->lock);
        if (closing)
            WaitForSingleObject(i->thread, INFINITE);
    }
}

TestRadio::Counts TestRadio::Seen() const {
    EnterCriticalSection(&state_->lock);
    Counts c = state_->counts;
    c.open = 0;
    for (auto &i : state_->instances)
        c.open += i->closing ? 0 : 1;
    LeaveCriticalSection(&state_->lock);
    return c;
}

} // namespace kxtest

// The Radio Interface Layer over the module's AT command port.
//
// Each instance owns a session on the AT port (a SOCK_SEQPACKET socket,
// $KX_DEVICE_DIR/KXA1) and one RIL thread. The RIL thread sends the queued
// commands one at a time, reads the module's lines, and runs every callback of
// its instance: results of the instance's commands and the notifications of
// the classes it asked for. Callbacks run with no RIL lock held, so they may
// call the RIL again, RIL_Deinitialize of their own instance included.
//
// Lifetime: RIL_Deinitialize removes the instance from the table of live
// instances (so the handle stops working), marks it closing and, from any
// thread but the instance's own, waits for the RIL thread to end, which
// cannot happen while a callback runs; so no callback of the instance runs
// after RIL_Deinitialize returned. Called from inside one of the instance's
// own callbacks, it cannot wait for itself: the RIL thread then sees the mark
// as soon as the callback returns and delivers nothing more. Its instance
// waits among the table's ended instances until another RIL call, or the
// library's unloading, joins the thread and frees it. No RIL thread is ever
// left running: unloading the library (with its last user, or at exit)
// first ends every instance, so no thread runs code that is gone.
//
// Locks: the table lock (guards the set of live instances) before an
// instance's lock (guards its queue and closing mark). Neither is held while
// a callback runs or while the socket is used.
//
// Tests: while a kxtest::TestRadio is installed, every entry point serves
// its instances instead (test_radio.cpp). Under the deterministic scheduler
// only that radio exists: the AT port answers in real time, which the
// scheduler cannot order.

#include "instance.h"
#include "test_radio.h"

#include "scheduler.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kx {
namespace ril {

thread_local Instance *t_delivering = nullptr;

namespace {

// The test hook's observer. Its lock is a leaf, never held while the
// observer runs.
std::mutex g_observerLock;
std::shared_ptr<kxtest::RilObserver> g_observer;

} // namespace

void Observe(const kxtest::RilEvent &event) {
    std::shared_ptr<kxtest::RilObserver> observer;
    {
        std::lock_guard<std::mutex> guard(g_observerLock);
        observer = g_observer;
    }
    if (observer && *observer)
        (*observer)(event);
}

namespace {

void Destroy(Instance *inst);
void Wake(Instance *inst);

struct Table {
    std::mutex lock;
    std::unordered_set<Instance *> live;
    // Deinitialised from their own RIL thread; `ended` tells which of those
    // threads have returned (then joining them takes no time).
    std::vector<Instance *> ended;
    std::unordered_set<Instance *> returned;

    // Joins the threads of ended instances (all, or only those that have
    // returned) and frees them. Called without the table lock.
    void Reap(bool all) {
        std::vector<Instance *> done;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (size_t i = 0; i < ended.size();) {
                if (all || returned.count(ended[i])) {
                    done.push_back(ended[i]);
                    returned.erase(ended[i]);
                    ended.erase(ended.begin() + long(i));
                } else {
                    ++i;
                }
            }
        }
        for (Instance *inst : done) {
            inst->thread.join();
            Destroy(inst);
        }
    }

    // The library is being unloaded: every RIL thread must have ended
    // before its code goes.
    ~Table() {
        std::vector<Instance *> open;
        {
            std::lock_guard<std::mutex> guard(lock);
            open.assign(live.begin(), live.end());
            live.clear();
        }
        for (Instance *inst : open) {
            {
                std::lock_guard<std::mutex> guard(inst->lock);
                inst->closing = true;
            }
            Wake(inst);
            inst->thread.join();
            Destroy(inst);
        }
        Reap(true);
    }
};

// A plain static: unloading the library runs its destructor.
Table &Instances() {
    static Table table;
    return table;
}

std::atomic<int32_t> g_nextId{1};

HRESULT NextId() {
    for (;;) {
        int32_t id = g_nextId.fetch_add(1);
        if (id > 0)
            return id;
        g_nextId.store(1); // wrapped: command ids stay positive
    }
}

void Wake(Instance *inst) {
    char b = 1;
    ssize_t n = write(inst->wake[1], &b, 1);
    (void)n; // a full pipe already wakes the thread
}

void Destroy(Instance *inst) {
    if (inst->fd >= 0)
        close(inst->fd);
    close(inst->wake[0]);
    close(inst->wake[1]);
    delete inst;
}

void ThreadMain(Instance *inst) {
    {
        std::lock_guard<std::mutex> guard(inst->lock);
        inst->rilThread = std::this_thread::get_id();
    }
    RunSession(inst);
    // The session ends with the thread, also when nobody joins it yet.
    if (inst->fd >= 0) {
        close(inst->fd);
        inst->fd = -1;
    }
    bool self;
    {
        std::lock_guard<std::mutex> guard(inst->lock);
        self = inst->selfClosed;
    }
    if (self) {
        Table &table = Instances();
        std::lock_guard<std::mutex> guard(table.lock);
        table.returned.insert(inst);
    }
}

// Queues a command on a live instance; returns its id or a failure.
HRESULT Queue(HRIL hRil, Command command) {
    Table &table = Instances();
    std::lock_guard<std::mutex> tableGuard(table.lock);
    Instance *inst = (Instance *)hRil;
    if (!inst || !table.live.count(inst))
        return E_INVALIDARG;
    command.id = NextId();
    {
        std::lock_guard<std::mutex> guard(inst->lock);
        inst->queue.push_back(command);
    }
    if (t_delivering == inst)
        ++inst->queuedByCallback; // this is the instance's own RIL thread
    Wake(inst);
    return command.id;
}

} // namespace

} // namespace ril
} // namespace kx

using namespace kx::ril;

extern "C" {

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD_PTR dwParam, HRIL *lphRil) {
    if (!lphRil)
        return E_INVALIDARG;
    *lphRil = nullptr;
    if (kx::radio::Installed())
        return kx::radio::Initialize(pfnResult, pfnNotify, dwNotificationClasses, dwParam, lphRil);
    if (kx::sched::On())
        return HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST);
    Instances().Reap(false);
    int fd = ConnectPort();
    if (fd < 0)
        return HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST);
    Instance *inst = new Instance;
    inst->result = pfnResult;
    inst->notify = pfnNotify;
    inst->classes = dwNotificationClasses;
    inst->param = dwParam;
    inst->fd = fd;
    if (pipe2(inst->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        delete inst;
        return E_FAIL;
    }
    // Told before the RIL thread starts, so Opened comes first, and before
    // the table lock is taken.
    kxtest::RilEvent opened;
    opened.kind = kxtest::RilEvent::Opened;
    opened.instance = (HRIL)inst;
    Observe(opened);
    Table &table = Instances();
    std::lock_guard<std::mutex> tableGuard(table.lock);
    table.live.insert(inst);
    // The handle is stored before the RIL thread may call back.
    *lphRil = (HRIL)inst;
    inst->thread = std::thread(ThreadMain, inst);
    return S_OK;
}

HRESULT RIL_Deinitialize(HRIL hRil) {
    if (kx::radio::Owns(hRil))
        return kx::radio::Deinitialize(hRil);
    Instance *inst = (Instance *)hRil;
    Table &table = Instances();
    bool own;
    {
        std::lock_guard<std::mutex> tableGuard(table.lock);
        if (!inst || !table.live.erase(inst))
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(inst->lock);
        own = inst->rilThread == std::this_thread::get_id();
        inst->closing = true;
        inst->selfClosed = own;
        if (own)
            table.ended.push_back(inst);
    }
    if (own)
        return S_OK; // the RIL thread ends when this callback returns
    Wake(inst);
    inst->thread.join();
    Destroy(inst);
    table.Reap(false);
    return S_OK;
}

HRESULT RIL_GetCurrentOperator(HRIL hRil, DWORD dwFormat) {
    if (kx::radio::Owns(hRil))
        return kx::radio::GetCurrentOperator(hRil, dwFormat);
    const char *format = dwFormat == RIL_OPFORMAT_LONG    ? "0"
                         : dwFormat == RIL_OPFORMAT_SHORT ? "1"
                         : dwFormat == RIL_OPFORMAT_NUM   ? "2"
                                                          : nullptr;
    if (!format)
        return E_INVALIDARG;
    Command c;
    c.kind = Kind::Operator;
    c.format = dwFormat;
    c.lines.push_back(std::string("AT+COPS=3,") + format);
    c.lines.push_back("AT+COPS?");
    return Queue(hRil, c);
}

HRESULT RIL_GetEquipmentState(HRIL hRil) {
    if (kx::radio::Owns(hRil))
        return E_NOTIMPL;
    Command c;
    c.kind = Kind::Equipment;
    c.lines.push_back("AT+CFUN?");
    return Queue(hRil, c);
}

HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize) {
    if (kx::radio::Owns(hRil))
        return E_NOTIMPL;
    if (!lpbParams || dwSize < sizeof(DWORD))
        return E_INVALIDARG;
    DWORD code = 0;
    memcpy(&code, lpbParams, sizeof(code));
    if (code != RIL_DEVSPECIFIC_ATCOMMAND)
        return E_NOTIMPL;
    std::string text((const char *)lpbParams + sizeof(DWORD), dwSize - sizeof(DWORD));
    text = text.substr(0, text.find('\0'));
    // One command line: a CR or LF inside would smuggle in a second one.
    if (text.empty() || text.find_first_of("\r\n") != std::string::npos)
        return E_INVALIDARG;
    Command c;
    c.kind = Kind::DevSpecific;
    c.lines.push_back(text);
    return Queue(hRil, c);
}

} // extern "C"

namespace kxtest {

void SetRilObserver(RilObserver observer) {
    std::lock_guard<std::mutex> guard(g_observerLock);
    g_observer = observer ? std::make_shared<RilObserver>(std::move(observer)) : nullptr;
}

} // namespace kxtest

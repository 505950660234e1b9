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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <windows.h>

#include "ril.h"
#include "test_radio.h"

#include "kx_ril_test.h"

// The platform's own helpers: the device folder and time scaling, shared
// with coredll so that every platform library agrees on them.
#include "../coredll/kx_internal.h"
#include "../coredll/scheduler.h"

namespace {

// How long the module may take to finish one command line, nominal
// milliseconds (scaled by KX_TIME_SCALE like every platform time limit).
const int kCommandTimeoutMs = 30000;
// Between attempts to reopen the port after the module went away.
const int kReconnectMs = 1000;

enum class Kind { Internal, Operator, Equipment, DevSpecific };

struct Command {
    Kind kind = Kind::Internal;
    bool watch = false; // the network watch (AT+CREG=1): observers hear when it is in place
    HRESULT id = 0;
    std::vector<std::string> lines; // AT command lines, sent in order
    DWORD format = RIL_OPFORMAT_LONG;
};

struct Instance {
    // Set before the RIL thread starts, constant afterwards.
    RILRESULTCALLBACK result = nullptr;
    RILNOTIFYCALLBACK notify = nullptr;
    DWORD classes = 0;
    DWORD_PTR param = 0;
    int wake[2] = {-1, -1}; // written to wake the RIL thread
    std::thread thread;

    // Guarded by `lock`.
    std::mutex lock;
    std::deque<Command> queue;
    bool closing = false;
    bool selfClosed = false;   // deinitialised from its own RIL thread
    std::thread::id rilThread; // set by the RIL thread itself

    // The RIL thread's own.
    int fd = -1;
    int queuedByCallback = 0; // commands queued by the callback running now
};

// The instance whose callback this thread is running (null outside callbacks).
thread_local Instance *t_delivering = nullptr;

// The test hook's observer. Its lock is a leaf, never held while the
// observer runs.
std::mutex g_observerLock;
std::shared_ptr<kxtest::RilObserver> g_observer;

void Observe(const kxtest::RilEvent &event) {
    std::shared_ptr<kxtest::RilObserver> observer;
    {
        std::lock_guard<std::mutex> guard(g_observerLock);
        observer = g_observer;
    }
    if (observer && *observer)
        (*observer)(event);
}

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

int ConnectPort() {
    std::string path = kx::DeviceDirectory() + "/KXA1";
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (sockaddr *)&address, sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool StartsWithNoCase(const std::string &s, const char *prefix) {
    size_t n = strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool IsFinalResult(const std::string &line) {
    return line == "OK" || line == "ERROR" || StartsWithNoCase(line, "+CME ERROR") ||
           StartsWithNoCase(line, "+CMS ERROR") || line == "NO CARRIER" || line == "BUSY" ||
           line == "NO ANSWER" || line == "NO DIALTONE";
}

// 3GPP 27.007 registration status to the RIL's.
DWORD RegistrationStatus(long stat) {
    switch (stat) {
    case 0:
        return RIL_REGSTAT_UNREGISTERED;
    case 1:
        return RIL_REGSTAT_HOME;
    case 2:
        return RIL_REGSTAT_ATTEMPTING;
    case 3:
        return RIL_REGSTAT_DENIED;
    case 5:
        return RIL_REGSTAT_ROAMING;
    default:
        return RIL_REGSTAT_UNKNOWN;
    }
}

// Splits the part after "+XXX: " at commas outside quotes; quoted fields
// keep their quotes.
std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return fields;
    std::string current;
    bool quoted = false;
    for (size_t i = colon + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted) {
            fields.push_back(current);
            current.clear();
        } else if (!(c == ' ' && current.empty() && !quoted)) {
            current += c;
        }
    }
    fields.push_back(current);
    return fields;
}

bool Unquote(const std::string &field, std::string *out) {
    if (field.size() < 2 || field.front() != '"' || field.back() != '"')
        return false;
    *out = field.substr(1, field.size() - 2);
    return true;
}

bool ParseLong(const std::string &field, long *value) {
    if (field.empty())
        return false;
    char *end = nullptr;
    *value = strtol(field.c_str(), &end, 10);
    return *end == 0;
}

void Wake(Instance *inst) {
    char b = 1;
    ssize_t n = write(inst->wake[1], &b, 1);
    (void)n; // a full pipe already wakes the thread
}

// The RIL thread's work on one instance.
class Session {
  public:
    explicit Session(Instance *inst) : inst_(inst) {}

    void Run() {
        if (inst_->fd >= 0)
            Connected();
        for (;;) {
            if (Closing())
                break;
            if (!busy_)
                StartNext();
            if (Closing())
                break;
            Wait();
            if (Closing())
                break;
            if (inst_->fd >= 0)
                Receive();
            else if (Elapsed(reconnectAt_))
                Reconnect();
            if (busy_ && Elapsed(deadline_))
                Finish(false);
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    bool Closing() {
        std::lock_guard<std::mutex> guard(inst_->lock);
        return inst_->closing;
    }

    static bool Elapsed(Clock::time_point t) { return Clock::now() >= t; }

    int MillisecondsUntil(Clock::time_point t) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
        return ms < 0 ? 0 : ms > 60000 ? 60000 : int(ms);
    }

    void Connected() {
        if (inst_->classes & RIL_NCLASS_NETWORK) {
            // Registration changes arrive as unsolicited +CREG codes. The
            // status in force now is not asked for: watchers act on changes.
            Command c;
            c.kind = Kind::Internal;
            c.watch = true;
            c.lines.push_back("AT+CREG=1");
            std::lock_guard<std::mutex> guard(inst_->lock);
            inst_->queue.push_front(c);
        }
    }

    void Reconnect() {
        inst_->fd = ConnectPort();
        if (inst_->fd >= 0) {
            rx_.clear();
            Connected();
        } else {
            reconnectAt_ = Clock::now() + Scaled(kReconnectMs);
        }
    }

    static Clock::duration Scaled(int ms) { return kx::ScaledDuration(DWORD(ms)); }

    // Starts the next queued command; one that fails at once (the port is
    // gone) makes way for the one after it.
    void StartNext() {
        while (!busy_ && !Closing()) {
            {
                std::lock_guard<std::mutex> guard(inst_->lock);
                if (inst_->queue.empty())
                    return;
                current_ = inst_->queue.front();
                inst_->queue.pop_front();
            }
            busy_ = true;
            step_ = 0;
            SendStep();
        }
    }

    void SendStep() {
        reply_.clear();
        lastWasUnsolicitedGap_ = false;
        const std::string &line = current_.lines[step_];
        std::string wire = line + "\r";
        echo_ = wire;
        if (inst_->fd < 0 || send(inst_->fd, wire.data(), wire.size(), MSG_NOSIGNAL) < 0) {
            Finish(false);
            return;
        }
        deadline_ = Clock::now() + Scaled(kCommandTimeoutMs);
    }

    void Wait() {
        pollfd fds[2];
        int count = 0;
        fds[count++] = {inst_->wake[0], POLLIN, 0};
        if (inst_->fd >= 0)
            fds[count++] = {inst_->fd, POLLIN, 0};
        int timeout = -1;
        if (busy_)
            timeout = MillisecondsUntil(deadline_);
        if (inst_->fd < 0) {
            int t = MillisecondsUntil(reconnectAt_);
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        int n = poll(fds, nfds_t(count), timeout);
        if (n > 0 && (fds[0].revents & POLLIN)) {
            char buffer[64];
            while (read(inst_->wake[0], buffer, sizeof(buffer)) > 0) {
            }
        }
    }

    void Receive() {
        char buffer[4096];
        ssize_t n = recv(inst_->fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            Disconnected();
            return;
        }
        rx_.append(buffer, size_t(n));
        Lines();
    }

    // The module went away: what is pending fails, and the port is tried
    // again from time to time.
    void Disconnected() {
        close(inst_->fd);
        inst_->fd = -1;
        reconnectAt_ = Clock::now() + Scaled(kReconnectMs);
        if (busy_)
            Finish(false);
        for (;;) {
            Command c;
            {
                std::lock_guard<std::mutex> guard(inst_->lock);
                if (inst_->queue.empty())
                    break;
                c = inst_->queue.front();
                inst_->queue.pop_front();
            }
            current_ = c;
            busy_ = true;
            Finish(false);
        }
    }

    void Lines() {
        for (;;) {
            if (busy_ && !echo_.empty()) {
                // The module may echo the command line (its text and CR)
                // before replying.
                size_t n = std::min(echo_.size(), rx_.size());
                if (strncasecmp(rx_.c_str(), echo_.c_str(), n) != 0) {
                    echo_.clear();
                } else if (n == echo_.size()) {
                    rx_.erase(0, n);
                    echo_.clear();
                } else {
                    return; // part of the echo so far
                }
            }
            size_t lf = rx_.find('\n');
            if (lf == std::string::npos)
                return;
            std::string line = rx_.substr(0, lf);
            rx_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            Line(line);
            if (Closing())
                return;
        }
    }

    void Line(const std::string &line) {
        echo_.clear();
        bool solicitedCreg = busy_ && StartsWithNoCase(current_.lines[step_], "AT+CREG?");
        if (StartsWithNoCase(line, "+CREG:") && !solicitedCreg) {
            // An unsolicited code in the middle of a reply takes the empty
            // line that framed it along.
            if (busy_ && lastWasUnsolicitedGap_ && !reply_.empty() && reply_.back().empty())
                reply_.pop_back();
            std::vector<std::string> f = Fields(line);
            long stat = 0;
            if (!f.empty() && ParseLong(f[0], &stat))
                Notify(RIL_NOTIFY_REGSTATUSCHANGED, RegistrationStatus(stat));
            lastWasUnsolicitedGap_ = false;
            return;
        }
        if (!busy_)
            return; // nothing asked: an unsolicited line nobody watches
        reply_.push_back(line);
        lastWasUnsolicitedGap_ = line.empty();
        if (IsFinalResult(line))
            Finish(line == "OK");
    }

    void Notify(DWORD code, DWORD status) {
        if (!inst_->notify || !(inst_->classes & (code & 0xFFFF0000u)))
            return;
        if (Closing())
            return;
        kxtest::RilEvent event;
        event.notification = true;
        event.status = status;
        Deliver(event, code, sizeof(status),
                [&] { inst_->notify(code, &status, sizeof(status), inst_->param); });
    }

    void Result(DWORD code, const void *data, DWORD size) {
        if (!inst_->result || Closing())
            return;
        kxtest::RilEvent event;
        Deliver(event, code, size,
                [&] { inst_->result(code, current_.id, data, size, inst_->param); });
    }

    // Runs one callback and tells the observer what it did to its instance.
    template <class Call>
    void Deliver(kxtest::RilEvent event, DWORD code, DWORD size, Call call) {
        inst_->queuedByCallback = 0;
        t_delivering = inst_;
        call();
        t_delivering = nullptr;
        event.kind = kxtest::RilEvent::Delivered;
        event.instance = (HRIL)inst_;
        event.code = code;
        event.size = size;
        event.commandsQueued = inst_->queuedByCallback;
        {
            std::lock_guard<std::mutex> guard(inst_->lock);
            event.closed = inst_->selfClosed;
        }
        Observe(event);
    }

    void Finish(bool ok) {
        if (ok && step_ + 1 < current_.lines.size()) {
            ++step_;
            SendStep();
            return;
        }
        busy_ = false;
        echo_.clear();
        if (current_.kind == Kind::Internal) {
            if (ok && current_.watch) {
                kxtest::RilEvent event;
                event.kind = kxtest::RilEvent::Watching;
                event.instance = (HRIL)inst_;
                Observe(event);
            }
            return;
        }
        if (!ok) {
            Result(RIL_RESULT_ERROR, nullptr, 0);
            return;
        }
        switch (current_.kind) {
        case Kind::Operator:
            OperatorResult();
            break;
        case Kind::Equipment:
            EquipmentResult();
            break;
        case Kind::DevSpecific: {
            std::string text;
            for (const auto &l : reply_)
                text += l + "\r\n";
            Result(RIL_RESULT_OK, text.c_str(), DWORD(text.size()));
            break;
        }
        case Kind::Internal:
            break;
        }
    }

    const std::string *ReplyLine(const char *prefix) {
        for (const auto &l : reply_) {
            if (StartsWithNoCase(l, prefix))
                return &l;
        }
        return nullptr;
    }

    void OperatorResult() {
        const std::string *line = ReplyLine("+COPS:");
        std::vector<std::string> f = line ? Fields(*line) : std::vector<std::string>();
        std::string name;
        if (f.size() < 3 || !Unquote(f[2], &name)) {
            Result(RIL_RESULT_ERROR, nullptr, 0); // no operator selected
            return;
        }
        RILOPERATORNAMES names;
        memset(&names, 0, sizeof(names));
        names.cbSize = sizeof(names);
        char *field = names.szLongName;
        size_t capacity = sizeof(names.szLongName);
        names.dwParams = RIL_PARAM_ON_LONGNAME;
        if (current_.format == RIL_OPFORMAT_SHORT) {
            field = names.szShortName;
            capacity = sizeof(names.szShortName);
            names.dwParams = RIL_PARAM_ON_SHORTNAME;
        } else if (current_.format == RIL_OPFORMAT_NUM) {
            field = names.szNumName;
            capacity = sizeof(names.szNumName);
            names.dwParams = RIL_PARAM_ON_NUMNAME;
        }
        // A name that fills the field is not terminated.
        memcpy(field, name.data(), std::min(capacity, name.size()));
        Result(RIL_RESULT_OK, &names, sizeof(names));
    }

    void EquipmentResult() {
        const std::string *line = ReplyLine("+CFUN:");
        std::vector<std::string> f = line ? Fields(*line) : std::vector<std::string>();
        long fun = 0;
        if (f.empty() || !ParseLong(f[0], &fun)) {
            Result(RIL_RESULT_ERROR, nullptr, 0);
            return;
        }
        RILEQUIPMENTSTATE state;
        memset(&state, 0, sizeof(state));
        state.cbSize = sizeof(state);
        state.dwParams = RIL_PARAM_EQUIPMENTSTATE_EQSTATE | RIL_PARAM_EQUIPMENTSTATE_RADIOSUPPORT;
        state.dwEqState = fun == 1   ? RIL_EQSTATE_FULL
                          : fun == 0 ? RIL_EQSTATE_MINIMUM
                          : fun == 4 ? RIL_EQSTATE_RXTXOFF
                                     : RIL_EQSTATE_UNKNOWN;
        state.dwRadioSupport = fun == 1 ? RIL_RADIOSUPPORT_ON : RIL_RADIOSUPPORT_OFF;
        Result(RIL_RESULT_OK, &state, sizeof(state));
    }

    Instance *inst_;
    std::string rx_;
    std::string echo_;
    bool busy_ = false;
    size_t step_ = 0;
    Command current_;
    std::vector<std::string> reply_;
    bool lastWasUnsolicitedGap_ = false;
    Clock::time_point deadline_;
    Clock::time_point reconnectAt_;
};

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
    Session(inst).Run();
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

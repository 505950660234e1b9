// Stream devices ("KXC1:", "KXN1:", ...): one SOCK_SEQPACKET connection per
// open handle, with serial-port time-outs, purge and close semantics.
//
// One WriteFile sends one message; one ReadFile returns at most one message
// (cut to the buffer). A transfer blocked in poll() can be ended by
// PurgeComm (abort bits) or CloseHandle from another thread: each blocked
// transfer registers a Waiter carrying its thread's wake-up eventfd.
//
// Under the deterministic scheduler only in-process devices exist; a
// transfer that must wait blocks in the scheduler (on its handle, woken by
// purge and close, and on its direction of the device, woken when the
// other side sends or goes), with its time limit in virtual time.
#include "file_objects.h"
#include "scheduler.h"
#include "test_device_state.h"

#include "kx_platform_test.h"

#include <kxhost/device_folder.h>
#include <kxhost/unix_socket.h>
#include <kxhost/utf.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kx {
namespace {

enum Direction { Receive = 1, Send = 2 };

// One eventfd per thread, created at the thread's first blocking transfer
// and reused: a thread is in at most one transfer at a time.
struct ThreadWakeFd {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~ThreadWakeFd() {
        if (fd >= 0)
            close(fd);
    }
};
thread_local ThreadWakeFd threadWake;

struct Waiter {
    int wakeFd;
    int direction;
    bool aborted = false; // guarded by DeviceFile::mutex
    bool woken = false;   // its eventfd was written; guarded by DeviceFile::mutex
};

// Under DeviceFile::mutex.
void Wake(Waiter *w) {
    uint64_t one = 1;
    ssize_t r = write(w->wakeFd, &one, sizeof(one));
    (void)r;
    w->woken = true;
}

void Drain(int fd) {
    uint64_t value;
    while (read(fd, &value, sizeof(value)) > 0) {
    }
}

// The test hook's tap. Its lock is a leaf, never held while the tap runs.
// tapSet tells a transfer without taking the lock that no tap is set.
std::mutex tapLock;
std::shared_ptr<kxtest::StreamTap> tap; // guarded by tapLock
std::atomic<bool> tapSet{false};

void TapStreamMessage(const std::u16string &device, bool written, const void *data, DWORD size) {
    if (!tapSet.load(std::memory_order_acquire))
        return;
    std::shared_ptr<kxtest::StreamTap> current;
    {
        std::lock_guard<std::mutex> guard(tapLock);
        current = tap;
    }
    if (current && *current)
        (*current)(device, written, data, size);
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    if (IsInfinite(deadline))
        return -1;
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

class DeviceFile : public FileObject {
  public:
    DeviceFile(std::u16string deviceName, int socketFd, int exclusiveLockFd,
               std::shared_ptr<kxtest::TestDevice::State> t)
        : name(std::move(deviceName)), fd(socketFd), lockFd(exclusiveLockFd), test(std::move(t)) {}

    ~DeviceFile() override {
        close(fd);
        if (lockFd >= 0)
            close(lockFd);
        // The module side reads the end of the connection.
        if (test && sched::On())
            sched::Notify(test->ModuleSideKey());
    }

    void OnClose() override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            closed = true;
            for (Waiter *w : waiters) {
                w->aborted = true;
                Wake(w);
            }
            if (sched::On())
                sched::Notify(this);
            // The name is free again once CloseHandle returns, even while a
            // woken transfer still holds this object for a moment.
            if (lockFd >= 0) {
                close(lockFd);
                lockFd = -1;
            }
        }
        if (test)
            test->NoteClosed();
    }

    BOOL Read(void *buffer, DWORD toRead, DWORD *read) override {
        if (read)
            *read = 0;
        if (test && test->ConsumeFailure(kxtest::DeviceCall::Read)) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        COMMTIMEOUTS t;
        if (!Snapshot(t))
            return FALSE;
        // Win32 read time-outs, for a device that delivers whole messages:
        //  - interval MAXDWORD, multiplier 0, constant 0: return at once;
        //  - interval and multiplier MAXDWORD, 0 < constant < MAXDWORD: return
        //    at once with data, else wait up to constant ms for a message;
        //  - otherwise a total limit of multiplier * size + constant ms, none
        //    when both are 0.
        bool immediate = false;
        DWORD limit = INFINITE;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            immediate = true;
        } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                   t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
            limit = t.ReadTotalTimeoutConstant;
        } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
            uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead +
                             t.ReadTotalTimeoutConstant;
            limit = total >= MAXDWORD ? MAXDWORD - 1 : static_cast<DWORD>(total);
        }
        DWORD got = 0;
        BOOL ok = Transfer(
            Receive, immediate, limit,
            [&]() -> ssize_t { return recv(fd, buffer, toRead, MSG_DONTWAIT); }, &got);
        if (read)
            *read = got;
        if (ok && got > 0)
            TapStreamMessage(name, false, buffer, got);
        return ok;
    }

    BOOL Write(const void *buffer, DWORD toWrite, DWORD *written) override {
        if (written)
            *written = 0;
        DWORD count = toWrite;
        if (test) {
            std::lock_guard<std::mutex> guard(test->mutex);
            if (test->ConsumeFailureLocked(kxtest::DeviceCall::Write)) {
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            }
            if (test->writeLimit >= 0 && count > static_cast<DWORD>(test->writeLimit))
                count = static_cast<DWORD>(test->writeLimit);
        }
        COMMTIMEOUTS t;
        if (!Snapshot(t))
            return FALSE;
        DWORD limit = INFINITE;
        if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
            uint64_t total = static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * toWrite +
                             t.WriteTotalTimeoutConstant;
            limit = total >= MAXDWORD ? MAXDWORD - 1 : static_cast<DWORD>(total);
        }
        DWORD sent = 0;
        BOOL ok = Transfer(
            Send, false, limit,
            [&]() -> ssize_t { return send(fd, buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL); },
            &sent);
        if (written)
            *written = sent;
        if (ok && sent > 0)
            TapStreamMessage(name, true, buffer, sent);
        if (test && sched::On())
            sched::Notify(test->ModuleSideKey());
        return ok;
    }

    BOOL GetTimeouts(COMMTIMEOUTS *out) override {
        if (!out) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (test && test->ConsumeFailure(kxtest::DeviceCall::GetTimeouts)) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return Snapshot(*out);
    }

    BOOL SetTimeouts(const COMMTIMEOUTS *in) override {
        if (!in) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (test) {
            std::lock_guard<std::mutex> guard(test->mutex);
            if (test->ConsumeFailureLocked(kxtest::DeviceCall::SetTimeouts)) {
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            }
            test->timeoutWrites.push_back(*in);
        }
        std::lock_guard<std::mutex> guard(mutex);
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        timeouts = *in;
        return TRUE;
    }

    BOOL Purge(DWORD flags) override {
        if (test) {
            std::lock_guard<std::mutex> guard(test->mutex);
            if (test->ConsumeFailureLocked(kxtest::DeviceCall::Purge)) {
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            }
            test->purges.push_back(flags);
        }
        std::lock_guard<std::mutex> guard(mutex);
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (Waiter *w : waiters) {
            bool abort = ((flags & PURGE_RXABORT) && w->direction == Receive) ||
                         ((flags & PURGE_TXABORT) && w->direction == Send);
            if (abort) {
                w->aborted = true;
                Wake(w);
            }
        }
        if (sched::On())
            sched::Notify(this);
        if (flags & PURGE_RXCLEAR) {
            char scrap[16];
            while (recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC) > 0) {
            }
        }
        // Messages are handed to the module at once, so nothing waits to be
        // cleared on the send side.
        return TRUE;
    }

  private:
    // Blocks a scheduled transfer until the handle is purged or closed, the
    // other side sends or goes, or the time limit passes.
    void ScheduledWait(Direction direction, DWORD limit, uint64_t deadline) {
        const void *keys[2] = {this, direction == Receive ? test->DriverSideKey()
                                                          : test->ModuleSideKey()};
        char description[96];
        std::string device = kxhost::Utf16ToUtf8(name.c_str());
        if (limit == INFINITE)
            snprintf(description, sizeof description, "%s(%s, no time limit)",
                     direction == Receive ? "ReadFile" : "WriteFile", device.c_str());
        else
            snprintf(description, sizeof description, "%s(%s, %lu ms)",
                     direction == Receive ? "ReadFile" : "WriteFile", device.c_str(),
                     static_cast<unsigned long>(limit));
        sched::Block(keys, 2, deadline, description);
    }

    bool Snapshot(COMMTIMEOUTS &out) {
        std::lock_guard<std::mutex> guard(mutex);
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        out = timeouts;
        return true;
    }

    // One transfer with the handle's time limit. It registers its Waiter
    // before its first attempt, so that a purge or a close made at any time
    // after the transfer began ends it (a purge that came between a first
    // attempt and a later registration would be lost, and a read without a
    // limit would wait on).
    //
    // A read that had to wait last time (readsWait) is likely to wait again
    // (a reader thread ahead of its module): it goes straight to poll() and
    // saves the attempt that would find nothing. Whether the poll() slept
    // tells the next read which way to start.
    template <class Op>
    BOOL Transfer(Direction direction, bool immediate, DWORD limit, Op op, DWORD *done) {
        DWORD error = ERROR_SUCCESS;
        bool scheduled = test && sched::On() && sched::Scheduled();
        bool waitFirst = direction == Receive && !immediate && !scheduled &&
                         readsWait.load(std::memory_order_relaxed);
        Waiter self{threadWake.fd, direction};
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (closed) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            waiters.push_back(&self);
        }
        BOOL ok = FALSE;
        bool mustWait = true;
        if (!waitFirst) {
            switch (Attempt(direction, op(), done, &error)) {
            case Finished:
                if (direction == Receive && !scheduled)
                    readsWait.store(false, std::memory_order_relaxed);
                ok = TRUE;
                mustWait = false;
                break;
            case Failed:
                mustWait = false;
                break;
            case WouldBlock:
                if (immediate) {
                    ok = TRUE; // nothing there: success with 0 bytes
                    mustWait = false;
                }
                break;
            }
        }
        if (mustWait)
            ok = Wait(direction, limit, op, done, waitFirst, self, &error);
        bool woken;
        {
            std::lock_guard<std::mutex> guard(mutex);
            waiters.erase(std::remove(waiters.begin(), waiters.end(), &self), waiters.end());
            if (self.aborted && ok == FALSE && error == ERROR_SUCCESS)
                error = ERROR_OPERATION_ABORTED;
            woken = self.woken;
        }
        // A wake-up left in the thread's eventfd would end its next wait at once.
        if (woken)
            Drain(self.wakeFd);
        if (!ok)
            SetLastError(error);
        return ok;
    }

    // The waiting part of a transfer (self registered): until the transfer
    // is done, aborted, fails or its time is up (success with nothing).
    template <class Op>
    BOOL Wait(Direction direction, DWORD limit, Op op, DWORD *done, bool waitFirst, Waiter &self,
              DWORD *errorOut) {
        DWORD error = ERROR_SUCCESS;
        bool scheduled = test && sched::On() && sched::Scheduled();
        auto deadline =
            scheduled ? std::chrono::steady_clock::time_point::max() : DeadlineAfter(limit);
        uint64_t virtualDeadline = scheduled ? sched::DeadlineAfter(limit) : sched::NoDeadline;
        BOOL ok = FALSE;
        bool slept = !waitFirst; // the first attempt found nothing
        for (;;) {
            if (scheduled) {
                if (sched::Now() >= virtualDeadline) {
                    ok = TRUE; // time-out, as below
                    break;
                }
                ScheduledWait(direction, limit, virtualDeadline);
                {
                    std::lock_guard<std::mutex> guard(mutex);
                    if (self.aborted) {
                        error = ERROR_OPERATION_ABORTED;
                        break;
                    }
                }
                Outcome outcome = Attempt(direction, op(), done, &error);
                if (outcome != WouldBlock) {
                    ok = outcome == Finished;
                    break;
                }
                continue;
            }
            int wait = RemainingMs(deadline);
            if (wait == 0) {
                ok = TRUE; // time-out: success with what was transferred (nothing)
                if (waitFirst) {
                    // No attempt yet: what is there now still counts.
                    Outcome outcome = Attempt(direction, op(), done, &error);
                    ok = outcome != Failed;
                }
                break;
            }
            struct pollfd fds[2] = {
                {fd, static_cast<short>(direction == Receive ? POLLIN : POLLOUT), 0},
                {self.wakeFd, POLLIN, 0}};
            auto before = std::chrono::steady_clock::now();
            int n = poll(fds, self.wakeFd >= 0 ? 2 : 1,
                         self.wakeFd >= 0 ? wait : (wait < 0 || wait > 50 ? 50 : wait));
            if (n < 0 && errno != EINTR) {
                error = ERROR_GEN_FAILURE;
                break;
            }
            // A poll() that returned within a system call's time found its
            // data there; one that slept was woken by it.
            slept = slept || std::chrono::steady_clock::now() - before > kSleptAtLeast;
            waitFirst = false;
            {
                std::lock_guard<std::mutex> guard(mutex);
                if (self.aborted) {
                    error = ERROR_OPERATION_ABORTED;
                    break;
                }
            }
            Outcome outcome = Attempt(direction, op(), done, &error);
            if (outcome != WouldBlock) {
                ok = outcome == Finished;
                break;
            }
            slept = true;
        }
        if (direction == Receive && !scheduled)
            readsWait.store(slept, std::memory_order_relaxed);
        *errorOut = error;
        return ok;
    }

    enum Outcome { Finished, Failed, WouldBlock };

    // What one send or receive (its result r) means for the transfer.
    static Outcome Attempt(Direction direction, ssize_t r, DWORD *done, DWORD *error) {
        if (r > 0) {
            if (done)
                *done = static_cast<DWORD>(r);
            return Finished;
        }
        if (r == 0) {
            // Receiving: the module closed the port. Sending: only for a
            // zero-byte message, which counts as sent.
            if (direction == Send)
                return Finished;
            *error = ERROR_DEVICE_NOT_CONNECTED;
            return Failed;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return WouldBlock;
        *error = (errno == EPIPE || errno == ECONNRESET) ? ERROR_DEVICE_NOT_CONNECTED
                                                         : ERROR_GEN_FAILURE;
        return Failed;
    }

    // How long a poll() lasts at least when it sleeps rather than finding
    // its data (a sleep is two context switches).
    static constexpr std::chrono::microseconds kSleptAtLeast{5};

    const std::u16string name;          // as opened, upper case ("KXC1:")
    std::atomic<bool> readsWait{false}; // the last read waited (a hint)
    const int fd;
    int lockFd; // guarded by mutex once shared
    const std::shared_ptr<kxtest::TestDevice::State> test;
    std::mutex mutex; // guards timeouts, closed, waiters, lockFd
    COMMTIMEOUTS timeouts{};
    bool closed = false;
    std::vector<Waiter *> waiters;
};

std::u16string UpperDeviceName(const WCHAR *name) {
    std::u16string out;
    for (const WCHAR *p = name; *p; ++p) {
        WCHAR c = *p;
        if (c >= u'a' && c <= u'z')
            c = static_cast<WCHAR>(c - u'a' + u'A');
        out.push_back(c);
    }
    return out;
}

std::shared_ptr<FileObject> OpenSocketDevice(const std::u16string &upper) {
    std::string base = kxhost::Utf16ToUtf8(upper.c_str(), upper.size() - 1); // without the colon
    std::string dir = kxhost::DefaultDeviceFolder();
    std::string socketPath = dir + "/" + base;
    std::string lockPath = dir + "/." + base + ".lock";

    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0) {
        SetLastError(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }
    // Exclusive across processes: the lock lives as long as the handle.
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        close(lockFd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    int fd = kxhost::ConnectUnixSocket(socketPath, SOCK_SEQPACKET);
    if (fd < 0) {
        DWORD error = errno == ENAMETOOLONG ? ERROR_BAD_PATHNAME : ERROR_DEV_NOT_EXIST;
        close(lockFd);
        SetLastError(error);
        return nullptr;
    }
    return std::make_shared<DeviceFile>(upper, fd, lockFd, nullptr);
}

} // namespace

bool IsStreamDeviceName(const WCHAR *name) {
    if (!name)
        return false;
    for (int i = 0; i < 3; ++i) {
        WCHAR c = name[i];
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
            return false;
    }
    return name[3] >= u'0' && name[3] <= u'9' && name[4] == u':' && name[5] == 0;
}

std::shared_ptr<FileObject> OpenStreamDevice(const WCHAR *name) {
    std::u16string upper = UpperDeviceName(name);
    if (auto test = kxtest::FindTestDevice(upper)) {
        int fd = test->Connect();
        if (fd < 0)
            return nullptr;
        return std::make_shared<DeviceFile>(upper, fd, -1, test);
    }
    if (sched::On()) {
        // The module's sockets answer in real time: not under the scheduler.
        SetLastError(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }
    return OpenSocketDevice(upper);
}

} // namespace kx

namespace kxtest {

void SetStreamTap(StreamTap t) {
    std::lock_guard<std::mutex> guard(kx::tapLock);
    kx::tap = t ? std::make_shared<StreamTap>(std::move(t)) : nullptr;
    kx::tapSet.store(kx::tap != nullptr, std::memory_order_release);
}

} // namespace kxtest

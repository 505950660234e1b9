// The RIL thread's session on the module's AT port ($KX_DEVICE_DIR/KXA1, a
// SOCK_SEQPACKET socket): it sends the instance's queued commands one at a
// time, reads the module's lines (an echo of the command skipped), maps
// unsolicited +CREG codes to notifications and finished replies to results,
// and reconnects when the module went away. No RIL lock is held while the
// socket is used or a callback runs.
#include "instance.h"

#include "at_reply.h"

#include "kx_time_scale.h"

#include <kxhost/device_folder.h>
#include <kxhost/unix_socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kx {
namespace ril {

namespace {

// How long the module may take to finish one command line, nominal
// milliseconds (scaled by KX_TIME_SCALE like every platform time limit).
const int kCommandTimeoutMs = 30000;
// Between attempts to reopen the port after the module went away.
const int kReconnectMs = 1000;

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
        bool solicitedCreg = busy_ && at::StartsWithNoCase(current_.lines[step_], "AT+CREG?");
        if (at::StartsWithNoCase(line, "+CREG:") && !solicitedCreg) {
            // An unsolicited code in the middle of a reply takes the empty
            // line that framed it along.
            if (busy_ && lastWasUnsolicitedGap_ && !reply_.empty() && reply_.back().empty())
                reply_.pop_back();
            std::vector<std::string> f = at::Fields(line);
            long stat = 0;
            if (!f.empty() && at::ParseLong(f[0], &stat))
                Notify(RIL_NOTIFY_REGSTATUSCHANGED, at::RegistrationStatus(stat));
            lastWasUnsolicitedGap_ = false;
            return;
        }
        if (!busy_)
            return; // nothing asked: an unsolicited line nobody watches
        reply_.push_back(line);
        lastWasUnsolicitedGap_ = line.empty();
        if (at::IsFinalResult(line))
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
            std::string text = at::RawText(reply_);
            Result(RIL_RESULT_OK, text.c_str(), DWORD(text.size()));
            break;
        }
        case Kind::Internal:
            break;
        }
    }

    void OperatorResult() {
        RILOPERATORNAMES names;
        if (at::OperatorNames(reply_, current_.format, &names))
            Result(RIL_RESULT_OK, &names, sizeof(names));
        else
            Result(RIL_RESULT_ERROR, nullptr, 0); // no operator selected
    }

    void EquipmentResult() {
        RILEQUIPMENTSTATE state;
        if (at::EquipmentState(reply_, &state))
            Result(RIL_RESULT_OK, &state, sizeof(state));
        else
            Result(RIL_RESULT_ERROR, nullptr, 0);
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

} // namespace

int ConnectPort() {
    return kxhost::ConnectUnixSocket(kxhost::ModulePortPath(kxhost::DefaultDeviceFolder(), "KXA1"),
                                     SOCK_SEQPACKET);
}

void RunSession(Instance *inst) {
    Session(inst).Run();
}

} // namespace ril
} // namespace kx

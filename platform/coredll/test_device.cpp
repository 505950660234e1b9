// kxtest::TestDevice: in-process stream devices for tests. The driver side
// is an ordinary stream-device handle on one end of a socket pair; this file
// plays the module side on the other end.
//
// The module side of each connection is a thread of its own (the pump). Under
// the deterministic scheduler it is a scheduled thread: it blocks in the
// scheduler instead of in recv(), and the driver side's writes and closes
// wake it (stream_devices.cpp).
#include "scheduler.h"
#include "test_device_state.h"

#include <cerrno>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxtest {
namespace {

std::mutex registryMutex; // guards devices
std::map<std::u16string, std::weak_ptr<TestDevice::State>> devices;

std::u16string Upper(const std::u16string &name) {
    std::u16string out(name);
    for (auto &c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

// Reads what the driver writes on one connection until it closes.
void Pump(TestDevice::State *state, std::shared_ptr<TestDevice::State::Connection> connection,
          int fd, bool scheduled) {
    std::vector<uint8_t> buffer(65536);
    std::string waiting;
    if (scheduled)
        waiting =
            "the driver's next write on " + kx::Utf16ToUtf8(state->name.c_str()) + " (module side)";
    for (;;) {
        // Messages that did not fit when the connection opened go as the
        // driver side makes room; until then this side also waits for room.
        bool leftOver;
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            leftOver = state->current == connection && !state->SendPendingNowLocked();
        }
        if (leftOver && !scheduled) {
            pollfd ready = {fd, POLLIN | POLLOUT, 0};
            while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
            }
            if (!(ready.revents & POLLIN))
                continue;
        }
        ssize_t r = recv(fd, buffer.data(), buffer.size(), scheduled ? MSG_DONTWAIT : 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && scheduled && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const void *key = state->ModuleSideKey();
            kx::sched::Block(&key, 1,
                             leftOver ? kx::sched::DeadlineAfter(1) : kx::sched::NoDeadline,
                             waiting.c_str());
            continue;
        }
        if (r <= 0)
            break;
        Bytes message(buffer.begin(), buffer.begin() + r);
        std::function<void(const Bytes &)> responder;
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->writes.push_back(message);
            responder = state->responder;
            state->changed.notify_all();
        }
        if (responder)
            responder(message);
    }
    std::lock_guard<std::mutex> guard(state->mutex);
    if (state->current == connection)
        state->current.reset();
    if (connection->moduleFd >= 0) {
        close(connection->moduleFd);
        connection->moduleFd = -1;
    }
    state->changed.notify_all();
    close(fd);
    if (scheduled) {
        // A driver read waiting on this connection sees its end; whoever
        // shuts the device down sees the pump gone.
        kx::sched::Notify(state->DriverSideKey());
        kx::sched::Notify(connection.get());
    }
}

} // namespace

bool TestDevice::State::SendPendingNowLocked() {
    if (!current || current->moduleFd < 0 || !present || !open)
        return true; // kept for the next connection
    while (!pending.empty()) {
        const Bytes &message = pending.front();
        ssize_t r =
            send(current->moduleFd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (r < 0)
            return true; // the driver side has just closed: kept, as above
        pending.pop_front();
    }
    return true;
}

void TestDevice::State::SendPendingLocked(std::unique_lock<std::mutex> &lock) {
    while (!SendPendingNowLocked()) {
        // The driver side has not read enough to make room. Wait for it
        // without the lock: the driver side's reads and writes take it, so
        // holding it here would stop the very read that makes the room.
        std::shared_ptr<Connection> connection = current;
        int fd = dup(connection->moduleFd);
        lock.unlock();
        if (kx::sched::On() && kx::sched::Scheduled()) {
            kx::sched::Sleep(1);
        } else if (fd >= 0) {
            pollfd room = {fd, POLLOUT, 0};
            while (poll(&room, 1, -1) < 0 && errno == EINTR) {
            }
        }
        if (fd >= 0)
            close(fd);
        lock.lock();
    }
}

bool TestDevice::State::ConsumeFailureLocked(DeviceCall call) {
    int &n = failNext[static_cast<int>(call)];
    if (n <= 0)
        return false;
    --n;
    return true;
}

int TestDevice::State::Connect() {
    // Pumps of ended connections are joined here, outside the lock that
    // their last step takes.
    std::vector<std::shared_ptr<Connection>> ended;
    struct JoinEnded {
        std::vector<std::shared_ptr<Connection>> &list;
        ~JoinEnded() {
            for (auto &c : list)
                if (c->pump.joinable())
                    c->pump.join();
        }
    } joinEnded{ended};
    std::unique_lock<std::mutex> lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if ((*it)->moduleFd < 0) {
            ended.push_back(*it);
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
    if (ConsumeFailureLocked(DeviceCall::Open) || !present) {
        SetLastError(ERROR_DEV_NOT_EXIST);
        return -1;
    }
    if (open) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return -1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return -1;
    }
    auto connection = std::make_shared<Connection>();
    connection->moduleFd = pair[1];
    current = connection;
    connections.push_back(connection);
    open = true;
    ++opens;
    // What fits goes now; the rest as the driver side reads (the pump sends
    // it). Nothing here may wait for room: the driver side cannot read
    // before this open returns.
    SendPendingNowLocked();
    // The pump gets its own descriptor so that it can keep reading after the
    // module side closed its end for Vanish().
    int pumpFd = dup(pair[1]);
    if (kx::sched::On() && kx::sched::Scheduled())
        connection->pump = kx::sched::SpawnThread(
            ("module side of " + kx::Utf16ToUtf8(name.c_str())).c_str(),
            [this, connection, pumpFd] { Pump(this, connection, pumpFd, true); });
    else
        connection->pump = std::thread(Pump, this, connection, pumpFd, false);
    changed.notify_all();
    return pair[0];
}

void TestDevice::State::NoteClosed() {
    std::lock_guard<std::mutex> guard(mutex);
    open = false;
    ++closes;
    changed.notify_all();
}

void TestDevice::State::Shutdown() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto &c : connections)
            if (c->moduleFd >= 0)
                shutdown(c->moduleFd, SHUT_RDWR);
        all.swap(connections);
        current.reset();
    }
    if (kx::sched::On() && kx::sched::Scheduled()) {
        // A scheduled pump ends only in its turns: let it, before joining.
        kx::sched::Notify(ModuleSideKey());
        kx::sched::Notify(DriverSideKey());
        for (auto &c : all) {
            if (c->pump.get_id() == std::this_thread::get_id())
                continue;
            for (;;) {
                {
                    std::lock_guard<std::mutex> guard(mutex);
                    if (c->moduleFd < 0)
                        break;
                }
                const void *key = c.get();
                kx::sched::Block(&key, 1, kx::sched::NoDeadline,
                                 "the end of an in-process device's module side");
            }
        }
    }
    for (auto &c : all) {
        if (c->pump.joinable()) {
            if (c->pump.get_id() == std::this_thread::get_id())
                c->pump.detach();
            else
                c->pump.join();
        }
    }
}

std::shared_ptr<TestDevice::State> FindTestDevice(const std::u16string &upperName) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto it = devices.find(upperName);
    if (it == devices.end())
        return nullptr;
    return it->second.lock();
}

TestDevice::TestDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::shared_ptr<TestDevice> TestDevice::Register(const std::u16string &name) {
    auto state = std::make_shared<State>();
    state->name = Upper(name);
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        devices[state->name] = state;
    }
    return std::shared_ptr<TestDevice>(new TestDevice(state));
}

TestDevice::~TestDevice() {
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        auto it = devices.find(state_->name);
        if (it != devices.end() && it->second.lock() == state_)
            devices.erase(it);
    }
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->responder = nullptr;
    }
    state_->Shutdown();
}

void TestDevice::Push(const Bytes &message) {
    {
        // Every message goes through the pending queue, so that messages
        // kept while the device was closed or full keep their order.
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->pending.push_back(message);
        state_->SendPendingLocked(lock);
    }
    if (kx::sched::On()) {
        kx::sched::Notify(state_->DriverSideKey());
        kx::sched::Point("module side sends", this);
    }
}

void TestDevice::Push(const void *data, size_t size) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    Push(Bytes(p, p + size));
}

void TestDevice::SetResponder(std::function<void(const Bytes &)> responder) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->responder = std::move(responder);
}

std::vector<Bytes> TestDevice::Writes() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->writes;
}

size_t TestDevice::WriteCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->writes.size();
}

void TestDevice::ClearWrites() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->writes.clear();
}

bool TestDevice::WaitForWrites(size_t count, unsigned realMilliseconds) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(realMilliseconds),
                                    [&] { return state_->writes.size() >= count; });
}

void TestDevice::FailNext(DeviceCall call, int times) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->failNext[static_cast<int>(call)] = times;
}

void TestDevice::LimitWrites(long bytes) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->writeLimit = bytes;
}

void TestDevice::Vanish() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->present = false;
    if (state_->current && state_->current->moduleFd >= 0) {
        shutdown(state_->current->moduleFd, SHUT_RDWR);
    }
    state_->current.reset();
    if (kx::sched::On()) {
        kx::sched::Notify(state_->DriverSideKey());
        kx::sched::Notify(state_->ModuleSideKey());
    }
}

void TestDevice::Return() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->present = true;
}

bool TestDevice::Present() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->present;
}

int TestDevice::OpenCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->opens;
}

int TestDevice::CloseCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->closes;
}

bool TestDevice::IsOpen() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->open;
}

std::vector<COMMTIMEOUTS> TestDevice::TimeoutWrites() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->timeoutWrites;
}

std::vector<DWORD> TestDevice::Purges() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->purges;
}

} // namespace kxtest

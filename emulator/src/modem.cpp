// The Modem's lifecycle and its event loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "modem_impl.h"

namespace kxmodem {

static bool MakeDirectories(const std::string &dir) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty())
            continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Modem::Impl::Start(const std::string &dir, const Options &opts, std::string *error) {
    deviceDir = dir;
    options = opts;
    while (deviceDir.size() > 1 && deviceDir.back() == '/')
        deviceDir.pop_back();
    if (deviceDir.empty()) {
        *error = "no device folder given";
        return false;
    }
    if (!MakeDirectories(deviceDir)) {
        *error = "cannot create device folder " + deviceDir + ": " + strerror(errno);
        return false;
    }
    if (!options.tracePath.empty() && !trace.Open(options.tracePath, error))
        return false;
    trace.ShowSecrets(options.showSecrets);
    if (!options.pcapPath.empty() && !capture.Open(options.pcapPath, error)) {
        trace.Close();
        return false;
    }
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    // The network first: once the ports exist, what is behind them works.
    if (!StartNetwork(error)) {
        Stop();
        return false;
    }
    for (int p = 0; p < kPortCount; ++p) {
        if (p == kPortCtlSocket && !options.controlSocket)
            continue;
        if (!OpenPort(p, error)) {
            Stop();
            return false;
        }
    }
    if (!options.ptyLink.empty() && !OpenPty(options.ptyLink, kPtyPort, qmiPty, error)) {
        Stop();
        return false;
    }
    if (!options.atPtyLink.empty() && !OpenPty(options.atPtyLink, kPortAt, atPty, error)) {
        Stop();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = false;
    }
    running = true;
    loopThread = std::thread([this] { Loop(); });
    trace.Event("kxmodem started in " + deviceDir);
    if (!options.scriptFile.empty() && !RunScript(options.scriptFile, error)) {
        Stop();
        return false;
    }
    return true;
}

void Modem::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(scriptMutex_);
        scriptStop_ = true;
    }
    scriptCv_.notify_all();
    if (scriptThread.joinable())
        scriptThread.join();
    if (loopThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            stopping_ = true;
        }
        Wake();
        loopThread.join();
    }
    running = false;
    std::vector<int> endpoints;
    for (const auto &c : connections)
        endpoints.push_back(c.first);
    for (int e : endpoints)
        CloseConnection(e);
    ClosePty(qmiPty);
    ClosePty(atPty);
    StopNetwork();
    for (int p = 0; p < kPortCount; ++p)
        ClosePort(p);
    timers.clear();
    for (int &fd : wakePipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    trace.Event("kxmodem stopped");
    trace.Close();
    capture.Close();
}

void Modem::Impl::Wake() {
    if (wakePipe[1] >= 0) {
        char c = 1;
        ssize_t n = write(wakePipe[1], &c, 1);
        (void)n; // a full pipe already wakes the loop
    }
}

void Modem::Impl::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.push_back(std::move(fn));
    }
    Wake();
}

void Modem::Impl::Call(const std::function<void()> &fn) {
    if (!running || OnLoop()) {
        fn();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    Post([&] {
        fn();
        done.set_value();
    });
    future.wait();
}

void Modem::Impl::AfterAt(Clock::time_point when, std::function<void()> fn) {
    timers.emplace(when, std::move(fn));
}

void Modem::Impl::After(uint32_t ms, std::function<void()> fn) {
    AfterAt(Clock::now() + std::chrono::milliseconds(ms), std::move(fn));
}

// Posted work first, then the timers that are due. kStop once Stop() asked;
// kAgain when work was posted meanwhile (it runs before the loop waits).
Modem::Impl::LoopStep Modem::Impl::RunPending() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (stopping_)
            return LoopStep::kStop;
        work.swap(queue_);
    }
    for (auto &fn : work)
        fn();
    auto now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
        auto fn = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        fn();
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (stopping_)
        return LoopStep::kStop;
    return queue_.empty() ? LoopStep::kWait : LoopStep::kAgain;
}

// Until the next timer is due (rounded up), or -1: no timer.
int Modem::Impl::PollTimeout() const {
    if (timers.empty())
        return -1;
    auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(timers.begin()->first - Clock::now())
            .count();
    return wait < 0 ? 0 : static_cast<int>(wait + 1);
}

// The wake pipe, the listeners and every connection (writable too while
// output waits); `owners` tells per pollfd whose it is: -1 the wake pipe,
// -(2 + port) a listener, else the connection's endpoint.
void Modem::Impl::BuildPollSet(std::vector<pollfd> *fds, std::vector<int> *owners) const {
    fds->clear();
    owners->clear();
    fds->push_back({wakePipe[0], POLLIN, 0});
    owners->push_back(-1);
    for (int p = 0; p < kPortCount; ++p) {
        if (ports[p].listenFd >= 0) {
            fds->push_back({ports[p].listenFd, POLLIN, 0});
            owners->push_back(-(2 + p));
        }
    }
    for (const auto &entry : connections) {
        short events = POLLIN;
        if (!entry.second.outBuffer.empty())
            events |= POLLOUT;
        fds->push_back({entry.second.fd, events, 0});
        owners->push_back(entry.first);
    }
}

void Modem::Impl::Dispatch(const pollfd &fd, int owner) {
    if (owner == -1) {
        char buf[64];
        while (read(wakePipe[0], buf, sizeof buf) > 0) {
        }
    } else if (owner < -1) {
        int port = -(owner + 2);
        if (ports[port].listenFd == fd.fd)
            Accept(port);
    } else {
        Connection *c = Find(owner);
        if (!c)
            return; // closed by an earlier handler in this round
        if (fd.revents & POLLOUT)
            FlushPty(*c);
        if (fd.revents & (POLLIN | POLLHUP | POLLERR))
            Readable(owner);
    }
}

void Modem::Impl::Loop() {
    std::vector<pollfd> fds;
    std::vector<int> owners; // per pollfd, see BuildPollSet
    for (;;) {
        LoopStep step = RunPending();
        if (step == LoopStep::kStop)
            break;
        if (step == LoopStep::kAgain)
            continue;
        int timeout = PollTimeout();
        BuildPollSet(&fds, &owners);
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents)
                Dispatch(fds[i], owners[i]);
        }
    }
}

// ---- public API ----

Modem::Modem() : impl_(new Impl) {}
Modem::~Modem() {
    Stop();
}

bool Modem::Start(const std::string &deviceDir, const Options &options, std::string *error) {
    std::string ignored;
    if (impl_->running) {
        (error ? *error : ignored) = "already running";
        return false;
    }
    impl_.reset(new Impl);
    return impl_->Start(deviceDir, options, error ? error : &ignored);
}

void Modem::Stop() {
    if (impl_)
        impl_->Stop();
}

bool Modem::Running() const {
    return impl_->running;
}

std::string Modem::Control(const std::string &line) {
    if (!impl_->running)
        return "error: not running";
    std::string result;
    impl_->Call([&] { result = impl_->Execute(line); });
    return result;
}

Snapshot Modem::State() {
    Snapshot s;
    impl_->Call([&] {
        Engine &e = impl_->engine;
        s.registration = e.config().EffectiveRegistration();
        s.radioOn = e.config().radioOn;
        for (const auto &session : e.Sessions()) {
            SessionInfo info;
            info.channel = session.channel;
            info.handle = session.handle;
            info.clientId = session.clientId;
            info.status = session.status;
            info.apn = session.apn;
            info.address = FormatAddress(session.address);
            s.sessions.push_back(info);
        }
        s.wdsClients = e.clients().Allocated(qmi::kWds);
        s.nasClients = e.clients().Allocated(qmi::kNas);
        s.dmsClients = e.clients().Allocated(qmi::kDms);
        for (int p = 0; p < kPortCtlSocket; ++p) {
            if (impl_->ports[p].present)
                s.portsPresent.push_back(impl_->ports[p].name);
        }
        s.counters = impl_->counters;
    });
    return s;
}

const std::string &Modem::DeviceDir() const {
    return impl_->deviceDir;
}
std::string Modem::PtyPath() const {
    return impl_->qmiPty.name;
}
std::string Modem::AtPtyPath() const {
    return impl_->atPty.name;
}

} // namespace kxmodem

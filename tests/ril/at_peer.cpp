#include "at_peer.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kxtest {

AtPeer::AtPeer() {
    char pattern[] = "/tmp/kxatXXXXXX";
    dir_ = mkdtemp(pattern);
    setenv("KX_DEVICE_DIR", dir_.c_str(), 1);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        abort();
}

AtPeer::~AtPeer() {
    Stop();
    close(wake_[0]);
    close(wake_[1]);
    std::string cmd = "rm -rf " + dir_;
    (void)system(cmd.c_str());
}

void AtPeer::Listen() {
    std::string path = dir_ + "/KXA1";
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path.c_str());
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (bind(listener_, (sockaddr *)&address, sizeof(address)) != 0 || listen(listener_, 8) != 0)
        abort();
    thread_ = std::thread([this] { Loop(); });
}

void AtPeer::Stop() {
    if (!thread_.joinable())
        return;
    char b = 1;
    (void)!write(wake_[1], &b, 1);
    thread_.join();
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : sessions_)
        close(fd);
    sessions_.clear();
    close(listener_);
    listener_ = -1;
    unlink((dir_ + "/KXA1").c_str());
    char drain[16];
    while (read(wake_[0], drain, sizeof(drain)) > 0) {
    }
}

void AtPeer::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(lock_);
    responder_ = responder;
}

void AtPeer::Send(const std::string &message) {
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : sessions_)
        send(fd, message.data(), message.size(), MSG_NOSIGNAL);
}

std::vector<std::string> AtPeer::Commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

bool AtPeer::WaitForCommands(size_t count, int milliseconds) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                             [&] { return commands_.size() >= count; });
}

int AtPeer::Sessions() const {
    std::lock_guard<std::mutex> guard(lock_);
    return int(sessions_.size());
}

bool AtPeer::WaitForSessions(int count, int milliseconds) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                             [&] { return int(sessions_.size()) >= count; });
}

void AtPeer::Loop() {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (int fd : sessions_)
                fds.push_back({fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> guard(lock_);
                sessions_.push_back(fd);
                changed_.notify_all();
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            char buffer[2048];
            ssize_t n = recv(fds[i].fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            std::unique_lock<std::mutex> guard(lock_);
            if (n <= 0) {
                for (size_t k = 0; k < sessions_.size(); ++k) {
                    if (sessions_[k] == fds[i].fd) {
                        close(sessions_[k]);
                        sessions_.erase(sessions_.begin() + long(k));
                        break;
                    }
                }
                continue;
            }
            std::string command(buffer, size_t(n));
            while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
                command.pop_back();
            commands_.push_back(command);
            changed_.notify_all();
            Responder responder = responder_;
            guard.unlock();
            if (responder) {
                for (const auto &reply : responder(command))
                    send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
    }
}

} // namespace kxtest

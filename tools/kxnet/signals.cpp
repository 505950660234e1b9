#include "kxnet/signals.h"

#include <pthread.h>

#include <ctime>

namespace kxnet {

StopSignals::StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    // Threads created from now on inherit the mask, so only the watcher
    // takes these signals.
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    cv_.notify_all();
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void StopSignals::Watch() {
    timespec step{0, 100 * 1000 * 1000};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_)
                return;
        }
        int sig = sigtimedwait(&set_, nullptr, &step);
        if (sig <= 0)
            continue;
        bool first;
        {
            // Set under the mutex so that a waiter between its check and its
            // wait cannot miss the wake-up.
            std::lock_guard<std::mutex> lock(mutex_);
            first = !stopped_.exchange(true);
            if (first)
                signal_ = sig;
        }
        cv_.notify_all();
        if (first && onSignal_)
            onSignal_(sig);
    }
}

bool StopSignals::WaitFor(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ms < 0) {
        cv_.wait(lock, [this] { return stopped_.load(); });
        return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_.load(); });
}

void StopSignals::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
}

} // namespace kxnet

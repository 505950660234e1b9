// Orderly stop on SIGINT, SIGTERM and SIGHUP: the signals are blocked in
// every thread (create this before any thread) and a watcher thread turns
// them into a stop request that the program polls or waits for, so that
// every clean-up runs on the normal return path.
#pragma once

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kxnet {

class StopSignals {
  public:
    // onSignal (optional) runs on the watcher thread when the first signal
    // arrives, after the stop request is set.
    explicit StopSignals(std::function<void(int)> onSignal = nullptr);
    ~StopSignals(); // restores the signal mask of the creating thread
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    bool stopped() const { return stopped_; }
    int signal() const { return signal_; }
    // Waits up to ms milliseconds (-1: without limit) for a stop; true if stopped.
    bool WaitFor(int ms);
    // A stop request from the program itself (wakes WaitFor).
    void RequestStop();

  private:
    void Watch();

    sigset_t set_{}, previous_{};
    std::function<void(int)> onSignal_;
    std::atomic<bool> stopped_{false};
    std::atomic<int> signal_{0};
    std::mutex mutex_; // guards closing_ and the waits on cv_ (leaf)
    bool closing_ = false;
    std::condition_variable cv_;
    std::thread watcher_;
};

} // namespace kxnet

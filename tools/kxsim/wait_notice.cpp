#include "wait_notice.h"

#include <chrono>
#include <cstdio>

namespace kxsim {

WaitNotice::WaitNotice(std::string what, unsigned limitMs) {
    thread_ = std::thread([this, what, limitMs] {
        std::unique_lock<std::mutex> guard(lock_);
        if (changed_.wait_for(guard, std::chrono::seconds(1), [this] { return done_; }))
            return;
        printf("  (waiting for %s, at most %.*f s)\n", what.c_str(), limitMs < 10000 ? 1 : 0,
               limitMs / 1000.0);
        fflush(stdout);
    });
}

WaitNotice::~WaitNotice() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        done_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

} // namespace kxsim

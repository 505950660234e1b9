// Says what a host program waits for when a wait lasts longer than a second,
// so a user at the terminal knows why nothing moves.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kxsim {

class WaitNotice {
  public:
    // From construction to destruction the program waits for `what`, at
    // most limitMs (real milliseconds as the user sees them). After a second
    // of it, one line "  (waiting for <what>, at most N s)" is printed.
    WaitNotice(std::string what, unsigned limitMs);
    ~WaitNotice();
    WaitNotice(const WaitNotice &) = delete;
    WaitNotice &operator=(const WaitNotice &) = delete;

  private:
    std::mutex lock_; // guards done_ (leaf)
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace kxsim

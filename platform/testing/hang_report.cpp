// Part of every test program: a test that runs far longer than any test of
// ours needs is taken as hung. The program prints which test, how long, and
// the stacks of all its threads (through gdb, where the machine has it), and
// aborts, so that a hang fails at once with its evidence instead of as a
// bare time-out of the test runner.
//
// KX_TEST_HANG_SECONDS sets the limit (300 by default; 0 turns the watch
// off, as under valgrind, where everything is slower).
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Prints every thread's stack of this process on stderr; false when gdb
// could not be run.
bool PrintStacks() {
    std::string pid = std::to_string(getpid());
    // Lets the debugger attach where only a parent may trace its children.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execlp("gdb", "gdb", "-p", pid.c_str(), "-batch", "-nx", "-ex", "thread apply all bt",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What the watching thread and the listener share. Never destroyed: the
// watching thread waits on it until the process ends.
class HangWatch {
  public:
    explicit HangWatch(unsigned seconds) : limit_(seconds) {
        // The watching thread takes no signal: a test that directs one at
        // the process (a termination its code must catch on a thread of its
        // own) must not have it delivered here.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        std::thread([this] { Watch(); }).detach();
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    void Started(const std::string &name) {
        std::lock_guard<std::mutex> guard(mutex_);
        name_ = name;
        started_ = Clock::now();
        running_ = true;
        ++number_;
        changed_.notify_all();
    }
    void Ended() {
        std::lock_guard<std::mutex> guard(mutex_);
        running_ = false;
        changed_.notify_all();
    }

  private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (!running_) {
                changed_.wait(lock);
                continue;
            }
            unsigned long number = number_;
            auto deadline = started_ + limit_;
            changed_.wait_until(lock, deadline, [&] { return !running_ || number_ != number; });
            if (!running_ || number_ != number)
                continue;
            fprintf(stderr,
                    "\nhang: %s has run for %lld s (KX_TEST_HANG_SECONDS); the stacks of every "
                    "thread follow, then the program aborts\n",
                    name_.c_str(), static_cast<long long>(limit_.count()));
            fflush(stderr);
            if (!PrintStacks())
                fprintf(stderr, "hang: no stacks (gdb could not be run)\n");
            abort();
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_; // guards every field below
    std::condition_variable changed_;
    std::string name_;
    Clock::time_point started_;
    bool running_ = false;
    unsigned long number_ = 0; // tests started so far
};

HangWatch *watch = nullptr; // set once, before main

class HangListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &test) override {
        watch->Started(std::string(test.test_suite_name()) + "." + test.name());
    }
    void OnTestEnd(const testing::TestInfo &) override { watch->Ended(); }
};

struct InstallHangWatch {
    InstallHangWatch() {
        const char *env = getenv("KX_TEST_HANG_SECONDS");
        unsigned seconds = env ? unsigned(strtoul(env, nullptr, 10)) : 300;
        if (seconds == 0)
            return;
        watch = new HangWatch(seconds);
        testing::UnitTest::GetInstance()->listeners().Append(new HangListener);
    }
} installHangWatch;

} // namespace

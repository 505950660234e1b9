// Shared by the KxCmdApi tests: the library loaded as a host loads it, a
// fixture with a scripted module and leak checks, and a recorder for
// callbacks.
#pragma once

#include "KxCmdApi.h"
#include "fake_module.h"

#include <kxhost/kxcmd_library.h>

#include <kx_platform_test.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

// KxCmdApi.so from the test's own folder, through dlopen/dlsym.
struct KxCmdLibrary : kxcmd::Api {
    static std::string Path();
    bool Load() { return Api::Load(Path(), &error); }
    std::string error; // why the last Load failed
};

// Records CompletionCallback calls.
struct Completions {
    struct Call {
        DWORD status;
        Bytes data;
        bool dataNull;
        void *context;
        std::thread::id thread;
    };
    static void Callback(DWORD status, const void *data, DWORD size, void *context);

    std::vector<Call> Calls();
    size_t Count();
    bool WaitFor(size_t count, unsigned realMilliseconds = 5000);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
};

// Context for Completions::Callback: the recorder and a value to check.
struct CompletionContext {
    Completions *recorder;
    int tag;
};

class DriverTest : public ::testing::Test {
  protected:
    // 30000 ms take 600 ms real; the reader's 1000 ms at close 20 ms.
    explicit DriverTest(double timeScale = 0.02) : timeScale_(timeScale) {}
    void SetUp() override;
    void TearDown() override;

    // Opens the driver and forgets the open's frames.
    void OpenDriver();
    // Waits (real time) until the platform threads are back to the count
    // before the test.
    bool ThreadsBack(unsigned realMilliseconds = 3000);

    KxCmdLibrary kx;
    std::unique_ptr<FakeModule> module;
    int baselineHandles = 0;
    int baselineThreads = 0;
    double timeScale_;
};

bool WaitUntil(const std::function<bool()> &condition, unsigned realMilliseconds = 5000);

} // namespace kxtest

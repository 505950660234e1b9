#include "driver_test.h"

#include <dlfcn.h>
#include <unistd.h>

namespace kxtest {

std::string KxCmdLibrary::Path() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "KxCmdApi.so";
}

bool KxCmdLibrary::Load() {
    handle = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
#define KX_BIND(field, name) field = reinterpret_cast<decltype(field)>(dlsym(handle, #name))
    KX_BIND(Open, KxCmdOpen);
    KX_BIND(Close, KxCmdClose);
    KX_BIND(Reopen, KxCmdReopen);
    KX_BIND(Logon, KxCmdLogon);
    KX_BIND(Logoff, KxCmdLogoff);
    KX_BIND(ConnectionState, KxCmdConnectionState);
    KX_BIND(ChannelRate, KxCmdChannelRate);
    KX_BIND(GetSignalStrength, KxCmdGetSignalStrength);
    KX_BIND(Send, KxCmdSend);
    KX_BIND(Receive, KxCmdReceive);
    KX_BIND(Abort, KxCmdAbort);
#undef KX_BIND
    return Open && Close && Reopen && Logon && Logoff && ConnectionState && ChannelRate &&
           GetSignalStrength && Send && Receive && Abort;
}

bool KxCmdLibrary::Unload() {
    if (!handle)
        return true;
    dlclose(handle);
    handle = nullptr;
    void *still = dlopen(Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still)
        dlclose(still);
    return still == nullptr;
}

void Completions::Callback(DWORD status, const void *data, DWORD size, void *context) {
    auto *c = static_cast<CompletionContext *>(context);
    Call call{status, {}, data == nullptr, context, std::this_thread::get_id()};
    if (data)
        call.data.assign(static_cast<const uint8_t *>(data),
                         static_cast<const uint8_t *>(data) + size);
    std::lock_guard<std::mutex> lock(c->recorder->mutex);
    c->recorder->calls.push_back(call);
    c->recorder->changed.notify_all();
}

std::vector<Completions::Call> Completions::Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

size_t Completions::Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
}

bool Completions::WaitFor(size_t count, unsigned realMilliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(realMilliseconds),
                            [&] { return calls.size() >= count; });
}

bool WaitUntil(const std::function<bool()> &condition, unsigned realMilliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMilliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void DriverTest::SetUp() {
    SetTimeScale(timeScale_);
    module = std::make_unique<FakeModule>();
    baselineHandles = OpenHandleCount();
    baselineThreads = RunningThreadCount();
    ASSERT_TRUE(kx.Load()) << dlerror();
}

bool DriverTest::ThreadsBack(unsigned realMilliseconds) {
    return WaitUntil([&] { return RunningThreadCount() <= baselineThreads; }, realMilliseconds);
}

void DriverTest::TearDown() {
    if (module) {
        module->Hold(nullptr); // let close's own requests be answered
        module->Intercept(nullptr);
    }
    if (kx.handle) {
        // Close first and let the reader end before the code goes away.
        kx.Close();
        EXPECT_TRUE(ThreadsBack());
        EXPECT_TRUE(kx.Unload());
    }
    EXPECT_EQ(OpenHandleCount(), baselineHandles);
    EXPECT_TRUE(ThreadsBack());
    module.reset();
    SetTimeScale(1.0);
    SetTickOffset(0);
}

void DriverTest::OpenDriver() {
    ASSERT_TRUE(kx.Open());
    module->control->ClearWrites();
}

} // namespace kxtest

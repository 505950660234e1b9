#include "lock_window.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace kxtest {
namespace {

thread_local LPCRITICAL_SECTION lastLeft = nullptr;

struct Hook {
    std::mutex mutex; // guards the fields below
    std::thread::id thread;
    LPCRITICAL_SECTION section = nullptr;
    std::function<void()> action;
};
std::atomic<bool> armed{false};

Hook &TheHook() {
    static Hook hook;
    return hook;
}

// The action armed for this thread leaving this section, taken out of the
// hook; empty when there is none.
std::function<void()> TakeAction(LPCRITICAL_SECTION section) {
    Hook &hook = TheHook();
    std::lock_guard<std::mutex> guard(hook.mutex);
    if (hook.section != section || hook.thread != std::this_thread::get_id())
        return nullptr;
    std::function<void()> action;
    action.swap(hook.action);
    hook.section = nullptr;
    armed = false;
    return action;
}

} // namespace

LPCRITICAL_SECTION LastLeftCriticalSection() {
    return lastLeft;
}

void RunAfterLeave(std::thread::id thread, LPCRITICAL_SECTION section,
                   std::function<void()> action) {
    Hook &hook = TheHook();
    std::lock_guard<std::mutex> guard(hook.mutex);
    hook.thread = thread;
    hook.section = section;
    hook.action = std::move(action);
    armed = true;
}

void DisarmAfterLeave() {
    Hook &hook = TheHook();
    std::lock_guard<std::mutex> guard(hook.mutex);
    hook.section = nullptr;
    hook.action = nullptr;
    armed = false;
}

} // namespace kxtest

// The platform's own definition does the work; this one only watches.
extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    using Leave = void (*)(LPCRITICAL_SECTION);
    static const Leave platformLeave =
        reinterpret_cast<Leave>(dlsym(RTLD_NEXT, "LeaveCriticalSection"));
    platformLeave(section);
    kxtest::lastLeft = section;
    if (kxtest::armed) {
        std::function<void()> action = kxtest::TakeAction(section);
        if (action)
            action();
    }
}

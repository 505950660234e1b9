// Reaching the window between two locked sections of the driver: this test
// program interposes LeaveCriticalSection (the driver, loaded into the
// process, finds the program's definition first), so that a test can run
// an action on a thread right after it left a given critical section and
// before it goes on.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

namespace kxtest {

// The critical section that the calling thread left last.
LPCRITICAL_SECTION LastLeftCriticalSection();

// The next time `thread` leaves `section`, `action` runs on that thread,
// after the section was left; then the hook is gone. Arming again replaces
// an armed hook.
void RunAfterLeave(std::thread::id thread, LPCRITICAL_SECTION section,
                   std::function<void()> action);
// Removes an armed hook that has not run.
void DisarmAfterLeave();

} // namespace kxtest

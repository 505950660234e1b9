// Platform time on the host: every nominal millisecond of a wait, a Sleep or
// a time-out lasts KX_TIME_SCALE real ones. Shared by coredll's waits and the
// platform libraries that wait on host primitives of their own (ril).
#pragma once

#include <windows.h>

#include <chrono>

namespace kx {

// Real duration of a nominal platform time (KX_TIME_SCALE applied).
// INFINITE maps to a duration that never ends.
std::chrono::steady_clock::duration ScaledDuration(DWORD milliseconds);
std::chrono::steady_clock::time_point DeadlineAfter(DWORD milliseconds);
bool IsInfinite(std::chrono::steady_clock::time_point deadline);

} // namespace kx

// Internal interfaces shared by coredll's source files (not installed for
// deliverables). Everything here is host machinery behind the Win32 calls.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kx {

// ---- handles ------------------------------------------------------------------
// Every kernel handle names a ref-counted object in one process-wide table.
// A call looks the object up and keeps a reference for its duration, so a
// CloseHandle in another thread never frees an object that is in use; the
// object only learns of the close through OnClose().
class Object {
  public:
    virtual ~Object() = default;
    // Called once, when the handle is closed (before the table drops it).
    virtual void OnClose() {}
};

HANDLE AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
int HandleCount();

// ---- waitable objects -----------------------------------------------------------
// All waitable state is guarded by one process-wide mutex (WaitMutex()); each
// waiting thread sleeps on its own condition variable, registered with the
// objects it waits for, so a signal wakes only the threads that care.
struct WaitBlock {
    std::condition_variable cv;
};

class Waitable : public Object {
  public:
    // Under WaitMutex(): is the object signalled? If so and the object is
    // auto-reset, consume=true takes the signal.
    virtual bool TryAcquireLocked(bool consume) = 0;
    // What the object is, in a deadlock report ("event", "thread").
    virtual const char *KindName() const { return "object"; }
    // Under WaitMutex(): wake every registered waiter.
    void WakeLocked();
    std::vector<WaitBlock *> waiters;
};

std::mutex &WaitMutex();

// ---- time ---------------------------------------------------------------------------
// Real duration of a nominal platform time (KX_TIME_SCALE applied).
// INFINITE maps to a duration that never ends.
std::chrono::steady_clock::duration ScaledDuration(DWORD milliseconds);
std::chrono::steady_clock::time_point DeadlineAfter(DWORD milliseconds);
bool IsInfinite(std::chrono::steady_clock::time_point deadline);

// ---- threads ------------------------------------------------------------------------
int RunningThreads();
// Threads of a stuck schedule, parked for good, stop counting as running.
void ForgetParkedThreads(int count);

// ---- paths --------------------------------------------------------------------------
std::string Utf16ToUtf8(const WCHAR *text);
std::string Utf16ToUtf8(const WCHAR *text, size_t length);
std::u16string Utf8ToUtf16(const std::string &text);
// Lossless forms, for text that must come back exactly as it was (the
// registry file): a lone surrogate is written as its own three-byte form, and
// reading takes a byte that begins no valid sequence as ISO 8859-1 (so that
// an 8-bit file loads too). Utf8ToUtf16Lossless(Utf16ToUtf8Lossless(s)) == s
// for every s.
std::string Utf16ToUtf8Lossless(const std::u16string &text);
std::u16string Utf8ToUtf16Lossless(const std::string &text);
// The folder of the module's port sockets (KX_DEVICE_DIR or its default).
std::string DeviceDirectory();
// The folder the handheld's "\" maps to (KX_DEVICE_ROOT or <build>/device).
std::string DeviceRoot();
// Maps a handheld path ("\windows\KxCmdApi.dll") to a host path under the
// device root, matching each existing component case-insensitively. Returns
// false for a path that does not begin with a backslash.
bool HostPathOf(const WCHAR *devicePath, std::string &hostPath);
// The folder of libcoredll.so (the build's bin folder).
std::string PlatformLibraryDirectory();

} // namespace kx

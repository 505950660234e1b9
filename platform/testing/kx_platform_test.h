// Test hooks into the host platform's state (not part of the Win32 API).
#pragma once

#include <windows.h>

#include <functional>
#include <vector>
#include <string>
#include <vector>

namespace kxtest {

// Handles open in this process (every kind) and platform threads running.
int OpenHandleCount();
int RunningThreadCount();

// Platform time: scale factor (as KX_TIME_SCALE) and an offset added to
// GetTickCount, so that tests can put the tick near its wrap-around.
void SetTimeScale(double scale);
double TimeScale();
void SetTickOffset(DWORD offset);

// Debug output capture: while a capture is installed, NKDbgPrintfW and
// OutputDebugStringW deliver each message (UTF-8) to it instead of the log.
class DebugCapture {
  public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;
    std::string Text() const;                  // everything captured, in order
    std::vector<std::string> Messages() const; // one entry per message
    void Clear();
};

// Stream-device tap: while installed, every message that a stream device
// handle of this process reads or writes is handed to it, on the reading or
// writing thread, after the transfer: the device name as opened, in upper
// case (u"KXC1:"), whether it was written (else read), and its bytes. It
// observes only; it must not use the handle.
using StreamTap =
    std::function<void(const std::u16string &device, bool written, const void *data, size_t size)>;
void SetStreamTap(StreamTap tap);

} // namespace kxtest

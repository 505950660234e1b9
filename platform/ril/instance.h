// A RIL instance as the entry points (ril.cpp) and its RIL thread's session
// on the AT port (session.cpp) share it. See ril.cpp for the lifetime and
// the lock order.
#pragma once

#include <windows.h>

#include "ril.h"

#include "kx_ril_test.h"

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx {
namespace ril {

enum class Kind { Internal, Operator, Equipment, DevSpecific };

struct Command {
    Kind kind = Kind::Internal;
    bool watch = false; // the network watch (AT+CREG=1): observers hear when it is in place
    HRESULT id = 0;
    std::vector<std::string> lines; // AT command lines, sent in order
    DWORD format = RIL_OPFORMAT_LONG;
};

struct Instance {
    // Set before the RIL thread starts, constant afterwards.
    RILRESULTCALLBACK result = nullptr;
    RILNOTIFYCALLBACK notify = nullptr;
    DWORD classes = 0;
    DWORD_PTR param = 0;
    int wake[2] = {-1, -1}; // written to wake the RIL thread
    std::thread thread;

    // Guarded by `lock`.
    std::mutex lock;
    std::deque<Command> queue;
    bool closing = false;
    bool selfClosed = false;   // deinitialised from its own RIL thread
    std::thread::id rilThread; // set by the RIL thread itself

    // The RIL thread's own.
    int fd = -1;
    int queuedByCallback = 0; // commands queued by the callback running now
};

// The instance whose callback this thread is running (null outside
// callbacks): a command queued from there counts as queued by the callback.
extern thread_local Instance *t_delivering;

// Tells the test hook's observer (kxtest::SetRilObserver) what happened.
void Observe(const kxtest::RilEvent &event);

// A session on the module's AT port: the descriptor, or -1.
int ConnectPort();

// The RIL thread's work on one instance, until it is closing.
void RunSession(Instance *inst);

} // namespace ril
} // namespace kx

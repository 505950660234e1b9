// Test hook into the RIL (not part of the RIL's API): an observer that sees,
// for every instance, when it was opened, when its watch of the network is in
// place, and each callback it delivered, with what the callback did to its
// own instance. Hosts that load a driver use it to learn from evidence what
// the driver did with a notification or a result.
#pragma once

#include <windows.h>

#include <functional>

#include "ril.h"

namespace kxtest {

struct RilEvent {
    enum Kind {
        Opened,    // RIL_Initialize created the instance (on the caller's thread)
        Watching,  // registration changes reach the instance from now on (RIL thread)
        Delivered, // one of the instance's callbacks returned (RIL thread)
    };
    Kind kind = Opened;
    HRIL instance = nullptr;
    // Delivered only:
    bool notification = false; // a notification, else the result of a command
    DWORD code = 0;            // the notification code or the result code
    DWORD size = 0;            // the size of the data handed to the callback
    DWORD status = 0;          // RIL_NOTIFY_REGSTATUSCHANGED: the registration status
    int commandsQueued = 0;    // commands the callback queued on its own instance
    bool closed = false;       // the callback deinitialised its own instance
};

using RilObserver = std::function<void(const RilEvent &)>;

// Installs the observer (nullptr removes it). It runs with no RIL lock held,
// on the thread named above, and must not call the RIL itself.
void SetRilObserver(RilObserver observer);

} // namespace kxtest

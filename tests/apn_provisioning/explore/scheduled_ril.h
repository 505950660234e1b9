// A RIL for explorer scenarios: the platform RIL's contract, with one RIL
// thread per instance that is a platform thread (CreateThread), so that under
// the deterministic scheduler every RIL call, every callback and the
// instance's end are scheduled. The scenario plays the network: it sends
// registration notices and names the operator.
//
// Contract kept (as the platform RIL's): callbacks of an instance run on its
// RIL thread, one at a time, with no RIL lock held; RIL_Deinitialize from
// another thread waits for the RIL thread to end, so no callback of the
// instance runs once it returned; from the instance's own callback it does
// not wait, and nothing more is delivered after that callback.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace rilsim {

// Resets the RIL for a new schedule: instances still open are closed, and
// every RIL thread has ended when it returns.
void Reset(const std::string &operatorLongName);
// Waits until the RIL has delivered everything queued (each RIL thread waits
// for work or has ended), then until the RIL thread of every closed
// instance has ended (one closed from its own callback ends after that
// callback returns).
void AwaitQuiet();
// The network: a registration notice (RIL_NOTIFY_REGSTATUSCHANGED with this
// status) to every open instance that asked for the network class.
void NoticeRegistration(DWORD status);

struct Counts {
    int initialized = 0;
    int deinitialized = 0;
    int open = 0;                        // instances not yet deinitialized
    std::vector<std::string> violations; // calls a RIL would refuse, contract broken
};
Counts Seen();

} // namespace rilsim

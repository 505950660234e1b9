// An in-process radio for tests (implemented in the platform's ril library:
// a test that installs one links ril).
//
// While a TestRadio is installed, RIL_Initialize opens its instances on it
// instead of sessions on the module's AT port, and the test plays the
// network: it names the operator and sends registration notices. Each
// instance has one RIL thread, a platform thread, so that under the
// deterministic scheduler every RIL call, every callback and an instance's
// end are scheduled. The RIL's contract holds as for the AT port: an
// instance's callbacks run on its RIL thread one at a time with no RIL lock
// held; RIL_Deinitialize from another thread returns once the RIL thread has
// ended, so no callback of the instance runs after it; from the instance's
// own callback it does not wait, and nothing more is delivered after that
// callback. RIL_GetCurrentOperator is answered with an 80-byte
// RILOPERATORNAMES; the other RIL calls answer E_NOTIMPL.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kxtest {

class TestRadio {
  public:
    // Installs the radio until the last reference goes (one at a time).
    static std::shared_ptr<TestRadio> Install();
    // Closes the instances still open and waits for every RIL thread.
    ~TestRadio();
    TestRadio(const TestRadio &) = delete;
    TestRadio &operator=(const TestRadio &) = delete;

    // The network: the operator's long name from now on, and a
    // registration notice (RIL_NOTIFY_REGSTATUSCHANGED with this status) to
    // every open instance that asked for the network class.
    void SetOperator(const std::string &longName);
    void NoticeRegistration(DWORD status);
    // Waits until everything queued was delivered (each RIL thread waits for
    // work or has ended), then until the RIL thread of every closed instance
    // has ended (one closed from its own callback ends when that callback
    // returns).
    void AwaitQuiet();

    struct Counts {
        int initialized = 0;
        int deinitialized = 0;
        int open = 0;                        // not yet deinitialized
        int operatorQueries = 0;             // RIL_GetCurrentOperator calls answered
        std::vector<std::string> violations; // calls a RIL refuses, the contract broken
    };
    Counts Seen() const;

    struct State;

  private:
    explicit TestRadio(State *state);
    State *state_;
};

} // namespace kxtest

// The module for explorer scenarios: the in-process control and data ports
// with a small model of the module's state behind them, so that invariants
// can be stated as the module sees the driver: which network interfaces it
// started, which were stopped, how many were up at once.
//
// Everything here runs on scheduled threads (the control port's module
// side, the scenario's threads) one at a time, and also without the
// scheduler: its state is under one host mutex that is never held across a
// platform call.
#pragma once

#include "fake_module.h"

#include <kx_explore.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kxtest {

class ModuleModel {
  public:
    // Registers "KXC1:", "KXN1:" and "KXN2:".
    ModuleModel();
    ~ModuleModel();
    ModuleModel(const ModuleModel &) = delete;
    ModuleModel &operator=(const ModuleModel &) = delete;

    std::shared_ptr<TestDevice> control;
    std::shared_ptr<TestDevice> data[2];

    // ---- behaviour (set before the driver runs) ------------------------------------------
    // Requests for which this returns true are kept unanswered until
    // Release(); the module answers them then, as it would have.
    std::function<bool(const Request &)> hold;
    // A start while an interface is up or a start is held is rejected: the
    // module carries one data call at a time.
    bool oneCallAtATime = true;
    // An Abort of a held start also ends that start (answered with an
    // error after the Abort's reply); otherwise the start goes on and is
    // answered on Release(), as a module that was already too far along.
    bool abortEndsHeldStart = false;

    // Answers the held requests, oldest first, at most `count`; returns how
    // many it answered.
    size_t Release(size_t count = SIZE_MAX);
    size_t HeldCount();
    // Set (manual reset) once a request has been held.
    HANDLE somethingHeld = nullptr;

    // ---- what the module saw --------------------------------------------------------------
    struct Facts {
        int startsAccepted = 0;
        int startsRejected = 0;
        int stops = 0;
        int maxUp = 0;                // interfaces up at once, at most
        std::set<uint32_t> up;        // packet-data handles of interfaces up now
        std::vector<std::string> odd; // requests a module would refuse as nonsense
    };
    Facts Seen();

    uint8_t connectionStatus = 2;
    uint8_t signalStrength = 0xBA, radioInterface = 0x05;

  private:
    void OnWrite(const Bytes &written);
    // The reply to a request as the module's state stands now (the state
    // changes with it).
    Bytes Decide(const Request &request);

    std::mutex mutex_; // guards every field below
    std::vector<Request> held_;
    Facts facts_;
    uint32_t nextHandle_ = 0x1001;
};

// An asynchronous request's completions as its caller sees them.
struct AsyncCall {
    const char *kind = "";
    DWORD payloadSize = 0; // the size of an accepted reply's data for this kind
    BOOL returned = 0;     // what the export returned
    bool hasReturned = false;
    int calls = 0;
    int callsBeforeReturn = 0;
    DWORD status = 0;
    DWORD size = 0;
    bool dataNull = true;
    HANDLE done = nullptr; // set at the first completion (manual reset)
    // When set, each completion is noted here ("logon completion, status 1"),
    // so that a scenario can report the order of its events.
    std::vector<std::string> *log = nullptr;

    AsyncCall(const char *k, DWORD expectedSize);
    AsyncCall(const AsyncCall &) = delete;
    AsyncCall &operator=(const AsyncCall &) = delete;
    ~AsyncCall();
    static void Callback(DWORD status, const void *data, DWORD size, void *context);
    void Returned(BOOL result);
    // The caller's invariants: a request whose export returned 1 calls back
    // exactly once; one that returned 0 at most once, before returning; an
    // accepted reply carries data of this request's kind.
    void Check() const;
};

} // namespace kxtest

// KxCmdApi under the deterministic scheduler: each scenario is explored
// over many schedules (fixed seeds), with its invariants stated as the
// driver's user and the module see them.
//
// Each schedule builds everything afresh: the module model, the library
// (loaded, so that its record is constructed, and unloaded at the end),
// the scenario's threads. Time is virtual: the 30000 ms reply limit and the
// 10000 ms wait for the ports cost nothing.
#include "driver_test.h"
#include "explore_module.h"

#include <kx_explore_gtest.h>
#include <kx_platform_test.h>

#include <cstdlib>
#include <map>

namespace kxtest {
namespace {

const DWORD ReplyLimit = 30000;
const uint8_t Wds = 1, Nas = 3;
const uint16_t Start = 0x0020, Signal = 0x0020, Rates = 0x0023;

LogonParameters Internet() {
    return {"internet", nullptr, nullptr, 0, 0, 0};
}

bool IsStart(const Request &r) {
    return r.service == Wds && r.message == Start;
}

// The library for one schedule, and the user's invariants about what it
// leaves behind: the module's interfaces all stopped, handles and threads
// back to their counts once it is closed and unloaded.
class Session {
  public:
    explicit Session(ModuleModel &module)
        : module_(module), handles_(OpenHandleCount()), threads_(RunningThreadCount()) {
        loaded_ = Expect(kx.Load(), "KxCmdApi does not load");
    }

    // Opens the driver; with a channel, also logs it on (synchronously).
    bool Open(int channel = -1) {
        if (!loaded_ || !Expect(kx.Open(), "KxCmdOpen failed"))
            return false;
        LogonParameters parameters = Internet();
        return channel < 0 ||
               Expect(kx.Logon(DWORD(channel), &parameters, 0, nullptr), "the first logon failed");
    }

    // Waits (virtual time) for an asynchronous request's completion.
    void AwaitCompletion(const AsyncCall &call) {
        if (call.returned)
            Expect(WaitForSingleObject(call.done, 2 * ReplyLimit) == WAIT_OBJECT_0,
                   std::string("asynchronous ") + call.kind + " returned 1 and never called back");
    }

    // Logs both channels off, closes and unloads, then checks what is left.
    // A failure names the scenario's events in the order they happened.
    void End(const std::vector<std::string> &events = {}) {
        if (!loaded_)
            return;
        kx.Logoff(0, nullptr, nullptr);
        kx.Logoff(1, nullptr, nullptr);
        kx.Close();
        ModuleModel::Facts seen = module_.Seen();
        Expect(seen.maxUp <= 1, "the module had " + std::to_string(seen.maxUp) +
                                    " interfaces up at once on one channel");
        std::string order;
        for (const std::string &e : events)
            order += (order.empty() ? " (events: " : "; ") + e;
        if (!order.empty())
            order += ")";
        Expect(seen.up.empty(), std::to_string(seen.up.size()) +
                                    " network interface(s) the module started were never "
                                    "stopped after KxCmdLogoff and KxCmdClose" +
                                    order);
        for (const std::string &odd : seen.odd)
            Expect(false, "the module saw " + odd);
        // As a host unloads: once the readers have ended (a close waits for
        // its reader only 1000 ms).
        for (int i = 0; i < 100 && RunningThreadCount() != threads_; ++i)
            Sleep(100);
        if (!Expect(RunningThreadCount() == threads_,
                    "a reader never ended after KxCmdClose: " +
                        std::to_string(RunningThreadCount() - threads_) + " thread(s) left"))
            return; // its code must stay mapped
        Expect(kx.Unload(), "KxCmdApi stays loaded");
        Expect(OpenHandleCount() == handles_,
               "handles open after unload: " + std::to_string(OpenHandleCount()) + ", before " +
                   std::to_string(handles_));
        Expect(RunningThreadCount() == threads_,
               "platform threads after unload: " + std::to_string(RunningThreadCount()) +
                   ", before " + std::to_string(threads_));
        loaded_ = false;
    }

    KxCmdLibrary kx;

  private:
    ModuleModel &module_;
    int handles_;
    int threads_;
    bool loaded_ = false;
};

// Waits for the module to hold a request, then answers what it holds.
void ReleaseWhenHeld(ModuleModel &module, DWORD pause = 0) {
    if (WaitForSingleObject(module.somethingHeld, 2 * ReplyLimit) != WAIT_OBJECT_0)
        return;
    if (pause != 0)
        Sleep(pause);
    module.Release();
}

ExploreOptions Schedules(int count) {
    ExploreOptions options;
    options.schedules = count;
    return options;
}

// ---- an asynchronous logon against a logoff against the start's reply ----------------------
// The module holds the first start and answers it when its own thread gets
// there; an Abort does not stop it (the module was already too far along),
// unless abortEndsHeldStart. With retry, the user logging off then tries a
// synchronous logon.
void LogonAgainstLogoffAndTheStartReply(bool abortEndsHeldStart, bool retry = true) {
    ModuleModel module;
    int starts = 0;
    module.hold = [&starts](const Request &r) { return IsStart(r) && starts++ == 0; };
    module.abortEndsHeldStart = abortEndsHeldStart;
    std::vector<std::string> events;
    AsyncCall logon("logon", 0);
    logon.log = &events;
    Session session(module);
    if (!session.Open())
        return session.End();
    LogonCallbacks callbacks = {AsyncCall::Callback, &logon, nullptr, nullptr};
    LogonParameters parameters = Internet();
    HANDLE user = StartThread("logon", [&] {
        logon.Returned(session.kx.Logon(0, &parameters, 0, &callbacks));
        events.push_back("asynchronous logon returned " + std::to_string(logon.returned));
    });
    HANDLE other = StartThread(retry ? "logoff, then retry" : "logoff", [&] {
        BOOL off = session.kx.Logoff(0, nullptr, nullptr);
        events.push_back("logoff returned " + std::to_string(off));
        if (retry) {
            BOOL again = session.kx.Logon(0, &parameters, 0, nullptr);
            events.push_back("synchronous retry returned " + std::to_string(again));
        }
    });
    HANDLE answers = StartThread("module", [&] { ReleaseWhenHeld(module); });
    JoinThread(user);
    JoinThread(other);
    JoinThread(answers);
    session.AwaitCompletion(logon);
    logon.Check();
    session.End(events);
}

// ---- a stale request reclaimed while its late reply arrives ----------------------------------
// An asynchronous signal-strength request is answered only after the reply
// limit; by then a query on another thread finds its slot stale and takes it.
void StaleRequestReclaimedWhileItsLateReplyArrives(bool asynchronousQuery) {
    ModuleModel module;
    module.hold = [](const Request &r) { return r.service == Nas && r.message == Signal; };
    AsyncCall signal("signal strength", 2);
    AsyncCall state("connection state", 1);
    Session session(module);
    if (!session.Open(0))
        return session.End();
    HANDLE asker = StartThread("signal strength", [&] {
        signal.Returned(session.kx.GetSignalStrength(AsyncCall::Callback, &signal));
    });
    HANDLE query = StartThread("state query", [&] {
        Sleep(ReplyLimit + 1);
        if (asynchronousQuery) {
            state.Returned(session.kx.ConnectionState(0, AsyncCall::Callback, &state, nullptr));
            return;
        }
        DWORD value = 99;
        BOOL ok = session.kx.ConnectionState(0, nullptr, nullptr, &value);
        Expect(!ok || value == module.connectionStatus,
               "KxCmdConnectionState returned 1 with state " + std::to_string(value) +
                   ", not the module's status " + std::to_string(module.connectionStatus));
    });
    HANDLE answers = StartThread("module", [&] { ReleaseWhenHeld(module, ReplyLimit + 1); });
    JoinThread(asker);
    JoinThread(query);
    JoinThread(answers);
    session.AwaitCompletion(signal);
    signal.Check();
    if (asynchronousQuery) {
        session.AwaitCompletion(state);
        state.Check();
    }
    session.End();
}

// ---- close with requests outstanding ------------------------------------------------------------
void CloseWithRequestsOutstanding() {
    ModuleModel module;
    module.hold = [](const Request &r) {
        return (r.service == Nas && r.message == Signal) ||
               (r.service == Wds && r.message == Rates);
    };
    AsyncCall signal("signal strength", 2);
    AsyncCall rates("channel rates", 16);
    Session session(module);
    if (!session.Open(0))
        return session.End();
    HANDLE asker = StartThread("signal strength", [&] {
        signal.Returned(session.kx.GetSignalStrength(AsyncCall::Callback, &signal));
    });
    HANDLE rater = StartThread("channel rates", [&] {
        rates.Returned(session.kx.ChannelRate(0, AsyncCall::Callback, &rates, nullptr));
    });
    HANDLE closer = StartThread("close", [&] { session.kx.Close(); });
    HANDLE answers = StartThread("module", [&] { ReleaseWhenHeld(module); });
    JoinThread(asker);
    JoinThread(rater);
    JoinThread(closer);
    JoinThread(answers);
    module.Release(); // whatever came in after the module's thread had answered
    session.AwaitCompletion(signal);
    session.AwaitCompletion(rates);
    signal.Check();
    rates.Check();
    session.End();
}

// ---- reopen against send, receive and the reader ----------------------------------------------
// The module's ports vanish and come back while data moves; the user
// reopens as soon as the ports went. Reopen returning 1 means requests are
// answered afterwards.
void ReopenAgainstSendReceiveAndTheReader() {
    ModuleModel module;
    Session session(module);
    if (!session.Open(0))
        return session.End();
    HANDLE gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ports = StartThread("ports vanish and return", [&] {
        module.control->Vanish();
        module.data[0]->Vanish();
        SetEvent(gone);
        Sleep(250);
        module.control->Return();
        module.data[0]->Return();
        module.data[0]->Push(Bytes{0x45, 0, 0, 20});
    });
    HANDLE reopen = StartThread("reopen", [&] {
        WaitForSingleObject(gone, INFINITE);
        if (session.kx.Reopen(10000)) {
            DWORD value = 99;
            Expect(session.kx.ConnectionState(0, nullptr, nullptr, &value) && value == 2,
                   "KxCmdReopen returned 1 but the next request was not answered");
        }
    });
    HANDLE sender = StartThread("send", [&] {
        Bytes packet = {0x45, 0, 0, 20, 1, 2, 3, 4};
        DWORD length = DWORD(packet.size());
        session.kx.Send(0, packet.data(), &length, 1000);
    });
    HANDLE receiver = StartThread("receive", [&] {
        uint8_t buffer[64];
        DWORD length = sizeof buffer;
        session.kx.Receive(0, buffer, &length, 1000);
    });
    JoinThread(ports);
    JoinThread(reopen);
    JoinThread(sender);
    JoinThread(receiver);
    CloseHandle(gone);
    session.End();
}

// ---- a reopen after a reopen that lost the control port ----------------------------------------
void ReopenAfterAReopenThatLostTheControlPort() {
    ModuleModel module;
    Session session(module);
    if (!session.Open(0))
        return session.End();
    HANDLE reopen = StartThread("reopen twice", [&] {
        module.control->Vanish();
        Expect(!session.kx.Reopen(300), "KxCmdReopen returned 1 without the control port");
        Sleep(1000); // the port comes back a while later
        module.control->Return();
        if (session.kx.Reopen(10000)) {
            DWORD value = 99;
            Expect(session.kx.ConnectionState(0, nullptr, nullptr, &value) && value == 2,
                   "KxCmdReopen returned 1 but the next request was not answered");
        }
    });
    HANDLE sender = StartThread("send", [&] {
        Bytes packet = {0x45, 0, 0, 20};
        DWORD length = DWORD(packet.size());
        session.kx.Send(0, packet.data(), &length, 1000);
    });
    JoinThread(reopen);
    JoinThread(sender);
    session.End();
}

// ---- a logon completion against a thread scanning the slots ---------------------------------
void LogonCompletionAgainstSlotScan() {
    ModuleModel module;
    module.hold = [](const Request &r) { return IsStart(r); };
    AsyncCall logon("logon", 0);
    AsyncCall signals[3] = {{"signal strength", 2}, {"signal strength", 2}, {"signal strength", 2}};
    Session session(module);
    if (!session.Open())
        return session.End();
    LogonCallbacks callbacks = {AsyncCall::Callback, &logon, nullptr, nullptr};
    LogonParameters parameters = Internet();
    HANDLE user = StartThread(
        "logon", [&] { logon.Returned(session.kx.Logon(0, &parameters, 0, &callbacks)); });
    HANDLE scanner = StartThread("requests", [&] {
        for (AsyncCall &s : signals)
            s.Returned(session.kx.GetSignalStrength(AsyncCall::Callback, &s));
    });
    HANDLE answers = StartThread("module", [&] { ReleaseWhenHeld(module); });
    JoinThread(user);
    JoinThread(scanner);
    JoinThread(answers);
    session.AwaitCompletion(logon);
    logon.Check();
    for (AsyncCall &s : signals) {
        session.AwaitCompletion(s);
        s.Check();
    }
    session.End();
}

// ---- a close that gives up on its reader, then an open --------------------------------------
// A completion callback holds the reader past the close's 1000 ms wait; the
// next open starts a reader of its own; the callback returns while a request
// runs. Both readers may read the new port; the next close ends both.
void CloseThatGivesUpOnItsReaderThenOpen() {
    ModuleModel module;
    struct Held {
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Held() {
            CloseHandle(entered);
            CloseHandle(release);
        }
    } held;
    AsyncCall signal("signal strength", 2);
    Session session(module); // counts the handles above as its own
    if (!session.Open())
        return session.End();
    auto hold = [](DWORD, const void *, DWORD, void *context) {
        Held *h = static_cast<Held *>(context);
        SetEvent(h->entered);
        WaitForSingleObject(h->release, INFINITE);
    };
    if (!Expect(session.kx.GetSignalStrength(hold, &held), "KxCmdGetSignalStrength failed") ||
        !Expect(WaitForSingleObject(held.entered, 2 * ReplyLimit) == WAIT_OBJECT_0,
                "the signal strength request was never answered")) {
        SetEvent(held.release);
        return session.End();
    }
    session.kx.Close(); // its releases go unanswered: the reader is held
    bool opened = session.Open();
    HANDLE user = StartThread("signal strength", [&] {
        if (opened)
            signal.Returned(session.kx.GetSignalStrength(AsyncCall::Callback, &signal));
    });
    HANDLE callback = StartThread("the held callback returns", [&] { SetEvent(held.release); });
    JoinThread(user);
    JoinThread(callback);
    if (opened) {
        session.AwaitCompletion(signal);
        signal.Check();
    }
    session.End();
}

// ---- the scenarios, each over a fixed set of seeds --------------------------------------------
// A fixed set of seeds per scenario, so that the verdict does not depend on
// luck; KX_EXPLORE_SCHEDULES runs more (docs/explorer.md).
const int CiSchedules = 300;

TEST(ExploreKxCmdApi, AsyncLogonAgainstLogoffAndTheStartReply) {
    ExploreInTest(Schedules(CiSchedules), [] { LogonAgainstLogoffAndTheStartReply(false, false); });
}

TEST(ExploreKxCmdApi, AsyncLogonAgainstLogoffAndASynchronousRetry) {
    ExploreInTest(Schedules(CiSchedules), [] { LogonAgainstLogoffAndTheStartReply(false, true); });
}

TEST(ExploreKxCmdApi, AsyncLogonAgainstLogoffWhenTheAbortEndsTheStart) {
    ExploreInTest(Schedules(CiSchedules), [] { LogonAgainstLogoffAndTheStartReply(true); });
}

TEST(ExploreKxCmdApi, StaleRequestReclaimedWhileItsLateReplyArrives) {
    ExploreInTest(Schedules(CiSchedules),
                  [] { StaleRequestReclaimedWhileItsLateReplyArrives(false); });
}

TEST(ExploreKxCmdApi, StaleRequestReclaimedByAnAsynchronousQuery) {
    ExploreInTest(Schedules(CiSchedules),
                  [] { StaleRequestReclaimedWhileItsLateReplyArrives(true); });
}

TEST(ExploreKxCmdApi, CloseWithRequestsOutstanding) {
    ExploreInTest(Schedules(CiSchedules), CloseWithRequestsOutstanding);
}

TEST(ExploreKxCmdApi, ReopenAgainstSendReceiveAndTheReader) {
    ExploreInTest(Schedules(CiSchedules), ReopenAgainstSendReceiveAndTheReader);
}

TEST(ExploreKxCmdApi, ReopenAfterAReopenThatLostTheControlPort) {
    ExploreInTest(Schedules(CiSchedules), ReopenAfterAReopenThatLostTheControlPort);
}

TEST(ExploreKxCmdApi, CloseThatGivesUpOnItsReaderThenOpen) {
    ExploreInTest(Schedules(CiSchedules), CloseThatGivesUpOnItsReaderThenOpen);
}

TEST(ExploreKxCmdApi, LogonCompletionAgainstSlotScan) {
    ExploreInTest(Schedules(CiSchedules), LogonCompletionAgainstSlotScan);
}

// ---- how soon the explorer finds the faults on its own -----------------------------------------
// Not a check (run on request): for each scenario that shows a fault and
// each strategy, the first failing seed among seeds 1.. and what failed.
// The logon scenario with a retry fails in two ways, told apart by the
// order of its events: the start's success heard before the logoff returned
// (a start succeeding during the logoff, forgotten), or after the retry
// failed (an aborted start succeeding after a failed retry, forgotten).
std::string Pattern(const std::string &failure) {
    size_t completion = failure.find("logon completion, status 1");
    if (completion == std::string::npos)
        return failure.substr(0, failure.find(" (events"));
    size_t logoff = failure.find("logoff returned");
    size_t retry = failure.find("synchronous retry returned 0");
    if (logoff != std::string::npos && completion < logoff)
        return "start success heard during the logoff, interface never stopped";
    if (retry != std::string::npos && completion > retry)
        return "start success heard after the failed retry, interface never stopped";
    if (retry != std::string::npos)
        return "start success heard during the failed retry, interface never stopped";
    return failure;
}

TEST(ExploreKxCmdApi, DISABLED_SchedulesToFirstFailure) {
    struct Case {
        const char *name;
        std::function<void()> scenario;
    };
    const Case cases[] = {
        {"stale slot reclaimed, synchronous query",
         [] { StaleRequestReclaimedWhileItsLateReplyArrives(false); }},
        {"stale slot reclaimed, asynchronous query",
         [] { StaleRequestReclaimedWhileItsLateReplyArrives(true); }},
        {"logon against logoff", [] { LogonAgainstLogoffAndTheStartReply(false, false); }},
        {"logon against logoff and a retry",
         [] { LogonAgainstLogoffAndTheStartReply(false, true); }},
    };
    int limit = getenv("KX_EXPLORE_SCHEDULES") ? atoi(getenv("KX_EXPLORE_SCHEDULES")) : 2000;
    for (const Case &c : cases) {
        ScheduleSpec probe;
        probe.strategy = Strategy::Random;
        probe.seed = 0;
        uint64_t k = RunScheduled(probe, c.scenario).choices;
        for (int strategy = 0; strategy < 3; ++strategy) {
            ScheduleSpec spec;
            spec.strategy = strategy == 2 ? Strategy::Random : Strategy::Pct;
            spec.depth = strategy == 0 ? 2 : 3;
            spec.expectedSteps = k;
            std::map<std::string, std::string> first; // pattern -> "seed (schedules)"
            for (int seed = 1; seed <= limit; ++seed) {
                spec.seed = uint64_t(seed);
                ScheduleResult run = RunScheduled(spec, c.scenario);
                if (run.passed)
                    continue;
                std::string pattern = Pattern(run.failure);
                if (!first.count(pattern))
                    first[pattern] =
                        DescribeSpec(spec) + ", " + std::to_string(seed) + " schedules";
                if (run.failure.find("deadlock") != std::string::npos ||
                    run.failure.find("livelock") != std::string::npos)
                    break; // its threads stay parked: start afresh elsewhere
            }
            printf("%s | %s | %s\n", c.name, DescribeSpec(spec).c_str(),
                   first.empty() ? "not found" : "");
            for (auto &p : first)
                printf("    %s: first at %s\n", p.first.c_str(), p.second.c_str());
        }
    }
}

} // namespace
} // namespace kxtest

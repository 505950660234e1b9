// Logon, logoff and the queries, with the data ports as scripted devices.
#include "channel_test.h"

#include <string>
#include <thread>

namespace kxtest {

namespace {

Bytes Status(uint8_t status) {
    return {status};
}

struct StatusCalls {
    static void Callback(DWORD zero, DWORD status, DWORD reconfigure, void *context) {
        auto *self = static_cast<StatusCalls *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->calls.push_back({zero, status, reconfigure});
    }
    std::vector<std::vector<DWORD>> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::mutex mutex;
    std::vector<std::vector<DWORD>> calls;
};

TEST_F(ChannelTest, SynchronousLogonQueriesAndLogoff) {
    LogonParameters parameters = {"internet", nullptr, nullptr, 0, 0, 0};
    ASSERT_TRUE(Logon(0, nullptr, &parameters));
    EXPECT_TRUE(data[0]->IsOpen());
    EXPECT_FALSE(data[1]->IsOpen());
    EXPECT_EQ(Written(1).frame,
              (Bytes{0x01, 0x17, 0, 0, 1,   0x05, 0x00, 0,   0,   0x20, 0,   0x0B,
                     0,    0x14, 8, 0, 'i', 'n',  't',  'e', 'r', 'n',  'e', 't'}));
    // Both limits from 0 to none: two whole records.
    auto records = data[0]->TimeoutWrites();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(records[0].ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(records[0].ReadTotalTimeoutConstant, MAXDWORD - 1);
    EXPECT_EQ(records[0].WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(records[0].WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(records[1].ReadTotalTimeoutConstant, MAXDWORD - 1);
    EXPECT_EQ(records[1].WriteTotalTimeoutConstant, MAXDWORD);

    DWORD state = 99;
    ASSERT_TRUE(kx.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_EQ(state, 2u);
    EXPECT_EQ(Written(2).frame, (Bytes{0x01, 0x0C, 0, 0, 1, 0x05, 0x00, 0, 0, 0x22, 0, 0, 0}));
    ChannelRates rates = {};
    ASSERT_TRUE(kx.ChannelRate(0, nullptr, nullptr, &rates));
    EXPECT_EQ(rates.currentTxRate, 9600u);
    EXPECT_EQ(rates.currentRxRate, 14400u);
    EXPECT_EQ(rates.maxTxRate, 384000u);
    EXPECT_EQ(rates.maxRxRate, 3600000u);
    EXPECT_FALSE(kx.ConnectionState(1, nullptr, nullptr, &state));  // no port on channel 1
    EXPECT_FALSE(kx.ConnectionState(0, nullptr, nullptr, nullptr)); // neither
    EXPECT_FALSE(kx.ConnectionState(0, Completions::Callback, &context, &state)); // both

    EXPECT_FALSE(Logon(0)); // up: not idle
    ASSERT_TRUE(kx.Logoff(0, nullptr, nullptr));
    EXPECT_EQ(data[0]->Purges(), std::vector<DWORD>{15});
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_EQ(Written(4).frame, (Bytes{0x01, 0x13, 0, 0,    1,    0x05, 0x00, 0,    0,    0x21,
                                       0,    7,    0, 0x01, 0x04, 0,    0x78, 0x56, 0x34, 0x12}));
    EXPECT_FALSE(kx.Logoff(0, nullptr, nullptr)); // port not open: 0, nothing sent
    EXPECT_EQ(module->control->WriteCount(), 4u);
    ASSERT_TRUE(Logon(0)); // idle again
}

TEST_F(ChannelTest, ChannelOneUsesTheSecondPortAndChannelTwoFails) {
    EXPECT_FALSE(Logon(2));
    EXPECT_EQ(module->control->WriteCount(), 0u);
    ASSERT_TRUE(Logon(1));
    EXPECT_TRUE(data[1]->IsOpen());
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_EQ(Written(1).frame.size(), 13u); // no parameters: the bare request
    EXPECT_FALSE(kx.Logoff(2, nullptr, nullptr));
    EXPECT_FALSE(kx.ConnectionState(2, nullptr, nullptr, nullptr));
}

TEST_F(ChannelTest, FailedLogonsLeaveTheChannelIdle) {
    data[0]->Vanish();
    EXPECT_FALSE(Logon(0)); // port absent: no slot taken, nothing sent
    data[0]->Return();
    data[0]->FailNext(DeviceCall::SetTimeouts);
    EXPECT_FALSE(Logon(0));
    EXPECT_FALSE(data[0]->IsOpen());
    module->Reject(1, 0x20);
    EXPECT_FALSE(Logon(0)); // synchronous start rejected
    EXPECT_FALSE(data[0]->IsOpen());
    std::string name(112, 'a');
    LogonParameters tooLong = {name.c_str(), nullptr, nullptr, 0, 0, 0};
    module->control->ClearWrites();
    EXPECT_FALSE(Logon(0, nullptr, &tooLong)); // never written
    EXPECT_EQ(module->control->WriteCount(), 0u);
    EXPECT_FALSE(data[0]->IsOpen());
    name.pop_back();
    LogonParameters longest = {name.c_str(), nullptr, nullptr, 0, 0, 0};
    module = std::make_unique<FakeModule>(); // forget the rejection
    ASSERT_TRUE(kx.Reopen(0));
    EXPECT_TRUE(Logon(0, nullptr, &longest));
    EXPECT_EQ(Written(1).frame.size(), 127u);
}

TEST_F(ChannelTest, AsynchronousLogonCompletesLater) {
    module->Hold([](const Request &r) { return r.service == 1 && r.message == 0x20; });
    StatusCalls status;
    LogonCallbacks callbacks = {Completions::Callback, &context, StatusCalls::Callback, &status};
    ASSERT_TRUE(Logon(0, &callbacks));
    EXPECT_EQ(done.Count(), 0u);
    EXPECT_FALSE(Logon(0, &callbacks)); // starting: not idle
    module->Hold(nullptr);
    module->ReleaseHeld();
    ASSERT_TRUE(done.WaitFor(1));
    auto call = done.Calls()[0];
    EXPECT_EQ(call.status, 1u);
    EXPECT_TRUE(call.dataNull);
    EXPECT_EQ(call.context, &context);

    // The status listener registered at logon receives indications.
    module->Push(StatusIndication(0x02, 0x01));
    module->Push(StatusIndication(0x01, 0x00, 0x0100));
    ASSERT_TRUE(WaitUntil([&] { return status.Calls().size() == 2; }));
    EXPECT_EQ(status.Calls()[0], (std::vector<DWORD>{0, 2, 1}));
    EXPECT_EQ(status.Calls()[1], (std::vector<DWORD>{0, 1, 0}));

    // Up: the stop names the handle of the start reply; the caller's
    // callback gets the stop's outcome.
    Completions stopped;
    CompletionContext stopContext{&stopped, 2};
    ASSERT_TRUE(kx.Logoff(0, Completions::Callback, &stopContext));
    ASSERT_TRUE(stopped.WaitFor(1));
    EXPECT_EQ(stopped.Calls()[0].status, 1u);
    EXPECT_EQ(Written(2).message, 0x21);
    EXPECT_EQ(Written(2).frame[16], 0x78);
    // Logoff cleared the listener.
    module->Push(StatusIndication(0x03, 0x00));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(status.Calls().size(), 2u);
}

TEST_F(ChannelTest, AsynchronousStartThatCannotBeWrittenEndsBeforeLogonReturns) {
    module->control->FailNext(DeviceCall::Write);
    LogonCallbacks callbacks = {Completions::Callback, &context, nullptr, nullptr};
    EXPECT_FALSE(Logon(0, &callbacks));
    auto calls = done.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].status, 0u);
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_TRUE(Logon(0)); // idle
}

TEST_F(ChannelTest, RejectedAsynchronousStartLeavesThePortOpenUntilLogoff) {
    module->Reject(1, 0x20);
    LogonCallbacks callbacks = {Completions::Callback, &context, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 0u);
    // Start failed: port open, queries allowed, logon refused.
    EXPECT_TRUE(data[0]->IsOpen());
    DWORD state = 0;
    EXPECT_TRUE(kx.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_FALSE(Logon(0));
    Completions stopped;
    CompletionContext stopContext{&stopped, 2};
    EXPECT_TRUE(kx.Logoff(0, Completions::Callback, &stopContext));
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_EQ(module->CountOf(1, 0x21), 0u); // nothing was up: no stop
    EXPECT_EQ(stopped.Count(), 0u);          // and the callback is never called
}

TEST_F(ChannelTest, LogoffWhileStartingAbortsTheStartByItsTransactionId) {
    module->Hold([](const Request &r) { return r.service == 1 && r.message == 0x20; });
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context)); // slot 0
    ASSERT_TRUE(done.WaitFor(1));
    LogonCallbacks callbacks = {Completions::Callback, &context, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks)); // slot 0 again
    ASSERT_TRUE(module->WaitForRequests(2));
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr)); // does not wait for the start
    EXPECT_EQ(Written(3).frame,
              (Bytes{0x01, 0x11, 0, 0, 1, 0x05, 0x00, 1, 0, 0x02, 0, 5, 0, 0x01, 0x02, 0, 0, 0}));
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_EQ(done.Count(), 1u);

    // The module completes the start anyway: up without port. The next
    // logoff stops it (and reports the port that was not open).
    module->Hold(nullptr);
    module->ReleaseHeld();
    ASSERT_TRUE(done.WaitFor(2));
    EXPECT_EQ(done.Calls()[1].status, 1u);
    EXPECT_FALSE(Logon(0));
    EXPECT_FALSE(kx.Logoff(0, nullptr, nullptr));
    EXPECT_EQ(Written(4).message, 0x21);
    EXPECT_TRUE(Logon(0));
}

// The outcome of an aborted start that arrives after the next logon began
// goes to its own caller, once, and leaves the new logon's state alone; an
// interface it started is stopped by the next logoff.
TEST_F(ChannelTest, LateOutcomeOfAnAbortedStartReachesOnlyItsOwnCaller) {
    module->Hold([](const Request &r) { return r.service == 1 && r.message == 0x20; });
    auto held = [&](size_t count) {
        return WaitUntil([&] { return module->HeldCount() == count; });
    };
    LogonCallbacks firstLogon = {Completions::Callback, &firstContext, nullptr, nullptr};
    LogonCallbacks secondLogon = {Completions::Callback, &secondContext, nullptr, nullptr};
    LogonCallbacks thirdLogon = {Completions::Callback, &thirdContext, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &firstLogon));
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr)); // aborts; the start stays unanswered
    ASSERT_TRUE(Logon(0, &secondLogon));

    ASSERT_TRUE(held(2));
    module->ReleaseHeld(1); // the first start succeeds after all
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_EQ(first.Calls()[0].status, 1u);
    EXPECT_EQ(second.Count(), 0u);
    EXPECT_FALSE(Logon(0)); // still starting: the second start is pending

    module->ReleaseHeld(1);
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_EQ(second.Calls()[0].status, 1u);
    // Up: stopped, and so is the interface that the first start left.
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    EXPECT_EQ(module->CountOf(1, 0x21), 2u);

    // Two aborted starts still open: a third asynchronous logon must wait
    // for one of their outcomes.
    ASSERT_TRUE(Logon(0, &firstLogon));
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    ASSERT_TRUE(Logon(0, &secondLogon));
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    EXPECT_FALSE(Logon(0, &thirdLogon));
    ASSERT_TRUE(held(2));
    module->ReleaseHeld(1);
    ASSERT_TRUE(first.WaitFor(2));
    EXPECT_FALSE(Logon(0, &thirdLogon));          // the first start's interface is up
    EXPECT_FALSE(kx.Logoff(0, nullptr, nullptr)); // no port; stops it
    EXPECT_EQ(module->CountOf(1, 0x21), 3u);
    EXPECT_TRUE(Logon(0, &thirdLogon));
    ASSERT_TRUE(held(2));
    module->ReleaseHeld();
    ASSERT_TRUE(second.WaitFor(2));
    ASSERT_TRUE(third.WaitFor(1));
    EXPECT_EQ(first.Count(), 2u);
    EXPECT_EQ(second.Count(), 2u);
    EXPECT_EQ(third.Count(), 1u);
}

TEST_F(ChannelTest, LogoffOfAnyChannelClearsTheStatusListener) {
    StatusCalls status;
    LogonCallbacks callbacks = {nullptr, nullptr, StatusCalls::Callback, &status};
    ASSERT_TRUE(Logon(0, &callbacks)); // synchronous, registers the listener
    module->Push(StatusIndication(0x02, 0x00));
    ASSERT_TRUE(WaitUntil([&] { return status.Calls().size() == 1; }));
    EXPECT_FALSE(kx.Logoff(1, nullptr, nullptr)); // idle channel: 0, still clears
    module->Push(StatusIndication(0x04, 0x00));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(status.Calls().size(), 1u);
}

TEST_F(ChannelTest, RejectedSynchronousQueryReturnsOneAndLeavesTheOutputAlone) {
    ASSERT_TRUE(Logon(0));
    module->Reject(1, 0x22);
    module->Reject(1, 0x23);
    DWORD state = 77;
    EXPECT_TRUE(kx.ConnectionState(0, nullptr, nullptr, &state));
    EXPECT_EQ(state, 77u);
    ChannelRates rates = {1, 2, 3, 4};
    EXPECT_TRUE(kx.ChannelRate(0, nullptr, nullptr, &rates));
    EXPECT_EQ(rates.maxRxRate, 4u);
    // Asynchronous: the callback carries the failure.
    ASSERT_TRUE(kx.ConnectionState(0, Completions::Callback, &context, nullptr));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 0u);
}

TEST_F(ChannelTest, AsynchronousQueriesCarryTheReplyData) {
    ASSERT_TRUE(Logon(1));
    ASSERT_TRUE(kx.ConnectionState(1, Completions::Callback, &context, nullptr));
    ASSERT_TRUE(kx.ChannelRate(1, Completions::Callback, &context, nullptr));
    ASSERT_TRUE(done.WaitFor(2));
    auto calls = done.Calls();
    EXPECT_EQ(calls[0].data, Status(2));
    ASSERT_EQ(calls[1].data.size(), 16u);
    EXPECT_EQ(calls[1].data[0], 0x80); // 9600, least significant byte first
    EXPECT_EQ(calls[1].data[1], 0x25);
}

// A late reply to a reclaimed request: the query that holds the slot now
// must get its own reply, not the late one of another message.
class ChannelTimeouts : public ChannelTest {
  protected:
    ChannelTimeouts() : ChannelTest(0.01) {}
};

TEST_F(ChannelTimeouts, LateReplyDoesNotAnswerTheQueryThatReclaimedItsSlot) {
    ASSERT_TRUE(Logon(0));
    module->Hold([](const Request &r) { return r.service == 3; });
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context)); // slot 0
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    module->Hold(nullptr);
    module->connectionStatus = 4;
    module->Intercept([](const Request &r, FakeModule &m) {
        if (r.service == 1 && r.message == 0x22) {
            Bytes late = {0x09, 0x09};
            m.Push(ReplyFrame(3, 7, r.transactionId, 0x20, 0, 0, &late));
        }
        return false; // then the real answer
    });
    DWORD state = 0;
    ASSERT_TRUE(kx.ConnectionState(0, nullptr, nullptr, &state)); // reclaims slot 0
    EXPECT_EQ(state, 4u);
    ASSERT_EQ(done.Count(), 1u);
    EXPECT_EQ(done.Calls()[0].status, 0u); // the reclaimed request
}

// A slot reclaimed for a query is taken before the query's frame is
// written; the reclaimed request's callback runs in between, on the
// querying thread. A late reply of the reclaimed request's kind arriving
// then is not the query's reply.
struct LateReplyDuringReclaim {
    // The reclaimed signal-strength request's callback: the module sends
    // the late reply, then an indication as a marker, and the callback
    // returns once the reader has routed both.
    static void Callback(DWORD status, const void *, DWORD, void *context) {
        auto *self = static_cast<LateReplyDuringReclaim *>(context);
        ++self->calls;
        self->reclaimStatus = status;
        Bytes late = {0xBA, 0x05};
        self->module->Push(ReplyFrame(3, 7, 0, 0x20, 0, 0, &late));
        self->module->Push(StatusIndication(0x09, 0));
        size_t marked = self->markers + 1;
        self->routed = WaitUntil([&] { return self->status->Calls().size() == marked; });
        self->markers = marked;
    }
    FakeModule *module;
    StatusCalls *status;
    size_t markers = 0;
    int calls = 0;
    DWORD reclaimStatus = 99;
    bool routed = false;
};

TEST_F(ChannelTimeouts, LateReplyDuringTheReclaimOfItsSlotDoesNotAnswerTheNewQuery) {
    StatusCalls status;
    LogonCallbacks withListener = {nullptr, nullptr, StatusCalls::Callback, &status};
    ASSERT_TRUE(Logon(0, &withListener));
    LateReplyDuringReclaim reclaimed{module.get(), &status};

    // Synchronous query that the module never answers: the late reply does
    // not stand in for its own, so it fails after the reply limit and
    // leaves the state alone.
    module->Hold([](const Request &r) { return r.service == 3 || r.message == 0x22; });
    ASSERT_TRUE(kx.GetSignalStrength(LateReplyDuringReclaim::Callback, &reclaimed)); // slot 0
    SetTickOffset(31000);
    DWORD state = 99;
    EXPECT_FALSE(kx.ConnectionState(0, nullptr, nullptr, &state)); // reclaims slot 0
    EXPECT_TRUE(reclaimed.routed);
    EXPECT_EQ(reclaimed.calls, 1);
    EXPECT_EQ(reclaimed.reclaimStatus, 0u);
    EXPECT_EQ(state, 99u);

    // Asynchronous query: sent, and its callback gets its own reply, once.
    module->Hold([](const Request &r) { return r.service == 3; });
    ASSERT_TRUE(kx.GetSignalStrength(LateReplyDuringReclaim::Callback, &reclaimed)); // slot 0
    SetTickOffset(62000);
    EXPECT_TRUE(kx.ConnectionState(0, Completions::Callback, &context, nullptr));
    EXPECT_TRUE(reclaimed.routed);
    EXPECT_EQ(reclaimed.calls, 2);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
    EXPECT_EQ(done.Calls()[0].data, Status(2));
    EXPECT_EQ(module->CountOf(1, 0x22), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(done.Count(), 1u);
}

// An asynchronous logon that completes while another thread holds the
// driver lock in a synchronous query: both end promptly.
class ChannelLocking : public ChannelTest {
  protected:
    ChannelLocking() : ChannelTest(0.1) {} // the reply limit: 3 s
};

TEST_F(ChannelLocking, LogonCompletionDoesNotWaitForTheDriverLock) {
    ASSERT_TRUE(Logon(1)); // a channel with a port, for the query
    module->Hold([](const Request &r) { return r.service == 1 && r.message == 0x20; });
    // When the query arrives, the start's reply goes first.
    module->Intercept([](const Request &r, FakeModule &m) {
        if (r.service == 1 && r.message == 0x22)
            m.ReleaseHeld();
        return false;
    });
    LogonCallbacks callbacks = {Completions::Callback, &context, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks));
    DWORD state = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(kx.ConnectionState(1, nullptr, nullptr, &state));
    EXPECT_EQ(state, 2u); // answered, not timed out
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    ASSERT_TRUE(done.WaitFor(1, 100));
    EXPECT_EQ(done.Calls()[0].status, 1u);
    EXPECT_FALSE(Logon(0)); // up
}

// After a reopen that lost the control port, close also closes a data port
// that did reopen.
TEST_F(ChannelTest, CloseAfterAFailedReopenClosesAReopenedDataPort) {
    ASSERT_TRUE(Logon(0));
    module->control->Vanish();
    EXPECT_FALSE(kx.Reopen(0));
    EXPECT_TRUE(data[0]->IsOpen()); // reopened
    EXPECT_EQ(data[0]->OpenCount(), 2);
    EXPECT_FALSE(kx.Close());
    EXPECT_FALSE(data[0]->IsOpen());
    EXPECT_TRUE(ThreadsBack());
    EXPECT_EQ(OpenHandleCount(), baselineHandles + 65);
}

} // namespace
} // namespace kxtest

// Requests in their slots and the routing of what the module sends back.
#include "driver_test.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace kxtest {
namespace {

class Requests : public DriverTest {
  protected:
    Requests() : DriverTest(0.01) {}
    Completions done;
    CompletionContext context{&done, 1};
    bool AskSignal() { return kx.GetSignalStrength(Completions::Callback, &context); }
    // The last request the module has received once there are count.
    Request Written(size_t count) {
        EXPECT_TRUE(module->WaitForRequests(count));
        return Decode(module->control->Writes()[count - 1]);
    }
    std::vector<CompletionContext> contexts;
};

Bytes SignalReply(uint16_t id, Bytes payload = {0xBA, 0x05}, uint16_t result = 0,
                  uint16_t error = 0) {
    return ReplyFrame(3, 7, id, 0x20, result, error, &payload);
}

// Runs body on a thread; a body that does not finish in time is a deadlock.
void WithinDeadline(const std::function<void()> &body, unsigned realMilliseconds) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread runner([&] {
        body();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, std::chrono::milliseconds(realMilliseconds),
                           [&] { return done; })) {
        fprintf(stderr, "deadlock: still waiting after %u ms\n", realMilliseconds);
        std::_Exit(1);
    }
    lock.unlock();
    runner.join();
}

TEST_F(Requests, SignalStrengthIsAsynchronousOnly) {
    OpenDriver();
    EXPECT_FALSE(kx.GetSignalStrength(nullptr, nullptr));
    EXPECT_EQ(module->control->WriteCount(), 0u);
    ASSERT_TRUE(AskSignal());
    EXPECT_EQ(Written(1).frame, (Bytes{0x01, 0x0C, 0, 0, 3, 0x07, 0x00, 0, 0, 0x20, 0, 0, 0}));
    ASSERT_TRUE(done.WaitFor(1));
    auto call = done.Calls()[0];
    EXPECT_EQ(call.status, 1u);
    EXPECT_EQ(call.data, (Bytes{0xBA, 0x05}));
    EXPECT_EQ(call.context, &context);
    EXPECT_NE(call.thread, std::this_thread::get_id()); // the reader thread
}

TEST_F(Requests, RejectedReplyFailsAndErrorCodeAloneDoesNot) {
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    ASSERT_TRUE(AskSignal());                                   // slot 0
    ASSERT_TRUE(AskSignal());                                   // slot 1
    ASSERT_TRUE(AskSignal());                                   // slot 2
    module->Push(SignalReply(0, {0xBA, 0x05}, 0, 0x0031));      // error code only: accepted
    module->Push(SignalReply(1, {0xBA, 0x05}, 0x0001, 0x0031)); // failure result
    module->Push(SignalReply(2, {0xBA}));                       // payload of the wrong length
    ASSERT_TRUE(done.WaitFor(3));
    auto calls = done.Calls();
    EXPECT_EQ(calls[0].status, 1u);
    EXPECT_EQ(calls[1].status, 0u);
    EXPECT_TRUE(calls[1].dataNull);
    EXPECT_EQ(calls[2].status, 0u);
}

// An 8-byte NAS response holds only the low byte of its transaction id; the
// high byte would come from the reader's buffer, left over from the message
// before. Such a frame names no request and must not end one.
TEST_F(Requests, FrameTooShortForItsTransactionIdEndsNoRequest) {
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    ASSERT_TRUE(AskSignal()); // slot 0
    // A longer frame first, not a response, whose byte 8 is 0.
    module->Push(
        Bytes{0x01, 0x13, 0, 0x80, 3, 7, 0x04, 0, 0, 0x51, 0, 0x07, 0, 0x02, 0x04, 0, 0, 0, 0, 0});
    module->Push(Bytes{0x01, 0x07, 0, 0x80, 3, 7, 0x02, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(done.Count(), 0u) << "the short frame ended the waiting request";
    module->Push(SignalReply(0));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
}

TEST_F(Requests, SixtyFourOutstandingThenTheStaleOneIsReclaimed) {
    SetTickOffset(0u - GetTickCount() - 1000); // the ages are measured across the wrap
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    contexts.assign(65, CompletionContext{&done, 0});
    for (int i = 0; i < 64; ++i) {
        contexts[i].tag = i;
        ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &contexts[i])) << i;
    }
    ASSERT_TRUE(module->WaitForRequests(64));
    auto writes = module->control->Writes();
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(Decode(writes[i]).transactionId, i);
    // None older than the reply limit: no slot.
    EXPECT_FALSE(kx.GetSignalStrength(Completions::Callback, &contexts[64]));
    EXPECT_EQ(done.Count(), 0u);

    std::this_thread::sleep_for(std::chrono::milliseconds(350)); // 35000 ms
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &contexts[64]));
    auto calls = done.Calls();
    ASSERT_EQ(calls.size(), 1u); // reclaimed before the export returned
    EXPECT_EQ(calls[0].context, &contexts[0]);
    EXPECT_EQ(calls[0].status, 0u);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(Written(65).transactionId, 0);
    SetTickOffset(0);
}

TEST_F(Requests, ShortWriteFailsTheRequestAndSendsNoRest) {
    OpenDriver();
    module->control->LimitWrites(5);
    EXPECT_FALSE(AskSignal());
    auto calls = done.Calls(); // told before the export returned
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].status, 0u);
    EXPECT_EQ(Written(1).frame.size(), 5u);
    module->control->LimitWrites(-1);
    ASSERT_TRUE(AskSignal()); // the slot is free again: transaction id 0
    EXPECT_EQ(Written(2).transactionId, 0);
    EXPECT_EQ(module->control->WriteCount(), 2u);
    ASSERT_TRUE(done.WaitFor(2));
}

TEST_F(Requests, IdsOf64AndAboveAndIndicationsNeverCompleteARequest) {
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    ASSERT_TRUE(AskSignal());          // slot 0
    module->Push(SignalReply(0x0100)); // low byte 0, but id 256
    module->Push(SignalReply(64));
    Bytes indication = SignalReply(0);
    indication[6] = 0x04; // an indication naming the slot
    module->Push(indication);
    Bytes otherInterface = SignalReply(0);
    otherInterface[0] = 0x02;
    module->Push(otherInterface);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(done.Count(), 0u);
    module->Push(SignalReply(0, {0x11, 0x22}));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
    EXPECT_EQ(done.Calls()[0].data, (Bytes{0x11, 0x22}));
}

TEST_F(Requests, ReadsOfBadLengthAreDroppedAndA128ByteFrameIsRouted) {
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    ASSERT_TRUE(AskSignal());
    Bytes reply = SignalReply(0);
    module->Push(Bytes(reply.begin(), reply.begin() + 7)); // 7 bytes
    Bytes tooLong = reply;
    tooLong.resize(129, 0);
    tooLong[1] = 128; // frame length 129
    module->Push(tooLong);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(done.Count(), 0u);
    // Length field 127: a 128-byte frame whose extra TLV is ignored.
    Bytes full = reply;
    full.insert(full.end(), {0x30, 100, 0}); // 25 + 3 + 100 bytes
    full.resize(128, 0xEE);
    full[1] = 127;
    full[11] = 128 - 13;
    module->Push(full);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
}

// A read shorter than its frame's length field must not be completed with
// bytes that an earlier, longer message left in the reader's buffer.
TEST_F(Requests, ShortReadIsNotCompletedWithStaleBytes) {
    OpenDriver();
    module->Hold([](const Request &) { return true; });
    ASSERT_TRUE(AskSignal());                    // slot 0
    module->Push(SignalReply(64, {0x11, 0x22})); // 25 bytes, routed nowhere
    Bytes real = SignalReply(0);
    module->Push(Bytes(real.begin(), real.begin() + 13)); // header says 25
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(done.Count(), 0u);
    module->Push(real);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].data, (Bytes{0xBA, 0x05}));
}

// A late reply to a reclaimed request must not complete the request that
// holds its slot now when it answers another service or message.
TEST_F(Requests, LateReplyOfAnotherMessageIsNotTakenForTheCurrentRequest) {
    OpenDriver();
    module->Hold([](const Request &r) { return r.service == 3; });
    ASSERT_TRUE(AskSignal()); // slot 0, never answered
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    // Close releases the NAS client id from slot 0 (reclaimed); the module
    // sends the late signal reply and never answers the release.
    module->Intercept([](const Request &r, FakeModule &m) {
        if (r.service == 0 && r.message == 0x23 && r.frame[15] == 3) {
            m.Push(SignalReply(r.transactionId));
            return true;
        }
        return false;
    });
    EXPECT_FALSE(kx.Close()); // the release got no reply of its own
    ASSERT_TRUE(module->WaitForRequests(3));
    auto releases = module->Requests();
    EXPECT_EQ(releases[1].transactionId, 0); // the release used slot 0
    ASSERT_EQ(done.Count(), 1u);             // the reclaimed request, once
    EXPECT_EQ(done.Calls()[0].status, 0u);
}

// A completion that takes the driver lock (here by calling an export) while
// another thread holds the driver lock and scans the slots.
TEST_F(Requests, CompletionTakingTheDriverLockDoesNotDeadlockAgainstAcquire) {
    OpenDriver();
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Nested {
        KxCmdLibrary *kx;
        HANDLE entered;
        Completions *inner;
        CompletionContext innerContext;
        BOOL result = 0;
    } nested{&kx, entered, &done, {&done, 2}};
    auto outer = [](DWORD, const void *, DWORD, void *c) {
        auto *n = static_cast<Nested *>(c);
        SetEvent(n->entered);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        n->result = n->kx->GetSignalStrength(Completions::Callback, &n->innerContext);
    };
    WithinDeadline(
        [&] {
            ASSERT_TRUE(kx.GetSignalStrength(outer, &nested));
            ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
            // Holds the driver lock and scans the slots while the
            // completion runs on the reader thread.
            EXPECT_TRUE(AskSignal());
            EXPECT_TRUE(done.WaitFor(2));
        },
        5000);
    EXPECT_TRUE(nested.result);
    CloseHandle(entered);
}

} // namespace
} // namespace kxtest

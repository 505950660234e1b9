// Starts that a logoff aborted, and outcomes of starts that arrive while a
// logoff or the next logon of their channel runs: every interface that the
// module started is stopped by a logoff, and no caller is forgotten.
#include "channel_test.h"
#include "lock_window.h"

#include <atomic>

namespace kxtest {
namespace {

bool IsStart(const Request &r) {
    return r.service == 1 && r.message == 0x20;
}

class AbortedStarts : public ChannelTest {
  protected:
    // Stop requests sent for the interface with this packet data handle.
    size_t StopsOf(uint32_t handle) {
        size_t n = 0;
        for (const Request &r : module->Requests()) {
            if (r.service == 1 && r.message == 0x21 && r.frame.size() == 20 &&
                uint32_t(r.frame[16] | r.frame[17] << 8 | r.frame[18] << 16 |
                         uint32_t(r.frame[19]) << 24) == handle)
                ++n;
        }
        return n;
    }

    // The lock that guards the channels' state: the last one that the
    // reader thread leaves before it calls a logon's completion.
    LPCRITICAL_SECTION ChannelStateLock() {
        struct Probe {
            static void Callback(DWORD, const void *, DWORD, void *context) {
                auto *probe = static_cast<Probe *>(context);
                probe->section = LastLeftCriticalSection();
                probe->called = true;
            }
            std::atomic<LPCRITICAL_SECTION> section{nullptr};
            std::atomic<bool> called{false};
        } probe;
        LogonCallbacks callbacks = {Probe::Callback, &probe, nullptr, nullptr};
        EXPECT_TRUE(Logon(1, &callbacks));
        EXPECT_TRUE(WaitUntil([&] { return probe.called.load(); }));
        EXPECT_TRUE(kx.Logoff(1, nullptr, nullptr));
        module->control->ClearWrites();
        return probe.section;
    }
};

// A start that succeeds while the logoff of its channel runs (after the
// abort was answered, just after the logoff looked at the channel's state)
// is either stopped by that logoff or left up without port: the next logon
// is refused and the next logoff stops it.
TEST_F(AbortedStarts, StartSucceedingWhileLogoffRunsIsNeverForgotten) {
    LPCRITICAL_SECTION channelLock = ChannelStateLock();
    ASSERT_NE(channelLock, nullptr);
    module->Hold(IsStart);
    LogonCallbacks callbacks = {Completions::Callback, &firstContext, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks));
    ASSERT_TRUE(WaitUntil([&] { return module->HeldCount() == 1; }));

    // When the abort arrives, the logoff's next step out of the channel
    // state lets the start succeed before it goes on.
    std::atomic<bool> startAnswered{false};
    std::thread::id logoffThread = std::this_thread::get_id();
    module->Intercept([&](const Request &r, FakeModule &m) {
        if (r.service == 1 && r.message == 0x02) {
            uint16_t start = uint16_t(r.frame[16] | r.frame[17] << 8); // the aborted one
            RunAfterLeave(logoffThread, channelLock, [&m, start, &startAnswered, this] {
                Bytes handle = {0xA1, 0xA1, 0xA1, 0xA1};
                m.Push(ReplyFrame(1, 0x05, start, 0x20, 0, 0, &handle));
                startAnswered = first.WaitFor(1);
            });
        }
        return false;
    });
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    DisarmAfterLeave();
    module->Hold(nullptr);
    ASSERT_TRUE(startAnswered);
    EXPECT_EQ(first.Calls()[0].status, 1u);

    if (StopsOf(0xA1A1A1A1) == 0) { // up without port
        EXPECT_FALSE(Logon(0));
        EXPECT_FALSE(kx.Logoff(0, nullptr, nullptr)); // the port was not open
    }
    EXPECT_EQ(StopsOf(0xA1A1A1A1), 1u);
    EXPECT_TRUE(Logon(0));
}

// An aborted start that succeeds after a synchronous retry on its channel
// failed: its interface is up without port until a logoff stops it.
TEST_F(AbortedStarts, StartSucceedingAfterAFailedRetryIsStoppedByTheNextLogoff) {
    module->Hold([](const Request &r) { return IsStart(r) && r.transactionId == 0; });
    LogonCallbacks callbacks = {Completions::Callback, &firstContext, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks)); // slot 0, held
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    module->Intercept([](const Request &r, FakeModule &m) {
        if (!IsStart(r))
            return false;
        m.Push(ReplyFrame(1, 0x05, r.transactionId, 0x20, 0x0001, 0x000E));
        return true;
    });
    EXPECT_FALSE(Logon(0)); // the synchronous retry is rejected
    module->Intercept(nullptr);
    module->Hold(nullptr);

    Bytes handle = {0xC3, 0xC3, 0xC3, 0xC3};
    module->Push(ReplyFrame(1, 0x05, 0, 0x20, 0, 0, &handle)); // the first start succeeds
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_EQ(first.Calls()[0].status, 1u);

    EXPECT_FALSE(Logon(0)); // up without port: no second interface
    EXPECT_EQ(module->CountOf(1, 0x20), 2u);
    EXPECT_FALSE(kx.Logoff(0, nullptr, nullptr)); // the port was not open
    EXPECT_EQ(StopsOf(0xC3C3C3C3), 1u);
    EXPECT_TRUE(Logon(0));
    EXPECT_EQ(first.Count(), 1u);
}

// Two aborted starts that the module never answers, in slots above a free
// one: the scan for a free slot never reaches them, but once they are older
// than the reply limit an asynchronous logon ends them (each caller hears
// status 0, once) and goes ahead.
TEST_F(AbortedStarts, StaleAbortedStartsDoNotRefuseLogonsUntilClose) {
    module->Hold([](const Request &r) { return IsStart(r) || r.service == 3; });
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context)); // slot 0
    LogonCallbacks firstLogon = {Completions::Callback, &firstContext, nullptr, nullptr};
    LogonCallbacks secondLogon = {Completions::Callback, &secondContext, nullptr, nullptr};
    LogonCallbacks thirdLogon = {Completions::Callback, &thirdContext, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &firstLogon)); // slot 1
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    ASSERT_TRUE(Logon(0, &secondLogon)); // slot 2
    EXPECT_TRUE(kx.Logoff(0, nullptr, nullptr));
    EXPECT_FALSE(Logon(0, &thirdLogon)); // both records still wait
    module->Hold(IsStart);
    module->ReleaseHeld(1); // slot 0 is free again
    ASSERT_TRUE(done.WaitFor(1));

    SetTickOffset(70000);
    for (size_t i = 0; i < 5; ++i) { // each takes slot 0, answered before the next
        ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
        ASSERT_TRUE(done.WaitFor(2 + i));
    }
    EXPECT_EQ(first.Count(), 0u);

    ASSERT_TRUE(Logon(0, &thirdLogon));
    ASSERT_EQ(first.Count(), 1u); // ended before the logon returned
    ASSERT_EQ(second.Count(), 1u);
    EXPECT_EQ(first.Calls()[0].status, 0u);
    EXPECT_EQ(second.Calls()[0].status, 0u);
    module->Hold(nullptr);
    module->ReleaseHeld(); // the late answers, and the third start's
    ASSERT_TRUE(third.WaitFor(1));
    EXPECT_EQ(third.Calls()[0].status, 1u);
    EXPECT_FALSE(Logon(0)); // up
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(first.Count(), 1u);
    EXPECT_EQ(second.Count(), 1u);
}

// A start that succeeds during a close, after the close's logoff aborted
// it: its interface went with the released client, and after the next open
// the channel takes a logon.
TEST_F(AbortedStarts, StartSucceedingDuringCloseLeavesTheChannelIdle) {
    module->Hold(IsStart);
    LogonCallbacks callbacks = {Completions::Callback, &firstContext, nullptr, nullptr};
    ASSERT_TRUE(Logon(0, &callbacks));
    // The start's reply comes just before that of the NAS client's release.
    module->Intercept([](const Request &r, FakeModule &m) {
        if (r.service == 0 && r.message == 0x23 && r.frame[15] == 3) {
            m.Hold(nullptr);
            m.ReleaseHeld();
        }
        return false;
    });
    EXPECT_TRUE(kx.Close());
    ASSERT_EQ(first.Count(), 1u);
    EXPECT_EQ(first.Calls()[0].status, 1u);
    module->Intercept(nullptr);
    ASSERT_TRUE(kx.Open());
    EXPECT_TRUE(Logon(0));
}

} // namespace
} // namespace kxtest

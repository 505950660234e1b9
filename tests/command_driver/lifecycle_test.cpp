// Open, close, reopen and unload of the driver against the scripted module.
#include "driver_test.h"

#include <thread>

namespace kxtest {
namespace {

class Lifecycle : public DriverTest {};

TEST_F(Lifecycle, OpenObtainsWdsThenNasAndCloseReleasesNasFirst) {
    ASSERT_TRUE(kx.Open());
    EXPECT_EQ(module->control->OpenCount(), 1);
    // Control port: reads without practical limit, writes without limit.
    auto timeouts = module->control->TimeoutWrites();
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts[0].ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(timeouts[0].ReadTotalTimeoutConstant, MAXDWORD - 1);
    EXPECT_EQ(timeouts[0].WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts[0].WriteTotalTimeoutConstant, MAXDWORD);

    EXPECT_FALSE(kx.Open()); // already open: nothing changes
    EXPECT_EQ(module->control->OpenCount(), 1);

    ASSERT_TRUE(kx.Close());
    EXPECT_FALSE(module->control->IsOpen());
    // Both requests in slot 0 (each freed before the next), so both carry
    // transaction id 0.
    std::vector<Bytes> expected = {
        {0x01, 0x0F, 0, 0, 0, 0, 0x00, 0, 0x22, 0, 4, 0, 0x01, 0x01, 0, 0x01},
        {0x01, 0x0F, 0, 0, 0, 0, 0x00, 0, 0x22, 0, 4, 0, 0x01, 0x01, 0, 0x03},
        {0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x03, 0x07},
        {0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x01, 0x05},
    };
    EXPECT_EQ(module->control->Writes(), expected);

    EXPECT_FALSE(kx.Close()); // closed already
    EXPECT_EQ(module->control->WriteCount(), 4u);
}

TEST_F(Lifecycle, FailedOpenReleasesWhatItObtained) {
    module->Reject(0, 0x22);
    EXPECT_FALSE(kx.Open());
    EXPECT_FALSE(module->control->IsOpen());
    EXPECT_EQ(module->control->WriteCount(), 1u); // the WDS request, nothing to release

    // NAS refused: the WDS client id is released again.
    module = std::make_unique<FakeModule>();
    module->Intercept([](const Request &r, FakeModule &m) {
        if (r.service == 0 && r.message == 0x22 && r.frame[15] == 3) {
            m.Push(ReplyFrame(0, 0, r.transactionId, 0x22, 0x01, 0x05));
            return true;
        }
        return false;
    });
    EXPECT_FALSE(kx.Open());
    auto requests = module->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].message, 0x23);
    EXPECT_EQ(requests[2].frame.back(), 0x05); // the WDS client id
    EXPECT_FALSE(module->control->IsOpen());

    // A driver that failed to open opens afterwards.
    module->Intercept(nullptr);
    EXPECT_TRUE(kx.Open());
}

TEST_F(Lifecycle, OpenFailsWhenThePortIsMissingOrItsTimeoutsFail) {
    module->control->Vanish();
    EXPECT_FALSE(kx.Open());
    module->control->Return();
    module->control->FailNext(DeviceCall::SetTimeouts);
    EXPECT_FALSE(kx.Open());
    EXPECT_FALSE(module->control->IsOpen());
    EXPECT_EQ(module->control->WriteCount(), 0u);
    EXPECT_TRUE(kx.Open());
}

class LifecycleTimeouts : public DriverTest {
  protected:
    LifecycleTimeouts() : DriverTest(0.01) {}
};

TEST_F(LifecycleTimeouts, UnansweredClientIdRequestFailsTheOpenAfterTheReplyLimit) {
    module->Hold([](const Request &) { return true; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx.Open());
    auto took = std::chrono::steady_clock::now() - start;
    // 30000 ms at scale 0.01: about 300 ms, and not much more.
    EXPECT_GE(took, std::chrono::milliseconds(280));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_FALSE(module->control->IsOpen());
}

TEST_F(Lifecycle, ReopenBeforeOpenTouchesNothing) {
    EXPECT_FALSE(kx.Reopen(1000));
    EXPECT_EQ(module->control->OpenCount(), 0);
}

TEST_F(Lifecycle, ReopenReplacesTheControlPortAndKeepsItsTimeouts) {
    OpenDriver();
    ASSERT_TRUE(kx.Reopen(0));
    EXPECT_EQ(module->control->OpenCount(), 2);
    auto timeouts = module->control->TimeoutWrites();
    ASSERT_EQ(timeouts.size(), 2u);
    EXPECT_EQ(timeouts[1].ReadTotalTimeoutConstant, MAXDWORD - 1);
    // The reader reads the new port: a request is answered.
    Completions done;
    CompletionContext context{&done, 1};
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
    EXPECT_EQ(done.Calls()[0].data, (Bytes{0xBA, 0x05}));
}

TEST_F(Lifecycle, ReopenWithLimitZeroMakesOneAttempt) {
    OpenDriver();
    module->control->Vanish();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx.Reopen(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(module->control->OpenCount(), 1);
    // The reader has ended (control port gone, ports no longer being
    // replaced); requests cannot be sent.
    EXPECT_TRUE(ThreadsBack());
    Completions done;
    CompletionContext context{&done, 1};
    EXPECT_FALSE(kx.GetSignalStrength(Completions::Callback, &context));
    EXPECT_EQ(done.Count(), 0u);
}

TEST_F(Lifecycle, ReopenWaitsForPortsThatComeBackLater) {
    OpenDriver();
    module->control->Vanish();
    std::thread back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        module->control->Return();
    });
    EXPECT_TRUE(kx.Reopen(100000)); // 2000 ms real at this scale
    back.join();
    EXPECT_EQ(module->control->OpenCount(), 2);
    Completions done;
    CompletionContext context{&done, 1};
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
}

// A reopen that lost the control port leaves an ended reader behind; close
// still closes its handle (and, once channels exist, their data ports).
TEST_F(Lifecycle, CloseAfterAFailedReopenLeaksNothing) {
    OpenDriver();
    module->control->Vanish();
    EXPECT_FALSE(kx.Reopen(0));
    EXPECT_TRUE(ThreadsBack());
    EXPECT_FALSE(kx.Close());                           // the control port was not open
    EXPECT_EQ(OpenHandleCount(), baselineHandles + 65); // slots' and portAvailable events
    module->control->Return();
    EXPECT_TRUE(kx.Open()); // starts afresh
    EXPECT_TRUE(kx.Close());
}

// After a reopen that lost the control port the reader ends; a later
// reopen that brings the port back has a reader on it again, whether the
// old one has ended by then or is still on its way out.
class LifecycleReader : public Lifecycle {
  protected:
    // Alive until the close in TearDown, which cancels what is outstanding.
    Completions done;
    CompletionContext context{&done, 1};
};

TEST_F(LifecycleReader, ReopenThatBringsTheControlPortBackHasAReaderAgain) {
    OpenDriver();
    for (bool readerEnded : {true, false}) {
        SCOPED_TRACE(readerEnded ? "the reader has ended" : "right after the failed reopen");
        module->control->Vanish();
        EXPECT_FALSE(kx.Reopen(0));
        if (readerEnded) {
            EXPECT_TRUE(ThreadsBack());
        }
        module->control->Return();
        ASSERT_TRUE(kx.Reopen(0));
        size_t answered = done.Count();
        ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
        ASSERT_TRUE(done.WaitFor(answered + 1, 2000)) << "no reader answers";
        EXPECT_EQ(done.Calls()[answered].status, 1u);
        EXPECT_EQ(RunningThreadCount(), baselineThreads + 1); // one reader, not two
    }
    EXPECT_TRUE(kx.Close()); // the client ids are released
    EXPECT_EQ(module->CountOf(0, 0x23), 2u);
}

// A close waits for its reader only 1000 ms. A reader held longer (here by
// a completion callback that blocks) is still on its way out when the next
// open starts a reader of its own; both read the new port for a while, and
// the next close ends both, whichever of them notices first.
TEST_F(LifecycleReader, ReaderAClosePassedByEndsAfterTheNextOpenToo) {
    OpenDriver();
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    struct Blocking {
        std::mutex *mutex;
        std::condition_variable *changed;
        bool *entered, *released;
    } blocking{&mutex, &changed, &entered, &released};
    auto hold = [](DWORD, const void *, DWORD, void *holding) {
        auto *b = static_cast<Blocking *>(holding);
        std::unique_lock<std::mutex> lock(*b->mutex);
        *b->entered = true;
        b->changed->notify_all();
        b->changed->wait(lock, [b] { return *b->released; });
    };
    ASSERT_TRUE(kx.GetSignalStrength(hold, &blocking));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return entered; }));
    }
    // The releases get no answer while the reader is held; the close gives
    // up on the reader after 1000 ms.
    EXPECT_FALSE(kx.Close());
    ASSERT_TRUE(kx.Open());
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    // The driver answers, whichever reader reads the reply.
    for (size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
        ASSERT_TRUE(done.WaitFor(i, 2000)) << "no reader answers";
    }
    EXPECT_TRUE(kx.Close());
    EXPECT_TRUE(ThreadsBack()) << "a reader never ended: " << RunningThreadCount() << " threads, "
                               << baselineThreads << " before";
}

TEST_F(Lifecycle, CloseCancelsOutstandingRequests) {
    OpenDriver();
    module->Hold([](const Request &r) { return r.service == 3; });
    Completions done;
    CompletionContext context{&done, 7};
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
    EXPECT_EQ(done.Count(), 0u);
    EXPECT_TRUE(kx.Close());
    auto calls = done.Calls(); // before close returned
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].status, 0u);
    EXPECT_TRUE(calls[0].dataNull);
    EXPECT_EQ(calls[0].context, &context);
}

// Unload of an open driver runs the whole close: both client ids released.
TEST_F(Lifecycle, UnloadWhileOpenReleasesBothClientIds) {
    SetTimeScale(1.0);
    OpenDriver();
    ASSERT_TRUE(kx.Unload());
    auto requests = module->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].frame,
              (Bytes{0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x03, 0x07}));
    EXPECT_EQ(requests[1].frame,
              (Bytes{0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x01, 0x05}));
    EXPECT_FALSE(module->control->IsOpen());
    EXPECT_TRUE(ThreadsBack());
}

} // namespace
} // namespace kxtest

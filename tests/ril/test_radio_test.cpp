// The in-process radio (kxtest::TestRadio): the RIL's contract as tests
// rely on it, with and without the deterministic scheduler.
#include <kx_explore.h>
#include <kx_platform_test.h>
#include <kx_test_radio.h>

#include <gtest/gtest.h>

#include <ril.h>

#include <cstring>
#include <string>

namespace {

struct Watcher {
    HRIL ril = nullptr;
    int notices = 0;
    int results = 0;
    std::string name;
    bool closeInCallback = false;
    HANDLE got = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Watcher() { CloseHandle(got); }

    static void CALLBACK Result(DWORD code, HRESULT, const void *data, DWORD size,
                                DWORD_PTR param) {
        auto *w = reinterpret_cast<Watcher *>(param);
        ++w->results;
        if (code == RIL_RESULT_OK && size == sizeof(RILOPERATORNAMES))
            w->name.assign(static_cast<const RILOPERATORNAMES *>(data)->szLongName,
                           strnlen(static_cast<const RILOPERATORNAMES *>(data)->szLongName,
                                   MAXLENGTH_OPERATOR_LONG));
        if (w->closeInCallback)
            RIL_Deinitialize(w->ril); // returns at once: the RIL thread ends after this
        SetEvent(w->got);
    }
    static void CALLBACK Notify(DWORD code, const void *data, DWORD size, DWORD_PTR param) {
        auto *w = reinterpret_cast<Watcher *>(param);
        if (code == RIL_NOTIFY_REGSTATUSCHANGED && size == 4 &&
            *static_cast<const DWORD *>(data) == RIL_REGSTAT_HOME) {
            ++w->notices;
            RIL_GetCurrentOperator(w->ril, RIL_OPFORMAT_LONG);
        }
    }
};

TEST(TestRadio, ServesNoticesAndOperatorQueriesOnItsRilThread) {
    int threads = kxtest::RunningThreadCount();
    auto radio = kxtest::TestRadio::Install();
    ASSERT_TRUE(radio);
    EXPECT_FALSE(kxtest::TestRadio::Install());               // one at a time
    radio->SetOperator("KxTel Mobile Network Operator Long"); // 34 bytes: cut to 32
    Watcher w;
    ASSERT_EQ(S_OK, RIL_Initialize(1, Watcher::Result, Watcher::Notify, RIL_NCLASS_NETWORK,
                                   reinterpret_cast<DWORD_PTR>(&w), &w.ril));
    EXPECT_EQ(threads + 1, kxtest::RunningThreadCount());
    radio->NoticeRegistration(RIL_REGSTAT_ROAMING);
    radio->NoticeRegistration(RIL_REGSTAT_HOME);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(w.got, 5000));
    radio->AwaitQuiet();
    EXPECT_EQ(1, w.notices);
    EXPECT_EQ("KxTel Mobile Network Operator Lo", w.name);
    EXPECT_EQ(E_NOTIMPL, RIL_GetEquipmentState(w.ril));
    EXPECT_EQ(S_OK, RIL_Deinitialize(w.ril)); // waits for the RIL thread
    // A thread's handle is signalled a moment before it stops counting.
    for (int i = 0; i < 1000 && kxtest::RunningThreadCount() != threads; ++i)
        Sleep(1);
    EXPECT_EQ(threads, kxtest::RunningThreadCount());
    EXPECT_EQ(E_INVALIDARG, RIL_GetCurrentOperator(w.ril, RIL_OPFORMAT_LONG));
    kxtest::TestRadio::Counts seen = radio->Seen();
    EXPECT_EQ(1, seen.initialized);
    EXPECT_EQ(1, seen.deinitialized);
    EXPECT_EQ(0, seen.open);
    EXPECT_TRUE(seen.violations.empty());
    // A second close is refused, and noted.
    EXPECT_EQ(E_INVALIDARG, RIL_Deinitialize(w.ril));
    EXPECT_EQ(1u, radio->Seen().violations.size());
}

TEST(TestRadio, AnInstanceClosedInItsOwnCallbackEndsAfterIt) {
    auto radio = kxtest::TestRadio::Install();
    radio->SetOperator("KxTel");
    kxtest::ScheduleSpec spec;
    spec.strategy = kxtest::Strategy::Random;
    for (uint64_t seed = 1; seed <= 50; ++seed) {
        spec.seed = seed;
        kxtest::ScheduleResult run = kxtest::RunScheduled(spec, [&] {
            Watcher w;
            w.closeInCallback = true;
            RIL_Initialize(1, Watcher::Result, Watcher::Notify, RIL_NCLASS_NETWORK,
                           reinterpret_cast<DWORD_PTR>(&w), &w.ril);
            radio->NoticeRegistration(RIL_REGSTAT_HOME);
            radio->NoticeRegistration(RIL_REGSTAT_HOME); // not delivered after the close
            radio->AwaitQuiet();
            kxtest::Expect(w.results == 1, "results: " + std::to_string(w.results));
            kxtest::Expect(radio->Seen().open == 0, "the instance is still open");
        });
        ASSERT_TRUE(run.passed) << kxtest::DescribeSpec(spec) << ": " << run.failure;
    }
}

TEST(TestRadio, WithoutItTheSchedulerHasNoRadio) {
    kxtest::ScheduleSpec spec;
    kxtest::ScheduleResult run = kxtest::RunScheduled(spec, [] {
        HRIL ril = reinterpret_cast<HRIL>(1);
        HRESULT hr = RIL_Initialize(1, Watcher::Result, nullptr, 0, 0, &ril);
        kxtest::Expect(hr == HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST) && ril == nullptr,
                       "RIL_Initialize reached the module's AT port under the scheduler");
    });
    EXPECT_TRUE(run.passed) << run.failure;
}

} // namespace

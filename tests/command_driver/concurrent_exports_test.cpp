// Many threads calling the exports at once while the module answers and
// reopens run; meant for the thread-sanitizer build as much as the normal
// one. Every asynchronous request that was accepted ends exactly once.
#include "channel_test.h"

#include <atomic>
#include <thread>

namespace kxtest {
namespace {

class ConcurrentExports : public ChannelTest {
  protected:
    static constexpr int MaxTags = 200000;
    static std::atomic<int> calls[MaxTags];
    static void Count(DWORD, const void *, DWORD, void *context) {
        calls[reinterpret_cast<intptr_t>(context)].fetch_add(1);
    }
    static void Status(DWORD, DWORD, DWORD, void *) {}
    std::atomic<int> nextTag{1};
};
std::atomic<int> ConcurrentExports::calls[ConcurrentExports::MaxTags];

TEST_F(ConcurrentExports, EveryAcceptedRequestEndsOnceWhileTheModuleAnswersAndReopensRun) {
    for (auto &c : calls)
        c = 0;
    ASSERT_TRUE(Logon(0));
    std::atomic<bool> stop{false};
    std::mutex acceptedMutex;
    std::vector<int> accepted; // tags whose export returned 1
    std::vector<char> kinds(MaxTags);
    auto asyncRequest = [&](const std::function<BOOL(void *)> &request, char kind = 'r') {
        int tag = nextTag.fetch_add(1);
        if (tag >= MaxTags)
            return;
        kinds[tag] = kind;
        if (request(reinterpret_cast<void *>(intptr_t(tag))) && kind != 'o') {
            std::lock_guard<std::mutex> lock(acceptedMutex);
            accepted.push_back(tag);
        }
    };

    std::vector<std::thread> threads;
    threads.emplace_back([&] { // signal strength and asynchronous queries
        while (!stop) {
            asyncRequest([&](void *c) { return kx.GetSignalStrength(Count, c); });
            asyncRequest([&](void *c) { return kx.ChannelRate(0, Count, c, nullptr); });
        }
    });
    threads.emplace_back([&] { // synchronous queries
        while (!stop) {
            DWORD state = 0;
            kx.ConnectionState(0, nullptr, nullptr, &state);
        }
    });
    threads.emplace_back([&] { // packet data on channel 0
        uint8_t buffer[32] = {1, 2, 3};
        while (!stop) {
            DWORD length = 3;
            kx.Send(0, buffer, &length, 50);
            length = sizeof buffer;
            kx.Receive(0, buffer, &length, 1);
            kx.Abort(0, TRUE, FALSE);
        }
    });
    threads.emplace_back([&] { // packets arriving
        while (!stop) {
            data[0]->Push(Bytes{0x45, 0, 0, 4});
            module->Push(StatusIndication(2, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    threads.emplace_back([&] { // logon and logoff of channel 1
        while (!stop) {
            asyncRequest(
                [&](void *c) {
                    LogonCallbacks callbacks = {Count, c, Status, nullptr};
                    return kx.Logon(1, nullptr, 0, &callbacks);
                },
                'l');
            // A logoff's callback reports only a stop, so it may never run.
            asyncRequest([&](void *c) { return kx.Logoff(1, Count, c); }, 'o');
        }
    });
    threads.emplace_back([&] { // reopens
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_TRUE(kx.Reopen(5000));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto &t : threads)
        t.join();
    // Close may fail to release a client id when replies lost to the
    // reopens left every slot outstanding; it still ends every request.
    kx.Close();

    // Each accepted asynchronous request ended exactly once; no tag twice.
    ASSERT_GT(accepted.size(), 10u);
    for (int tag : accepted)
        EXPECT_EQ(calls[tag].load(), 1) << tag << " " << kinds[tag];
    for (int tag = 1; tag < nextTag && tag < MaxTags; ++tag)
        EXPECT_LE(calls[tag].load(), 1) << tag;
}

} // namespace
} // namespace kxtest

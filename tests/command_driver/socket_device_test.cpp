// The driver against a real socket device: a module side listening on
// $KX_DEVICE_DIR/KXC1 (SOCK_SEQPACKET), as the simulated module serves it.
#include "driver_test.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kxtest {
namespace {

class SocketModule {
  public:
    SocketModule() {
        char pattern[] = "/tmp/kxcmd-socket-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv("KX_DEVICE_DIR", dir_.c_str(), 1);
        listen_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s/KXC1", dir_.c_str());
        EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listen_, 4), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SocketModule() {
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
        unlink((dir_ + "/KXC1").c_str());
        rmdir(dir_.c_str());
        unsetenv("KX_DEVICE_DIR");
    }
    std::vector<Bytes> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    void Serve() {
        for (;;) {
            int connection = accept(listen_, nullptr, nullptr);
            if (connection < 0)
                return;
            uint8_t buffer[256];
            ssize_t n;
            while ((n = recv(connection, buffer, sizeof buffer, 0)) > 0) {
                Bytes request(buffer, buffer + n);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(request);
                }
                Bytes reply = answers_.Answer(Decode(request));
                send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            close(connection);
        }
    }

    std::string dir_;
    int listen_ = -1;
    std::thread thread_;
    FakeModule answers_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

TEST(SocketDevice, OpensQueriesAndClosesOverTheModuleSocket) {
    SetTimeScale(0.05);
    SocketModule module;
    KxCmdLibrary kx;
    ASSERT_TRUE(kx.Load());
    ASSERT_TRUE(kx.Open());
    Completions done;
    CompletionContext context{&done, 1};
    ASSERT_TRUE(kx.GetSignalStrength(Completions::Callback, &context));
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Calls()[0].status, 1u);
    EXPECT_EQ(done.Calls()[0].data, (Bytes{0xBA, 0x05}));
    ASSERT_TRUE(kx.Close());
    ASSERT_TRUE(kx.Unload());
    std::vector<Bytes> expected = {
        {0x01, 0x0F, 0, 0, 0, 0, 0x00, 0, 0x22, 0, 4, 0, 0x01, 0x01, 0, 0x01},
        {0x01, 0x0F, 0, 0, 0, 0, 0x00, 0, 0x22, 0, 4, 0, 0x01, 0x01, 0, 0x03},
        {0x01, 0x0C, 0, 0, 3, 0x07, 0x00, 0, 0, 0x20, 0, 0, 0},
        {0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x03, 0x07},
        {0x01, 0x10, 0, 0, 0, 0, 0x00, 0, 0x23, 0, 5, 0, 0x01, 0x02, 0, 0x01, 0x05},
    };
    EXPECT_EQ(module.Requests(), expected);
    SetTimeScale(1.0);
}

} // namespace
} // namespace kxtest

// The AT port on a pseudo-terminal: the byte stream a serial-port program
// sees (a COM port linked to the terminal under Wine).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "test_client.h"

using namespace kxtest;
using Clock = std::chrono::steady_clock;

namespace {

// The program's side of the terminal, opened through the module's link.
class Terminal {
  public:
    explicit Terminal(const std::string &path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) {
            termios t;
            if (tcgetattr(fd_, &t) == 0) {
                cfmakeraw(&t);
                tcsetattr(fd_, TCSANOW, &t);
            }
        }
    }
    ~Terminal() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void Send(const std::string &text) {
        ASSERT_EQ(ssize_t(text.size()), write(fd_, text.data(), text.size()));
    }
    // What arrives until `end` was seen, or what came within 3 s.
    std::string ReceiveUntil(const std::string &end) {
        std::string text;
        auto deadline = Clock::now() + std::chrono::seconds(3);
        while (text.find(end) == std::string::npos && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buffer[512];
            ssize_t n = read(fd_, buffer, sizeof(buffer));
            if (n > 0)
                text.append(buffer, size_t(n));
        }
        return text;
    }

  private:
    int fd_ = -1;
};

class AtPtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.atPtyLink = dir.path() + "/at.pty";
        std::string error;
        ASSERT_TRUE(modem.Start(dir.path() + "/dev", options, &error)) << error;
    }

    TempDir dir;
    kxmodem::Options options;
    kxmodem::Modem modem;
};

} // namespace

TEST_F(AtPtyTest, OneSessionAnswersOnTheTerminalAndOutlivesTheSocketsVanishing) {
    char target[256] = {0};
    ASSERT_GT(readlink(options.atPtyLink.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(modem.AtPtyPath(), target);
    EXPECT_EQ("", modem.PtyPath()); // the QMI port's terminal was not asked for

    Terminal at(options.atPtyLink);
    ASSERT_TRUE(at.ok());
    at.Send("ATE0\r");
    EXPECT_EQ("ATE0\r\r\nOK\r\n", at.ReceiveUntil("OK\r\n"));
    EXPECT_EQ("ok", modem.Control("ident \"Manufacturer: A\" \"Model: B\" \"Revision: C\" "
                                  "\"IMEI: D\""));
    at.Send("ATI1\r");
    EXPECT_EQ("\r\nManufacturer: A\r\nModel: B\r\nRevision: C\r\nIMEI: D\r\n\r\nOK\r\n",
              at.ReceiveUntil("OK\r\n"));

    // The session is the terminal's, not the socket's: it keeps its settings
    // (no echo) and its registration codes through a vanished socket.
    at.Send("AT+CREG=1\r");
    EXPECT_EQ("\r\nOK\r\n", at.ReceiveUntil("OK\r\n"));
    EXPECT_EQ("ok", modem.Control("vanish KXA1"));
    EXPECT_EQ("ok", modem.Control("registration roaming"));
    EXPECT_EQ("\r\n+CREG: 5\r\n", at.ReceiveUntil("+CREG: 5\r\n"));
    at.Send("AT+CFUN=0\r");
    EXPECT_EQ("\r\n+CREG: 0\r\n\r\nOK\r\n", at.ReceiveUntil("OK\r\n"));
    EXPECT_FALSE(modem.State().radioOn);
    at.Send("AT+CFUN?\r");
    EXPECT_EQ("\r\n+CFUN: 0\r\n\r\nOK\r\n", at.ReceiveUntil("OK\r\n"));
    EXPECT_EQ("ok", modem.Control("restore KXA1"));

    // Stopping the module removes the link it made.
    modem.Stop();
    struct stat st;
    EXPECT_NE(0, lstat(options.atPtyLink.c_str(), &st));
}

TEST(AtPtyStart, RefusesToReplaceAFileThatIsNotALink) {
    TempDir dir;
    std::string path = dir.path() + "/at.pty";
    std::ofstream(path) << "a user's file\n";
    kxmodem::Modem modem;
    kxmodem::Options options;
    options.atPtyLink = path;
    std::string error;
    EXPECT_FALSE(modem.Start(dir.path() + "/dev", options, &error));
    EXPECT_NE(std::string::npos, error.find("is not a symbolic link")) << error;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ("a user's file", line); // left as it was
}

// Debug output: the capture hook, the KX_DEBUG_LOG file (UTF-8, appended
// as written, whole messages even from many threads and processes) and the
// length cap.

#include <windows.h>

#include "kx_platform_test.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Points KX_DEBUG_LOG at a fresh file for one test.
class DebugLogFile {
  public:
    DebugLogFile() {
        char pattern[] = "/tmp/kx-debug-log-XXXXXX";
        int fd = mkstemp(pattern);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = pattern;
        setenv("KX_DEBUG_LOG", path_.c_str(), 1);
    }
    ~DebugLogFile() {
        unsetenv("KX_DEBUG_LOG");
        unlink(path_.c_str());
    }
    const std::string &Path() const { return path_; }

  private:
    std::string path_;
};

TEST(DebugOutput, CaptureTakesEachMessageAsWritten) {
    kxtest::DebugCapture capture;
    NKDbgPrintfW(TEXT("CarrierCfg: %s=%d\r\n"), TEXT("HACMode"), 1);
    NKDbgPrintfW(TEXT("%hs"), "caf\xE9 ");
    OutputDebugStringW(u"\u20AC");
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "CarrierCfg: HACMode=1\r\n");
    EXPECT_EQ(messages[1], "caf\xC3\xA9 "); // delivered as UTF-8
    EXPECT_EQ(messages[2], "\xE2\x82\xAC");
    EXPECT_EQ(capture.Text(), "CarrierCfg: HACMode=1\r\ncaf\xC3\xA9 \xE2\x82\xAC");
    capture.Clear();
    EXPECT_TRUE(capture.Messages().empty());

    {
        // The innermost capture takes the messages while it lives.
        kxtest::DebugCapture inner;
        NKDbgPrintfW(TEXT("inner"));
        EXPECT_EQ(inner.Text(), "inner");
    }
    NKDbgPrintfW(TEXT("outer"));
    EXPECT_EQ(capture.Text(), "outer");
}

TEST(DebugOutput, LongMessagesAreCut) {
    kxtest::DebugCapture capture;
    std::u16string longText(10000, u'y');
    NKDbgPrintfW(TEXT("%s"), longText.c_str());
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_GE(messages[0].size(), 1024u);
    EXPECT_LE(messages[0].size(), 4096u);
    EXPECT_EQ(messages[0].find_first_not_of('y'), std::string::npos);
}

TEST(DebugOutput, CaptureIsSafeFromManyThreads) {
    kxtest::DebugCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                NKDbgPrintfW(TEXT("thread %d message %d\r\n"), t, i);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 800u);
    std::map<int, int> next;
    for (const auto &message : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(message.c_str(), "thread %d message %d\r\n", &t, &i), 2) << message;
        EXPECT_EQ(i, next[t]++); // each thread's messages in its order
    }
}

TEST(DebugOutput, LogFileGetsUtf8AppendedAsWritten) {
    DebugLogFile log;
    NKDbgPrintfW(TEXT("ModemAboutUI: %s"), u"\u00C9t\u00E9 \U0001F600");
    NKDbgPrintfW(TEXT(" no newline added\r\n"));
    OutputDebugStringW(TEXT("x"));
    EXPECT_EQ(ReadFile(log.Path()),
              "ModemAboutUI: \xC3\x89t\xC3\xA9 \xF0\x9F\x98\x80 no newline added\r\nx");
}

TEST(DebugOutput, LogFileKeepsMessagesWholeAcrossProcesses) {
    DebugLogFile log;
    const int kProcesses = 4;
    const int kMessages = 200;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::u16string filler(300, static_cast<WCHAR>(u'a' + p));
            for (int i = 0; i < kMessages; ++i) {
                NKDbgPrintfW(TEXT("<%d:%d:%s>\n"), p, i, filler.c_str());
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream lines(ReadFile(log.Path()));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int p = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "<%d:%d:", &p, &i), 2) << line;
        ASSERT_TRUE(p >= 0 && p < kProcesses);
        std::string expected = "<" + std::to_string(p) + ":" + std::to_string(i) + ":" +
                               std::string(300, static_cast<char>('a' + p)) + ">";
        EXPECT_EQ(line, expected);
        ++count;
    }
    EXPECT_EQ(count, kProcesses * kMessages);
}

} // namespace

// Debug output of coredll (NKDbgPrintfW, OutputDebugStringW) and the test
// hook that captures it.
//
// A message is formatted on the caller's stack, converted to UTF-8 and
// delivered whole: to the innermost live kxtest::DebugCapture if any, else
// appended to the file named by KX_DEBUG_LOG with a single write() on a
// descriptor opened with O_APPEND (so that messages of many threads and
// processes never interleave), else written to standard error.

#include "wide_format.h"

#include "kx_platform_test.h"

#include <kxhost/utf.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

// Longest message in characters; longer ones are cut.
const size_t kMaxMessage = 4096;

// Live captures, oldest first, each with what it received. Guarded by
// CaptureLock(); no other lock is taken while it is held. The record is
// never destroyed, so that messages written while the process exits find it.
struct CaptureList {
    std::vector<std::pair<const kxtest::DebugCapture *, std::vector<std::string>>> entries;
};

std::mutex &CaptureLock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}

CaptureList &Captures() {
    static CaptureList *list = new CaptureList;
    return *list;
}

std::vector<std::string> *FindCapture(const kxtest::DebugCapture *capture) {
    for (auto &entry : Captures().entries) {
        if (entry.first == capture) {
            return &entry.second;
        }
    }
    return nullptr;
}

void WriteAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void Deliver(const WCHAR *text, size_t length) {
    std::string message = kxhost::Utf16ToUtf8(text, length);
    {
        std::lock_guard<std::mutex> guard(CaptureLock());
        auto &entries = Captures().entries;
        if (!entries.empty()) {
            entries.back().second.push_back(std::move(message));
            return;
        }
    }
    if (message.empty()) {
        return;
    }
    const char *path = getenv("KX_DEBUG_LOG");
    if (path != nullptr && path[0] != '\0') {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            WriteAll(fd, message.data(), message.size());
            close(fd);
            return;
        }
    }
    WriteAll(STDERR_FILENO, message.data(), message.size());
}

} // namespace

extern "C" {

void NKDbgPrintfW(const WCHAR *format, ...) {
    if (format == nullptr) {
        return;
    }
    WCHAR buffer[kMaxMessage];
    va_list args;
    va_start(args, format);
    size_t length = kx::FormatWide(buffer, kMaxMessage, format, args, true);
    va_end(args);
    Deliver(buffer, length < kMaxMessage ? length : kMaxMessage);
}

void OutputDebugStringW(LPCWSTR text) {
    if (text == nullptr) {
        return;
    }
    Deliver(text, wcsnlen(text, kMaxMessage));
}

} // extern "C"

namespace kxtest {

DebugCapture::DebugCapture() {
    std::lock_guard<std::mutex> guard(CaptureLock());
    Captures().entries.emplace_back(this, std::vector<std::string>());
}

DebugCapture::~DebugCapture() {
    std::lock_guard<std::mutex> guard(CaptureLock());
    auto &entries = Captures().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->first == this) {
            entries.erase(it);
            break;
        }
    }
}

std::string DebugCapture::Text() const {
    std::lock_guard<std::mutex> guard(CaptureLock());
    std::string text;
    if (auto *messages = FindCapture(this)) {
        for (const auto &message : *messages) {
            text += message;
        }
    }
    return text;
}

std::vector<std::string> DebugCapture::Messages() const {
    std::lock_guard<std::mutex> guard(CaptureLock());
    if (auto *messages = FindCapture(this)) {
        return *messages;
    }
    return {};
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> guard(CaptureLock());
    if (auto *messages = FindCapture(this)) {
        messages->clear();
    }
}

} // namespace kxtest

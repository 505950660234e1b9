// Fuzz target: kxmodem's AT command interpreter. The input is the bytes a
// host writes to one AT session; the first byte chooses the module's state.
//
// Checks:
//   - the answer does not depend on how the bytes are split into writes
//     (one write, or pieces whose sizes the input chooses);
//   - with echo off from the start and no command that turns it on, every
//     answer is made of whole result blocks: each completed non-blank line
//     gives exactly one final result ("\r\nOK\r\n" or "\r\nERROR\r\n");
//   - the unsolicited registration code is empty or one whole line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <string>

#include "at.h"
#include "fuzz_report.h"

using namespace kxmodem;

namespace {

[[noreturn]] void Fail(const char *what) {
    kxfuzz::Fail("kxmodem_at: %s", what);
}

struct Host : AtHost {
    ModemConfig config;
    const ModemConfig &Config() const override { return config; }
    void SetRadio(bool on) override { config.radioOn = on; }
};

void Configure(Host &host, uint8_t choice) {
    host.config.radioOn = choice & 1;
    static const int kRegs[] = {kRegNone, kRegHome, kRegSearching, kRegDenied, kRegRoaming};
    host.config.registration = kRegs[(choice >> 1) % 5];
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    uint8_t choice = data[0];
    std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    Host wholeHost;
    Configure(wholeHost, choice);
    AtSession whole;
    std::string answer = whole.Feed(input, wholeHost);

    Host pieceHost;
    Configure(pieceHost, choice);
    AtSession pieces;
    std::string pieced;
    size_t pos = 0;
    size_t step = 1 + (choice >> 4);
    while (pos < input.size()) {
        size_t n = std::min(step, input.size() - pos);
        pieced += pieces.Feed(input.substr(pos, n), pieceHost);
        pos += n;
        step = step % 7 + 1;
    }
    if (pieced != answer)
        Fail("the answer depends on how the input was split");
    if (pieces.echo() != whole.echo() || pieces.cregMode() != whole.cregMode())
        Fail("the session state depends on how the input was split");

    // Echo off from the start: count lines and final results.
    Host quietHost;
    Configure(quietHost, choice);
    AtSession quiet;
    quiet.Feed("ATE0\r", quietHost);
    std::string text = quiet.Feed(input, quietHost);
    // What the interpreter sees after its line editing: a backspace takes
    // back the character before it on the same line ("ATEX<BS>1" is ATE1).
    std::string upper;
    for (char c : input) {
        if (c == '\b') {
            if (!upper.empty() && upper.back() != '\r')
                upper.pop_back();
            continue;
        }
        upper.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
    }
    if (upper.find("E1") == std::string::npos) {
        if (quiet.echo())
            Fail("echo came back on without a command asking for it");
        size_t finals = Count(text, "\r\nOK\r\n") + Count(text, "\r\nERROR\r\n");
        // Completed lines that hold more than blanks are answered once; the
        // interpreter's line editing (backspace, the 1024-byte limit) is
        // modelled here.
        size_t lines = 0;
        std::string line;
        for (char c : input) {
            if (c == '\r') {
                bool blank = true;
                for (char l : line) {
                    if (!isspace(static_cast<unsigned char>(l)))
                        blank = false;
                }
                if (!blank)
                    ++lines;
                line.clear();
            } else if (c == '\n') {
            } else if (c == '\b') {
                if (!line.empty())
                    line.pop_back();
            } else if (line.size() < 1024) {
                line += c;
            }
        }
        if (finals != lines)
            Fail("completed lines and final results do not match");
    }

    std::string code = whole.RegistrationCode(wholeHost.config);
    if (!code.empty() &&
        (code.compare(0, 2, "\r\n") != 0 || code.size() < 4 ||
         code.compare(code.size() - 2, 2, "\r\n") != 0 || Count(code, "\r\n") != 2))
        Fail("the registration code is not one whole line");
    return 0;
}

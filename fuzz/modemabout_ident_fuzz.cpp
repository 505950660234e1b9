// Fuzz target: ModemAbout's splitting of the module's identification answer
// (the RIL result callback, modem_applet sources linked in). The input is a
// series of answers of any bytes and any length, each handed to
// RilResultCallback as the RIL hands it over (result OK, data, size) in a
// heap block of exactly its size.
//
// Checks:
//   - nothing is read past the answer or written past the applet's buffers;
//   - ResponseText holds the answer's first 2047 bytes, zero-terminated;
//   - entry i of ModemInfoLines is line i of the answer (up to its CR LF,
//     the text ending at the first zero byte), cut to 259 characters and
//     widened byte by byte; entries the answer does not reach keep what an
//     earlier answer stored;
//   - the answer event is set after every answer;
//   - a result other than OK, or no data, changes nothing.
#include "ModemAbout.h"

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_report.h"

namespace {

[[noreturn]] void Fail(const char *what) {
    kxfuzz::Fail("modemabout_ident: %s", what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("KX_DEBUG_LOG", "/dev/null", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    memset(Applet.ModemInfoLines, 0, sizeof(Applet.ModemInfoLines));
    Applet.responseEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    size_t pos = 0;
    while (pos < size) {
        // [kind][length lo][length hi] then the answer's bytes.
        uint8_t kind = data[pos++];
        size_t length = 0;
        if (pos < size)
            length = data[pos++];
        if (pos < size)
            length |= size_t(data[pos++]) << 8;
        if (kind & 0x80)
            length *= 4; // long answers now and then
        if (length > size - pos)
            length = size - pos;
        std::unique_ptr<BYTE[]> answer(new BYTE[length ? length : 1]);
        memcpy(answer.get(), data + pos, length);
        pos += length;

        WCHAR before[MODEM_INFO_LINES][MODEM_INFO_LINE_CHARS];
        memcpy(before, Applet.ModemInfoLines, sizeof(before));
        DWORD result = (kind & 7) == 7 ? RIL_RESULT_ERROR : RIL_RESULT_OK;
        const void *passed = (kind & 0x78) == 0x78 ? NULL : answer.get();
        RilResultCallback(result, 1, passed, DWORD(length), 0);

        if (result != RIL_RESULT_OK || passed == NULL) {
            if (memcmp(before, Applet.ModemInfoLines, sizeof(before)) != 0)
                Fail("an answer that is not OK changed the lines");
            continue;
        }
        if (WaitForSingleObject(Applet.responseEvent, 0) != WAIT_OBJECT_0)
            Fail("the answer event was not set");

        size_t kept = length < RESPONSE_TEXT_BYTES - 1 ? length : RESPONSE_TEXT_BYTES - 1;
        if (memcmp(Applet.ResponseText, answer.get(), kept) != 0)
            Fail("ResponseText is not the answer's beginning");
        for (size_t i = kept; i < RESPONSE_TEXT_BYTES; ++i) {
            if (Applet.ResponseText[i] != 0)
                Fail("ResponseText is not cleared behind the answer");
        }
        // The lines as the answer's text gives them.
        std::string text(Applet.ResponseText, strnlen(Applet.ResponseText, kept));
        size_t at = 0;
        for (int line = 0; line < MODEM_INFO_LINES; ++line) {
            size_t end = text.find("\r\n", at);
            if (end == std::string::npos) {
                for (int rest = line; rest < MODEM_INFO_LINES; ++rest) {
                    if (memcmp(before[rest], Applet.ModemInfoLines[rest], sizeof(before[rest])) !=
                        0)
                        Fail("an entry the answer does not reach was changed");
                }
                break;
            }
            std::string l = text.substr(at, std::min(end - at, size_t(MODEM_INFO_LINE_CHARS - 1)));
            const WCHAR *entry = Applet.ModemInfoLines[line];
            size_t n = 0;
            while (n < MODEM_INFO_LINE_CHARS && entry[n] != 0)
                ++n;
            if (n >= MODEM_INFO_LINE_CHARS)
                Fail("an entry is not terminated");
            if (n != l.size())
                Fail("an entry's length is not its line's");
            for (size_t k = 0; k < n; ++k) {
                if (entry[k] != WCHAR(static_cast<unsigned char>(l[k])))
                    Fail("an entry is not its line widened byte by byte");
            }
            at = end + 2;
        }
    }
    CloseHandle(Applet.responseEvent);
    Applet.responseEvent = NULL;
    return 0;
}

// Fuzz target: coredll's wide printf engine (StringCchPrintfW, _snwprintf,
// swprintf, wsprintfW). The input describes a series of formats, each with
// literal text and one conversion whose flags, width, precision, size and
// letter come from the input, and the argument of the right type for it: a
// format and its arguments always agree, as the compiler's format checks
// ensure for real callers; everything else is the input's choice.
//
// Checks:
//   - no function writes outside its buffer (buffers are exactly their
//     stated size) and each terminates its output as documented;
//   - the four functions agree: the same text, cut where each one's rules
//     cut it, and results (length, -1, HRESULT) that match the full length;
//   - integers and 8-bit strings come out as the C library prints them with
//     the same conversion (sizes mapped to the target's: long is 32-bit);
//   - %n writes nothing.
#include <windows.h>
#include <strsafe.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_report.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::u16string &format = u"") {
    std::string f;
    for (char16_t c : format)
        f += c < 0x80 ? char(c) : '?';
    kxfuzz::Fail("wide_printf: %s (format \"%s\")", what, f.c_str());
}

// Reads the input front to back; past its end every read gives zero.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= uint64_t(u8()) << (8 * i);
        return v;
    }
};

enum class Arg { None, Int, LongLong, IntPtr, Double, Narrow, Wide, Pointer, Count };

struct Directive {
    std::u16string format; // the whole format
    std::string cFormat;   // the C library's equivalent, "" when none
    Arg arg = Arg::None;
    int stars = 0;         // '*' arguments before the value (width, precision)
    bool floating = false; // wsprintfW prints no floating point
};

const char *const kSizes[] = {"", "h", "hh", "l", "ll", "w", "L", "z", "I", "I64", "I32", "t", "j"};
// The C library's spelling of each size for integers (target sizes).
const char *const kCSizes[] = {"",  "h", "hh", "", "ll", nullptr, nullptr,
                               "z", "z", "ll", "", "t",  "j"};
const char kLetters[] = "diuxXocCsSpn%feEgGaAFkq";

Directive MakeDirective(Reader &in) {
    Directive d;
    // Literal text before the conversion: any characters but '%' and zero.
    size_t literal = in.u8() % 12;
    for (size_t i = 0; i < literal; ++i) {
        char16_t c = char16_t(in.u16());
        if (c == 0 || c == u'%')
            c = u'.';
        d.format += c;
    }
    std::u16string conversion = u"%";
    uint8_t flags = in.u8();
    const char kFlags[] = "-+ 0#";
    for (int i = 0; i < 5; ++i) {
        if (flags & (1 << i))
            conversion += char16_t(kFlags[i]);
    }
    uint8_t shape = in.u8();
    if ((shape & 3) == 1) {
        int width = in.u16() % 300;
        for (char c : std::to_string(width))
            conversion += char16_t(c);
    } else if ((shape & 3) == 2) {
        conversion += u'*';
        ++d.stars;
    }
    if ((shape & 12) == 4) {
        conversion += u'.';
        int precision = in.u16() % 300;
        if (shape & 16)
            for (char c : std::to_string(precision))
                conversion += char16_t(c);
    } else if ((shape & 12) == 8) {
        conversion += u".*";
        ++d.stars;
    }
    size_t sizeIndex = in.u8() % (sizeof(kSizes) / sizeof(kSizes[0]));
    for (const char *s = kSizes[sizeIndex]; *s; ++s)
        conversion += char16_t(*s);
    char letter = kLetters[in.u8() % (sizeof(kLetters) - 1)];
    conversion += char16_t(letter);
    d.format += conversion;

    std::string sizeName = kSizes[sizeIndex];
    bool narrowText = sizeName == "h" || sizeName == "hh";
    bool wideText = sizeName == "l" || sizeName == "ll" || sizeName == "w";
    switch (letter) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (sizeName == "ll" || sizeName == "I64")
            d.arg = Arg::LongLong;
        else if (sizeName == "z" || sizeName == "I" || sizeName == "t" || sizeName == "j")
            d.arg = Arg::IntPtr;
        else
            d.arg = Arg::Int;
        if (kCSizes[sizeIndex]) {
            d.cFormat = "%";
            for (size_t i = 1; i < conversion.size() - sizeName.size() - 1; ++i)
                d.cFormat += char(conversion[i]);
            d.cFormat += kCSizes[sizeIndex];
            d.cFormat += letter;
        }
        break;
    case 'c':
    case 'C':
        d.arg = Arg::Int;
        break;
    case 's':
    case 'S': {
        bool narrow = letter == 's' ? (narrowText && !wideText) : !wideText;
        d.arg = narrow ? Arg::Narrow : Arg::Wide;
        // The C library pads strings with spaces only; Microsoft's honours 0.
        if (narrow && !(flags & 8)) {
            d.cFormat = "%";
            for (size_t i = 1; i < conversion.size() - sizeName.size() - 1; ++i)
                d.cFormat += char(conversion[i]);
            d.cFormat += 's';
        }
        break;
    }
    case 'p':
        d.arg = Arg::Pointer;
        break;
    case 'n':
        d.arg = Arg::Count;
        break;
    case 'f':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
    case 'F':
        d.arg = Arg::Double;
        d.floating = true;
        break;
    default: // '%' and unknown letters take no argument
        break;
    }
    // Text after the conversion.
    if (in.u8() & 1)
        d.format += u"|end";
    return d;
}

struct Output {
    std::u16string text;
    int result = 0;
};

// The functions under test, each with a buffer of exactly `capacity`.
struct Calls {
    size_t capacity;
    std::u16string full; // StringCchPrintfW with ample room
    HRESULT fullResult = 0;
    int measured = 0;   // _snwprintf(NULL, 0)
    std::u16string cch; // StringCchPrintfW(capacity)
    HRESULT cchResult = 0;
    std::vector<WCHAR> snw; // _snwprintf(capacity), raw buffer
    int snwResult = 0;
    std::u16string sw; // swprintf(capacity)
    int swResult = 0;
    std::u16string ws; // wsprintfW (1024)
    int wsResult = 0;
};

template <typename... A>
void Run(const Directive &d, Calls &c, A... args) {
    const WCHAR *format = reinterpret_cast<const WCHAR *>(d.format.c_str());
    const size_t kAmple = 1 << 16;
    std::vector<WCHAR> big(kAmple, 0x5A5A);
    c.fullResult = StringCchPrintfW(big.data(), kAmple, format, args...);
    c.full.assign(reinterpret_cast<const char16_t *>(big.data()));
    c.measured = _snwprintf(NULL, 0, format, args...);

    std::unique_ptr<WCHAR[]> buffer(new WCHAR[c.capacity ? c.capacity : 1]);
    if (c.capacity) {
        memset(buffer.get(), 0x5A, c.capacity * sizeof(WCHAR));
        c.cchResult = StringCchPrintfW(buffer.get(), c.capacity, format, args...);
        c.cch.assign(
            reinterpret_cast<const char16_t *>(buffer.get()),
            std::char_traits<char16_t>::length(reinterpret_cast<const char16_t *>(buffer.get())));
    }
    std::unique_ptr<WCHAR[]> snw(new WCHAR[c.capacity ? c.capacity : 1]);
    memset(snw.get(), 0x5A, (c.capacity ? c.capacity : 1) * sizeof(WCHAR));
    c.snwResult = _snwprintf(snw.get(), c.capacity, format, args...);
    c.snw.assign(snw.get(), snw.get() + c.capacity);
    if (c.capacity) {
        std::unique_ptr<WCHAR[]> sw(new WCHAR[c.capacity]);
        c.swResult = swprintf(sw.get(), c.capacity, format, args...);
        c.sw.assign(reinterpret_cast<const char16_t *>(sw.get()));
    }
    std::unique_ptr<WCHAR[]> ws(new WCHAR[1024]);
    c.wsResult = wsprintfW(ws.get(), format, args...);
    c.ws.assign(reinterpret_cast<const char16_t *>(ws.get()));
}

void Check(const Directive &d, const Calls &c, const std::string &cExpected, bool haveC) {
    const std::u16string &f = d.format;
    if (c.fullResult != S_OK)
        Fail("a short format did not fit 65536 characters", f);
    // The full text may hold zero characters (%c of 0): its length is what
    // _snwprintf measures.
    size_t length = size_t(c.measured);
    if (c.measured < 0 || length < c.full.size())
        Fail("_snwprintf(NULL, 0) measured less than was written", f);
    if (c.capacity) {
        bool fits = length < c.capacity;
        if ((c.cchResult == S_OK) != fits)
            Fail("StringCchPrintfW's result disagrees with the length", f);
        if (c.cchResult != S_OK && c.cchResult != STRSAFE_E_INSUFFICIENT_BUFFER)
            Fail("StringCchPrintfW failed for another reason", f);
        if (c.cch.size() > c.capacity - 1 || c.full.compare(0, c.cch.size(), c.cch) != 0)
            Fail("StringCchPrintfW wrote other text than the full text's beginning", f);
        if ((c.swResult >= 0) != fits || (fits && size_t(c.swResult) != length))
            Fail("swprintf's result disagrees with the length", f);
        if (c.sw.size() > c.capacity - 1 || c.full.compare(0, c.sw.size(), c.sw) != 0)
            Fail("swprintf wrote other text than the full text's beginning", f);
    }
    if (length < c.capacity) {
        if (c.snwResult != int(length) || c.snw[length] != 0)
            Fail("_snwprintf: text that fits must be counted and terminated", f);
    } else if (length == c.capacity) {
        if (c.snwResult != int(length))
            Fail("_snwprintf: text that fits exactly must be counted", f);
    } else if (c.snwResult != -1) {
        Fail("_snwprintf: text that does not fit must give -1", f);
    }
    if (!d.floating) {
        size_t expected = length < 1023 ? length : 1023;
        if (c.wsResult != int(expected) ||
            c.ws != c.full.substr(0, std::min(c.full.size(), expected)))
            Fail("wsprintfW disagrees with the full text", f);
    }
    if (haveC) {
        // The C library's text of the conversion must end the full text
        // (before any trailing literal).
        std::u16string tail =
            d.format.size() >= 4 && d.format.compare(d.format.size() - 4, 4, u"|end") == 0 ? u"|end"
                                                                                           : u"";
        std::u16string wide;
        for (unsigned char ch : cExpected)
            wide += char16_t(ch);
        wide += tail;
        if (c.full.size() < wide.size() ||
            c.full.compare(c.full.size() - wide.size(), wide.size(), wide) != 0)
            Fail("the conversion differs from the C library's", f);
    }
}

template <typename T>
std::string CText(const std::string &cFormat, int stars, int w, int p, T v) {
    char out[4096];
    if (stars == 0)
        snprintf(out, sizeof(out), cFormat.c_str(), v);
    else if (stars == 1)
        snprintf(out, sizeof(out), cFormat.c_str(), w, v);
    else
        snprintf(out, sizeof(out), cFormat.c_str(), w, p, v);
    return out;
}

template <typename T>
void RunWith(const Directive &d, Calls &c, int w, int p, T v) {
    if (d.stars == 0)
        Run(d, c, v);
    else if (d.stars == 1)
        Run(d, c, w, v);
    else
        Run(d, c, w, p, v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    for (int round = 0; round < 8 && in.more(); ++round) {
        Directive d = MakeDirective(in);
        Calls c;
        c.capacity = in.u8() % 80;
        int w = int(int16_t(in.u16())) % 300;
        int p = int(int16_t(in.u16())) % 300;
        uint64_t value = in.u64();
        std::string narrow;
        std::u16string wide;
        size_t textLength = in.u8() % 40;
        for (size_t i = 0; i < textLength; ++i) {
            uint16_t ch = in.u16();
            narrow += char((ch & 0xFF) ? (ch & 0xFF) : 'z');
            wide += char16_t(ch ? ch : u'z');
        }
        bool nullText = (value & 0xFF) == 0x7F;
        std::string cText;
        bool haveC = !d.cFormat.empty();
        switch (d.arg) {
        case Arg::None:
            RunWith(d, c, w, p, 0);
            break;
        case Arg::Int:
            RunWith(d, c, w, p, int(value));
            if (haveC)
                cText = CText(d.cFormat, d.stars, w, p, int(value));
            break;
        case Arg::LongLong:
            RunWith(d, c, w, p, (long long)value);
            if (haveC)
                cText = CText(d.cFormat, d.stars, w, p, (long long)value);
            break;
        case Arg::IntPtr:
            RunWith(d, c, w, p, intptr_t(value));
            if (haveC)
                cText = CText(d.cFormat, d.stars, w, p, intptr_t(value));
            break;
        case Arg::Double: {
            double v;
            memcpy(&v, &value, sizeof(v));
            RunWith(d, c, w, p, v);
            break;
        }
        case Arg::Narrow: {
            const char *text = nullText ? nullptr : narrow.c_str();
            RunWith(d, c, w, p, text);
            if (haveC && text)
                cText = CText(d.cFormat, d.stars, w, p, text);
            haveC = haveC && text;
            break;
        }
        case Arg::Wide:
            RunWith(d, c, w, p,
                    nullText ? (const WCHAR *)nullptr
                             : reinterpret_cast<const WCHAR *>(wide.c_str()));
            break;
        case Arg::Pointer:
            RunWith(d, c, w, p, reinterpret_cast<void *>(uintptr_t(value)));
            break;
        case Arg::Count: {
            int untouched = 12345;
            RunWith(d, c, w, p, &untouched);
            if (untouched != 12345)
                Fail("%n wrote through its argument", d.format);
            break;
        }
        }
        Check(d, c, cText, haveC);
    }
    return 0;
}

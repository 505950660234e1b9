// The wide printf engine of coredll (wsprintfW, _snwprintf, swprintf,
// StringCchPrintfW, NKDbgPrintfW) with Microsoft's rules for wide formats:
// %s, %c, %ls, %lc, %ws, %wc take wide text; %hs, %hc, %S, %C take 8-bit
// text, which is widened byte by byte (Latin-1), as the target's C runtime
// does in its "C" locale. Sizes follow the target: int and long are 32-bit,
// %I64 and %ll 64-bit, %I, %z, %t, %j and %p pointer-sized.
//
// Everything here works on the caller's stack: no shared state.

#include "wide_format.h"

#include <strsafe.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace kx {
namespace {

// Collects output: characters beyond the capacity are counted, not written.
struct Sink {
    WCHAR *dest;
    size_t capacity;
    size_t length;

    void Put(WCHAR c) {
        if (length < capacity) {
            dest[length] = c;
        }
        ++length;
    }
    void Repeat(WCHAR c, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            Put(c);
        }
    }
};

enum class Size { Default, Char, Short, Long, LongLong, Pointer };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    int width = 0;
    int precision = -1; // -1: none given
    Size size = Size::Default;
    bool narrowText = false; // h: 8-bit text for %s / %c
    bool wideText = false;   // l or w: wide text for %s / %c
};

const WCHAR kNull[] = u"(null)";

// Emits a field: sign/prefix, zero padding, digits, honouring width and
// the left-justify flag.
void EmitNumber(Sink &sink, const Spec &spec, const char *prefix, const char *digits,
                size_t digitCount) {
    size_t prefixLength = strlen(prefix);
    size_t zeros = 0;
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) > digitCount) {
        zeros = static_cast<size_t>(spec.precision) - digitCount;
    }
    size_t body = prefixLength + zeros + digitCount;
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    size_t pad = width > body ? width - body : 0;
    bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
    if (!spec.left && !zeroPad) {
        sink.Repeat(u' ', pad);
    }
    for (size_t i = 0; i < prefixLength; ++i) {
        sink.Put(static_cast<WCHAR>(static_cast<unsigned char>(prefix[i])));
    }
    if (zeroPad) {
        sink.Repeat(u'0', pad);
    }
    sink.Repeat(u'0', zeros);
    for (size_t i = 0; i < digitCount; ++i) {
        sink.Put(static_cast<WCHAR>(static_cast<unsigned char>(digits[i])));
    }
    if (spec.left) {
        sink.Repeat(u' ', pad);
    }
}

// The next argument of a signed conversion, read at the given size.
int64_t SignedArgument(Size size, va_list *args) {
    switch (size) {
    case Size::Char:
        return static_cast<signed char>(va_arg(*args, int));
    case Size::Short:
        return static_cast<short>(va_arg(*args, int));
    case Size::LongLong:
        return va_arg(*args, long long);
    case Size::Pointer:
        return va_arg(*args, intptr_t);
    default: // int and the target's 32-bit long
        return va_arg(*args, int);
    }
}

// The next argument of an unsigned conversion, read at the given size.
uint64_t UnsignedArgument(Size size, va_list *args) {
    switch (size) {
    case Size::Char:
        return static_cast<unsigned char>(va_arg(*args, unsigned int));
    case Size::Short:
        return static_cast<unsigned short>(va_arg(*args, unsigned int));
    case Size::LongLong:
        return va_arg(*args, unsigned long long);
    case Size::Pointer:
        return va_arg(*args, uintptr_t);
    default:
        return va_arg(*args, unsigned int);
    }
}

// The digits of the magnitude in the conversion's base (most significant
// first, no terminator) into digits[32]; returns how many.
size_t IntegerDigits(const Spec &spec, WCHAR type, uint64_t magnitude, char *digits) {
    unsigned base = 10;
    const char *alphabet = "0123456789abcdef";
    if (type == u'x') {
        base = 16;
    } else if (type == u'X') {
        base = 16;
        alphabet = "0123456789ABCDEF";
    } else if (type == u'o') {
        base = 8;
    }

    size_t count = 0;
    char reversed[32];
    uint64_t rest = magnitude;
    while (rest != 0) {
        reversed[count++] = alphabet[rest % base];
        rest /= base;
    }
    // "%.0d" of zero prints no digits; otherwise zero is "0". The '#' flag
    // of %o asks for a leading zero, so "%#.0o" of zero is "0" as well.
    if (count == 0 && (spec.precision != 0 || (spec.alternate && type == u'o'))) {
        reversed[count++] = '0';
    }
    for (size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    return count;
}

// The sign or base prefix before `count` digits of the magnitude.
const char *IntegerPrefix(const Spec &spec, WCHAR type, bool isSigned, bool negative,
                          uint64_t magnitude, size_t count) {
    if (negative) {
        return "-";
    } else if (isSigned && spec.plus) {
        return "+";
    } else if (isSigned && spec.space) {
        return " ";
    } else if (spec.alternate && magnitude != 0) {
        if (type == u'x') {
            return "0x";
        } else if (type == u'X') {
            return "0X";
        } else if (type == u'o' &&
                   (spec.precision < 0 || static_cast<size_t>(spec.precision) <= count)) {
            return "0";
        }
    }
    return "";
}

void FormatInteger(Sink &sink, const Spec &spec, WCHAR type, va_list *args) {
    bool isSigned = type == u'd' || type == u'i';
    uint64_t magnitude = 0;
    bool negative = false;
    if (isSigned) {
        int64_t value = SignedArgument(spec.size, args);
        negative = value < 0;
        magnitude = negative ? (~static_cast<uint64_t>(value) + 1) : static_cast<uint64_t>(value);
    } else {
        magnitude = UnsignedArgument(spec.size, args);
    }
    char digits[32];
    size_t count = IntegerDigits(spec, type, magnitude, digits);
    const char *prefix = IntegerPrefix(spec, type, isSigned, negative, magnitude, count);
    EmitNumber(sink, spec, prefix, digits, count);
}

// %p: the pointer as upper-case hexadecimal, zero-filled to its full width.
void FormatPointer(Sink &sink, Spec spec, va_list *args) {
    uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(*args, void *));
    char digits[2 * sizeof(uintptr_t)];
    for (size_t i = 0; i < sizeof(digits); ++i) {
        digits[sizeof(digits) - 1 - i] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
    }
    spec.precision = -1;
    spec.zero = false;
    EmitNumber(sink, spec, "", digits, sizeof(digits));
}

void PadText(Sink &sink, const Spec &spec, size_t length, bool before) {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (width > length && spec.left != before) {
        sink.Repeat(spec.zero && !spec.left ? u'0' : u' ', width - length);
    }
}

void FormatString(Sink &sink, const Spec &spec, bool narrow, va_list *args) {
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (narrow) {
        const char *text = va_arg(*args, const char *);
        if (text == nullptr) {
            text = "(null)";
        }
        size_t length = 0;
        while (length < limit && text[length] != '\0') {
            ++length;
        }
        PadText(sink, spec, length, true);
        for (size_t i = 0; i < length; ++i) {
            sink.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
        }
        PadText(sink, spec, length, false);
    } else {
        const WCHAR *text = va_arg(*args, const WCHAR *);
        if (text == nullptr) {
            text = kNull;
        }
        size_t length = 0;
        while (length < limit && text[length] != 0) {
            ++length;
        }
        PadText(sink, spec, length, true);
        for (size_t i = 0; i < length; ++i) {
            sink.Put(text[i]);
        }
        PadText(sink, spec, length, false);
    }
}

void FormatChar(Sink &sink, const Spec &spec, bool narrow, va_list *args) {
    int value = va_arg(*args, int);
    WCHAR c = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(value))
                     : static_cast<WCHAR>(static_cast<unsigned int>(value) & 0xFFFFu);
    PadText(sink, spec, 1, true);
    sink.Put(c);
    PadText(sink, spec, 1, false);
}

// Floating point through the C library: the conversion is rebuilt as an
// 8-bit format and its result widened.
void FormatFloat(Sink &sink, const Spec &spec, WCHAR type, va_list *args) {
    double value = va_arg(*args, double);
    char format[16];
    size_t n = 0;
    format[n++] = '%';
    if (spec.left) {
        format[n++] = '-';
    }
    if (spec.plus) {
        format[n++] = '+';
    }
    if (spec.space) {
        format[n++] = ' ';
    }
    if (spec.zero) {
        format[n++] = '0';
    }
    if (spec.alternate) {
        format[n++] = '#';
    }
    format[n++] = '*';
    format[n++] = '.';
    format[n++] = '*';
    format[n++] = static_cast<char>(type);
    format[n] = '\0';
    // Without a precision, %a prints the exact value; the others use 6.
    int precision = spec.precision >= 0 ? spec.precision : (type == u'a' || type == u'A' ? -1 : 6);
    char small[128];
    int length = snprintf(small, sizeof(small), format, spec.width, precision, value);
    if (length < 0) {
        return;
    }
    const char *text = small;
    std::string large;
    if (static_cast<size_t>(length) >= sizeof(small)) {
        large.assign(static_cast<size_t>(length) + 1, '\0');
        snprintf(&large[0], large.size(), format, spec.width, precision, value);
        text = large.c_str();
    }
    for (int i = 0; i < length; ++i) {
        sink.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
    }
}

// Reads a decimal count from the format, saturating so that a silly width
// cannot overflow.
int ReadCount(const WCHAR *&p) {
    long value = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (value < 100000000L) {
            value = value * 10 + (*p - u'0');
        }
        ++p;
    }
    return static_cast<int>(value);
}

} // namespace

size_t FormatWide(WCHAR *dest, size_t capacity, const WCHAR *format, va_list args,
                  bool allowFloat) {
    Sink sink{dest, dest != nullptr ? capacity : 0, 0};
    if (format == nullptr) {
        return 0;
    }
    va_list ap;
    va_copy(ap, args);
    const WCHAR *p = format;
    while (*p != 0) {
        if (*p != u'%') {
            sink.Put(*p++);
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') {
                spec.left = true;
            } else if (*p == u'+') {
                spec.plus = true;
            } else if (*p == u' ') {
                spec.space = true;
            } else if (*p == u'0') {
                spec.zero = true;
            } else if (*p == u'#') {
                spec.alternate = true;
            } else {
                break;
            }
        }
        if (*p == u'*') {
            ++p;
            spec.width = va_arg(ap, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = spec.width == INT32_MIN ? 0 : -spec.width;
            }
        } else {
            spec.width = ReadCount(p);
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                ++p;
                spec.precision = va_arg(ap, int);
                if (spec.precision < 0) {
                    spec.precision = -1;
                }
            } else {
                spec.precision = ReadCount(p);
            }
        }
        // Size prefixes.
        if (*p == u'h') {
            ++p;
            spec.narrowText = true;
            spec.size = Size::Short;
            if (*p == u'h') {
                ++p;
                spec.size = Size::Char;
            }
        } else if (*p == u'l') {
            ++p;
            spec.wideText = true;
            spec.size = Size::Long;
            if (*p == u'l') {
                ++p;
                spec.size = Size::LongLong;
            }
        } else if (*p == u'w') {
            ++p;
            spec.wideText = true;
        } else if (*p == u'L') {
            ++p;
        } else if (*p == u'z' || *p == u't' || *p == u'j') {
            ++p;
            spec.size = Size::Pointer;
        } else if (*p == u'I') {
            if (p[1] == u'6' && p[2] == u'4') {
                p += 3;
                spec.size = Size::LongLong;
            } else if (p[1] == u'3' && p[2] == u'2') {
                p += 3;
                spec.size = Size::Long;
            } else {
                ++p;
                spec.size = Size::Pointer;
            }
        }

        WCHAR type = *p;
        if (type == 0) {
            break; // a lone '%' at the end prints nothing
        }
        ++p;
        switch (type) {
        case u'%':
            sink.Put(u'%');
            break;
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
        case u'o':
            FormatInteger(sink, spec, type, &ap);
            break;
        case u'p':
            FormatPointer(sink, spec, &ap);
            break;
        case u's':
            FormatString(sink, spec, spec.narrowText && !spec.wideText, &ap);
            break;
        case u'S':
            FormatString(sink, spec, !spec.wideText, &ap);
            break;
        case u'c':
            FormatChar(sink, spec, spec.narrowText && !spec.wideText, &ap);
            break;
        case u'C':
            FormatChar(sink, spec, !spec.wideText, &ap);
            break;
        case u'n':
            // Writing through %n is disabled, as in Microsoft's runtime; the
            // argument is consumed so that later ones stay in place.
            (void)va_arg(ap, void *);
            break;
        case u'f':
        case u'F':
        case u'e':
        case u'E':
        case u'g':
        case u'G':
        case u'a':
        case u'A':
            if (allowFloat) {
                FormatFloat(sink, spec, type, &ap);
            } else {
                sink.Put(type);
            }
            break;
        default:
            sink.Put(type); // unknown conversions print their letter
            break;
        }
    }
    va_end(ap);
    return sink.length;
}

} // namespace kx

extern "C" {

int wvsprintfW(LPWSTR dest, LPCWSTR format, va_list args) {
    // The target's wsprintfW writes at most 1024 characters including the
    // terminator; longer output is cut.
    const size_t kLimit = 1024;
    if (dest == nullptr) {
        return 0;
    }
    size_t length = kx::FormatWide(dest, kLimit - 1, format, args, false);
    if (length > kLimit - 1) {
        length = kLimit - 1;
    }
    dest[length] = 0;
    return static_cast<int>(length);
}

int wsprintfW(LPWSTR dest, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    int result = wvsprintfW(dest, format, args);
    va_end(args);
    return result;
}

int _vsnwprintf(WCHAR *dest, size_t count, const WCHAR *format, va_list args) {
    if (dest == nullptr) {
        // A null buffer of size 0 asks for the length.
        return count == 0 ? static_cast<int>(kx::FormatWide(nullptr, 0, format, args, true)) : -1;
    }
    size_t length = kx::FormatWide(dest, count, format, args, true);
    if (length < count) {
        dest[length] = 0;
        return static_cast<int>(length);
    }
    if (length == count) {
        return static_cast<int>(length); // fits exactly: no room for a terminator
    }
    return -1;
}

int _snwprintf(WCHAR *dest, size_t count, const WCHAR *format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf(dest, count, format, args);
    va_end(args);
    return result;
}

HRESULT StringCchVPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list args) {
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t length = kx::FormatWide(dest, cchDest - 1, format, args, true);
    if (length > cchDest - 1) {
        dest[cchDest - 1] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    dest[length] = 0;
    return S_OK;
}

HRESULT StringCchPrintfW(LPWSTR dest, size_t cchDest, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT result = StringCchVPrintfW(dest, cchDest, format, args);
    va_end(args);
    return result;
}

HRESULT StringCchPrintfA(LPSTR dest, size_t cchDest, LPCSTR format, ...) {
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, format);
    int length = vsnprintf(dest, cchDest, format, args);
    va_end(args);
    if (length < 0) {
        dest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (static_cast<size_t>(length) >= cchDest) {
        dest[cchDest - 1] = '\0';
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    return S_OK;
}

} // extern "C"

int swprintf(WCHAR *dest, size_t count, const WCHAR *format, ...) {
    // The C rule: at most count characters including the terminator, always
    // terminated; a negative result when the text did not fit.
    if (dest == nullptr || count == 0) {
        return -1;
    }
    va_list args;
    va_start(args, format);
    size_t length = kx::FormatWide(dest, count - 1, format, args, true);
    va_end(args);
    if (length > count - 1) {
        dest[count - 1] = 0;
        return -1;
    }
    dest[length] = 0;
    return static_cast<int>(length);
}

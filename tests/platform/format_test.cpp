// The wide printf family: Microsoft's %s / %hs rules, widths and padding,
// and the truncation rules of wsprintfW, _snwprintf, swprintf and
// StringCchPrintfW.

#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include "kx_test_text.h"

#include <string>

namespace {

kxtest::WString Format(const WCHAR *format, ...) {
    WCHAR buffer[256];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(buffer, 256, format, args);
    va_end(args);
    EXPECT_EQ(hr, S_OK);
    return buffer;
}

TEST(Format, WideAndNarrowTextFollowMicrosoftRules) {
    WCHAR buffer[64];
    EXPECT_EQ(wsprintfW(buffer, TEXT("%s%d:"), TEXT("KXN"), 1), 5);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("KXN1:"));

    EXPECT_EQ(Format(TEXT("[%hs|%S|%ls|%ws]"), "ab", "cd", TEXT("ef"), TEXT("gh")),
              TEXT("[ab|cd|ef|gh]"));
    EXPECT_EQ(Format(TEXT("%c%hc%C%lc"), TEXT('\x20AC'), 'b', 'c', TEXT('d')),
              TEXT("\x20AC") TEXT("bcd"));
    // 8-bit text is widened byte by byte: Latin-1 stays itself.
    EXPECT_EQ(Format(TEXT("%hs"), "caf\xE9"), TEXT("caf\u00E9"));
    EXPECT_EQ(Format(TEXT("%s|%hs"), static_cast<const WCHAR *>(nullptr),
                     static_cast<const char *>(nullptr)),
              TEXT("(null)|(null)"));
    EXPECT_EQ(Format(TEXT("%.2s|%.1hs"), TEXT("abc"), "xyz"), TEXT("ab|x"));
}

TEST(Format, IntegersWidthsAndFlags) {
    EXPECT_EQ(Format(TEXT("%04x|%04X|%x"), 0xab, 0xab, 0xDEADBEEFu), TEXT("00ab|00AB|deadbeef"));
    EXPECT_EQ(Format(TEXT("[%-5d][%5d][%05d][%+d][% d]"), 42, 42, -42, 7, 7),
              TEXT("[42   ][   42][-0042][+7][ 7]"));
    EXPECT_EQ(Format(TEXT("[%5s][%-5s]"), TEXT("ab"), TEXT("cd")), TEXT("[   ab][cd   ]"));
    EXPECT_EQ(Format(TEXT("[%*d][%-*d][%.*d]"), 4, 1, 3, 2, 3, 5), TEXT("[   1][2  ][005]"));
    EXPECT_EQ(Format(TEXT("[%*d]"), -4, 9), TEXT("[9   ]"));
    EXPECT_EQ(Format(TEXT("%#x %#o %#x %o"), 255, 8, 0, 8), TEXT("0xff 010 0 10"));
    EXPECT_EQ(Format(TEXT("%u %i %%"), 4294967295u, -2147483647 - 1),
              TEXT("4294967295 -2147483648 %"));
    // The target's long is 32-bit; 64-bit values need %I64 or %ll.
    EXPECT_EQ(Format(TEXT("%ld %lu %lx"), static_cast<LONG>(-5), static_cast<DWORD>(5),
                     static_cast<DWORD>(0xFFFFFFFF)),
              TEXT("-5 5 ffffffff"));
    EXPECT_EQ(Format(TEXT("%I64d %lld %I64x %llu"), -1234567890123LL, 9000000000LL,
                     0x123456789ABCDEFULL, 18446744073709551615ULL),
              TEXT("-1234567890123 9000000000 123456789abcdef 18446744073709551615"));
    EXPECT_EQ(Format(TEXT("%hd %hu %.0d|"), 70000, 70000, 0), TEXT("4464 4464 |"));
    EXPECT_EQ(Format(TEXT("%p"), reinterpret_cast<void *>(0x1234)),
              kxtest::WString(2 * sizeof(void *) - 4, TEXT('0')) + TEXT("1234"));
}

TEST(Format, FloatingPointOnlyWhereTheCLibraryServes) {
    EXPECT_EQ(Format(TEXT("%.2f|%5.1f"), 3.14159, 2.0), TEXT("3.14|  2.0"));
    WCHAR buffer[64];
    double value = 1.5;
    // wsprintfW has no floating point: the conversion prints its letter.
    wsprintfW(buffer, TEXT("%f"), value);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("f"));
}

TEST(Format, WsprintfStopsAt1024Characters) {
    kxtest::WString longText(3000, TEXT('x'));
    WCHAR buffer[2048];
    for (auto &c : buffer) {
        c = TEXT('#');
    }
    int length = wsprintfW(buffer, TEXT("%s"), longText.c_str());
    // The characters stored, as documented; Wine reports one more.
    EXPECT_EQ(length, KX_TEST_HOOKS ? 1023 : 1024);
    EXPECT_EQ(buffer[1023], 0);
    EXPECT_EQ(buffer[1024], TEXT('#'));
    EXPECT_EQ(kxtest::WString(buffer), longText.substr(0, 1023));
}

TEST(Format, SnwprintfFollowsMicrosoftTruncation) {
    WCHAR buffer[8];
    for (auto &c : buffer) {
        c = TEXT('#');
    }
    // Fits with room for the terminator.
    EXPECT_EQ(_snwprintf(buffer, 8, TEXT("%d"), 1234), 4);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("1234"));
    // Fits exactly: count returned, no terminator written.
    for (auto &c : buffer) {
        c = TEXT('#');
    }
    EXPECT_EQ(_snwprintf(buffer, 4, TEXT("%d"), 1234), 4);
    EXPECT_EQ(kxtest::WString(buffer, 5), TEXT("1234#"));
    // Too long: -1, count characters written, not terminated.
    EXPECT_EQ(_snwprintf(buffer, 3, TEXT("%s"), TEXT("abcdef")), -1);
    EXPECT_EQ(kxtest::WString(buffer, 4), TEXT("abc4"));
    // A null buffer of size 0 asks for the length.
    EXPECT_EQ(_snwprintf(nullptr, 0, TEXT("%s-%d"), TEXT("ab"), 12), 5);

    // The ISO swprintf: %ls is wide in every C runtime (with mingw's, %s
    // would be a narrow string). Too long: a negative result, as the C
    // standard and Microsoft say; mingw's own swprintf (linked into the
    // program, not Wine's) returns the length it wanted instead.
    WCHAR out[4];
    const int cut = swprintf(out, 4, TEXT("%ls"), TEXT("abcdef"));
    EXPECT_EQ(cut, KX_TEST_HOOKS ? -1 : 6);
    EXPECT_EQ(kxtest::WString(out), TEXT("abc"));
    EXPECT_EQ(swprintf(out, 4, TEXT("%ls"), TEXT("ab")), 2);
}

TEST(Format, StringCchPrintfAlwaysTerminates) {
    WCHAR buffer[6];
    EXPECT_EQ(StringCchPrintfW(buffer, 6, TEXT("%s"), TEXT("hello")), S_OK);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("hello"));
    EXPECT_EQ(StringCchPrintfW(buffer, 6, TEXT("%s!"), TEXT("hello")),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("hello"));
    EXPECT_EQ(StringCchPrintfW(buffer, 1, TEXT("x")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = TEXT('#');
    EXPECT_EQ(StringCchPrintfW(buffer, 0, TEXT("x")), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfW(buffer, static_cast<size_t>(STRSAFE_MAX_CCH) + 1, TEXT("x")),
              STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], TEXT('#'));

    char narrow[4];
    EXPECT_EQ(StringCchPrintfA(narrow, 4, "%d", 12), S_OK);
    EXPECT_STREQ(narrow, "12");
    EXPECT_EQ(StringCchPrintfA(narrow, 4, "%d", 12345), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(narrow, "123");
}

} // namespace

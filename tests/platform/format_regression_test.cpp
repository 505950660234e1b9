// Faults of the wide printf engine found by fuzzing it against the C
// library (fuzz/wide_printf_fuzz.cpp), each with the input that showed it.

#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Print(const WCHAR *format, ...) {
    WCHAR buffer[512];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(buffer, 512, format, args);
    va_end(args);
    EXPECT_EQ(hr, S_OK);
    return buffer;
}

// "%#.0o" of zero: the precision asks for no digits, but '#' asks %o for a
// leading zero, so one zero is printed (the engine printed nothing).
TEST(FormatRegression, AlternateOctalOfZeroWithPrecisionZeroIsOneZero) {
    EXPECT_EQ(Print(TEXT("[%#.0o]"), 0), u"[0]");
    EXPECT_EQ(Print(TEXT("[%-#5.o]"), 0), u"[0    ]");
    EXPECT_EQ(Print(TEXT("[%#.0o][%.0o][%#.0x]"), 0, 0, 0), u"[0][][]");
    EXPECT_EQ(Print(TEXT("[%#.0o]"), 8), u"[010]");
}

} // namespace

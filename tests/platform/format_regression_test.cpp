// Faults of the wide printf engine found by fuzzing it against the C
// library (fuzz/wide_printf_fuzz.cpp), each with the input that showed it.

#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include "kx_test_text.h"

#include <string>

namespace {

kxtest::WString Print(const WCHAR *format, ...) {
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
// The C standard says so; Microsoft's table says only that '#' prefixes a
// nonzero value, and the desktop C runtime prints nothing: only this
// platform's engine is held to the C rule.
TEST(FormatRegression, AlternateOctalOfZeroWithPrecisionZeroIsOneZero) {
#if KX_TEST_HOOKS
    EXPECT_EQ(Print(TEXT("[%#.0o]"), 0), TEXT("[0]"));
    EXPECT_EQ(Print(TEXT("[%-#5.o]"), 0), TEXT("[0    ]"));
    EXPECT_EQ(Print(TEXT("[%#.0o][%.0o][%#.0x]"), 0, 0, 0), TEXT("[0][][]"));
#endif
    EXPECT_EQ(Print(TEXT("[%.0o][%#.0x][%#o]"), 0, 0, 0), TEXT("[][][0]"));
    EXPECT_EQ(Print(TEXT("[%#.0o]"), 8), TEXT("[010]"));
}

} // namespace

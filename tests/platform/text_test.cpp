// Wide-string helpers, case-insensitive compares and code-page conversion.

#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include "kx_test_text.h"

#include <errno.h>
#include <string>

namespace {

TEST(Text, CaseInsensitiveComparesCoverLatin1) {
    EXPECT_EQ(_wcsicmp(TEXT("KXN1:"), TEXT("kxn1:")), 0);
#if KX_TEST_HOOKS
    // This platform's _wcsicmp folds Latin-1 too; Microsoft documents the
    // fold as the current locale's, and the C locale's covers only A to Z.
    EXPECT_EQ(_wcsicmp(TEXT("\u00C9t\u00C9"), TEXT("\u00E9t\u00E9")), 0);
#endif
    EXPECT_EQ(lstrcmpiW(TEXT("\u00C0\u00DE\u00D6"), TEXT("\u00E0\u00FE\u00F6")), 0);
    // The multiplication and division signs are not a case pair.
    EXPECT_NE(_wcsicmp(TEXT("\u00D7"), TEXT("\u00F7")), 0);
    EXPECT_EQ(towlower16(TEXT('\u00D7')), TEXT('\u00D7'));
    EXPECT_EQ(towupper16(TEXT('\u00FF')), TEXT('\u0178'));
    EXPECT_EQ(towlower16(TEXT('Z')), TEXT('z'));
    EXPECT_EQ(towupper16(TEXT('\u00E7')), TEXT('\u00C7'));
    EXPECT_EQ(towlower16(TEXT('\u0416')), TEXT('\u0436'));

    EXPECT_EQ(_wcsnicmp(TEXT("COMmand"), TEXT("comX"), 3), 0);
    EXPECT_LT(_wcsnicmp(TEXT("abc"), TEXT("ABD"), 3), 0);
    EXPECT_LT(lstrcmpiW(TEXT("apple"), TEXT("Banana")), 0);
    EXPECT_GT(lstrcmpiW(TEXT("b"), TEXT("A")), 0);
    EXPECT_LT(lstrcmpiW(TEXT("ab"), TEXT("ABC")), 0);

    // lstrcmpW: case matters only between strings equal but for case.
    EXPECT_EQ(lstrcmpW(TEXT("same"), TEXT("same")), 0);
    EXPECT_LT(lstrcmpW(TEXT("apple"), TEXT("Banana")), 0);
    EXPECT_NE(lstrcmpW(TEXT("a"), TEXT("A")), 0);
    EXPECT_EQ(lstrcmpW(TEXT("a"), TEXT("A")), -lstrcmpW(TEXT("A"), TEXT("a")));
    EXPECT_LT(wcscmp(TEXT("A"), TEXT("a")), 0);
    EXPECT_GT(wcscmp(TEXT("\uFFFF"), TEXT("a")), 0); // unsigned units
}

TEST(Text, CopyConcatenateSearch) {
    WCHAR buffer[16];
    EXPECT_EQ(lstrcpynW(buffer, TEXT("abcdef"), 4), buffer);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("abc"));
    lstrcatW(buffer, TEXT("XY"));
    EXPECT_EQ(lstrlenW(buffer), 5);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    wcsncat(buffer, TEXT("12345"), 2);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("abcXY12"));
    EXPECT_EQ(wcschr(buffer, TEXT('X')), buffer + 3);
    EXPECT_EQ(wcsrchr(TEXT("a:b:c"), TEXT(':')), TEXT("a:b:c") + 3);
    const WCHAR *hay = TEXT("+CREG: 1,5");
    EXPECT_EQ(wcsstr(hay, TEXT("1,5")), hay + 7);
    EXPECT_EQ(wcsstr(hay, TEXT("1,6")), nullptr);
    // The C library's wchar_t functions stay usable beside the WCHAR ones.
    EXPECT_EQ(wcslen(L"abcd"), 4u);
    EXPECT_EQ(wcslen(TEXT("abc")), 3u);
    EXPECT_EQ(std::stol(std::wstring(L"-12")), -12);
    EXPECT_EQ(towupper16(TEXT('\u0131')), TEXT('\u0131'));
    WCHAR padded[6];
    wcsncpy(padded, TEXT("ab"), 6);
    EXPECT_EQ(padded[5], 0);

    WCHAR *end = nullptr;
    EXPECT_EQ(wcstoul(TEXT(" 0x1F,"), &end, 0), 31u);
    EXPECT_EQ(*end, TEXT(','));
    EXPECT_EQ(wcstol(TEXT("-42"), nullptr, 10), -42);
    EXPECT_EQ(wcstoul(TEXT("017"), nullptr, 0), 15u);
    errno = 0;
    EXPECT_EQ(wcstoul(TEXT("4294967296"), nullptr, 10), 4294967295u);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(wcstol(TEXT("x"), &end, 10), 0);
}

TEST(Text, StrsafeCopyCatLength) {
    WCHAR buffer[5];
    EXPECT_EQ(StringCchCopyW(buffer, 5, TEXT("abcd")), S_OK);
    EXPECT_EQ(StringCchCopyW(buffer, 5, TEXT("abcdef")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("abcd"));
    EXPECT_EQ(StringCchCopyNW(buffer, 5, TEXT("abcdef"), 2), S_OK);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("ab"));
    EXPECT_EQ(StringCchCatW(buffer, 5, TEXT("cde")), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("abcd"));
    size_t length = 99;
    EXPECT_EQ(StringCchLengthW(buffer, 5, &length), S_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(StringCchLengthW(buffer, 4, &length), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchCopyW(buffer, 0, TEXT("a")), STRSAFE_E_INVALID_PARAMETER);

    char narrow[3];
    EXPECT_EQ(StringCchCopyA(narrow, 3, "xyz"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(narrow, "xy");
    EXPECT_EQ(StringCchLengthA(narrow, 3, &length), S_OK);
    EXPECT_EQ(length, 2u);
}

TEST(CodePage, Latin1AndWindows1252) {
    WCHAR wide[8];
    // -1 includes the terminator in the count.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xE9\x80\x41", -1, wide, 8), 4);
    EXPECT_EQ(kxtest::WString(wide), TEXT("\u00E9\u20AC") TEXT("A"));
    EXPECT_EQ(MultiByteToWideChar(CP_LATIN1, 0, "\x80", 1, wide, 8), 1);
    EXPECT_EQ(wide[0], TEXT('\u0080'));

    char narrow[8];
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, TEXT("\u00E9\u20AC\u0416"), 3, narrow, 8, nullptr,
                                  &usedDefault),
              3);
    EXPECT_EQ(std::string(narrow, 3), "\xE9\x80?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(
        WideCharToMultiByte(CP_LATIN1, 0, TEXT("\u00FF\u20AC"), 2, narrow, 8, "*", &usedDefault),
        2);
    EXPECT_EQ(std::string(narrow, 2), "\xFF*");
}

TEST(CodePage, Utf8WithSurrogatesAndInvalidSequences) {
    // U+00E9, U+20AC, U+1F600 (a surrogate pair in UTF-16).
    const char *utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), 5);
    WCHAR wide[5];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 5), 5);
    EXPECT_EQ(kxtest::WString(wide), TEXT("\u00E9\u20AC\U0001F600"));

    char back[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 10);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 16, nullptr, nullptr), 10);
    EXPECT_STREQ(back, utf8);

    // Too small a buffer fails with ERROR_INSUFFICIENT_BUFFER.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 9, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Invalid input: stray continuation, overlong form, encoded surrogate,
    // truncated sequence. Each invalid part becomes U+FFFD, or fails with
    // MB_ERR_INVALID_CHARS.
    const char *bad = "a\x80"
                      "b\xC0\xAF"
                      "c\xED\xA0\x80"
                      "d\xE2\x82";
    WCHAR out[32];
    int n = MultiByteToWideChar(CP_UTF8, 0, bad, static_cast<int>(strlen(bad)), out, 32);
    kxtest::WString decoded(out, static_cast<size_t>(n));
    EXPECT_EQ(decoded.substr(0, 2), TEXT("a\uFFFD"));
    EXPECT_EQ(decoded.find(TEXT("b")), 2u);
    EXPECT_EQ(decoded.find_first_not_of(TEXT("abcd\uFFFD")), kxtest::WString::npos);
    EXPECT_EQ(decoded.back(), TEXT('\uFFFD'));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, out, 32), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ok", -1, out, 32), 3);

    // A lone surrogate cannot be encoded: it becomes U+FFFD.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, TEXT("\xD800x"), 2, back, 16, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(back, 4), "\xEF\xBF\xBDx");

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "x", 0, out, 32), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(12345, 0, "x", 1, out, 32), 0);
}

} // namespace

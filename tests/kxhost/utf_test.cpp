#include <kxhost/utf.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kxhost::Utf16ToUtf8;
using kxhost::Utf16ToUtf8Lossless;
using kxhost::Utf8ToUtf16;
using kxhost::Utf8ToUtf16Lossless;

TEST(Utf, WellFormedTextRoundTripsIncludingPairs) {
    // U+00E9, U+20AC, U+1F600 (a pair in UTF-16).
    const std::u16string wide = u"a\u00E9\u20AC\U0001F600";
    const std::string narrow = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(Utf16ToUtf8(wide), narrow);
    EXPECT_EQ(Utf8ToUtf16(narrow), wide);
    EXPECT_EQ(Utf16ToUtf8(static_cast<const char16_t *>(nullptr)), "");
    EXPECT_EQ(Utf16ToUtf8(u"x\u00E9"), "x\xC3\xA9");
}

TEST(Utf, ALoneSurrogateBecomesTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    const char16_t high[] = {u'a', 0xD83D, u'b', 0};
    const char16_t low[] = {0xDE00, u'b', 0};
    const char16_t highAtEnd[] = {u'a', 0xD83D, 0};
    const char16_t swapped[] = {0xDE00, 0xD83D, 0};
    EXPECT_EQ(Utf16ToUtf8(high), "a" + replacement + "b");
    EXPECT_EQ(Utf16ToUtf8(low), replacement + "b");
    EXPECT_EQ(Utf16ToUtf8(highAtEnd), "a" + replacement);
    EXPECT_EQ(Utf16ToUtf8(swapped), replacement + replacement);
}

TEST(Utf, EachInvalidPartOfUtf8BecomesOneReplacementCharacter) {
    const char16_t r = kxhost::kReplacementCharacter;
    // Stray continuation byte, a byte that never begins a sequence.
    EXPECT_EQ(Utf8ToUtf16("a\x80z"), (std::u16string{u'a', r, u'z'}));
    EXPECT_EQ(Utf8ToUtf16("\xFF"), std::u16string(1, r));
    // Overlong forms and encoded surrogates are not UTF-8.
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(2, r));
    EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), std::u16string(3, r));
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), std::u16string(3, r));
    // Above U+10FFFF.
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), std::u16string(4, r));
    // A truncated sequence is one invalid part; what follows still counts.
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), (std::u16string{r, u'z'}));
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98"), std::u16string(1, r));
}

TEST(Utf, LosslessFormsKeepLoneSurrogatesAndEightBitBytes) {
    const std::u16string samples[] = {
        u"plain",
        std::u16string{u'a', 0xD800, u'b'},
        std::u16string{0xDFFF},
        std::u16string{0xDC00, 0xD800},
        u"\u00FF\u0100\U0010FFFF",
    };
    for (const std::u16string &s : samples)
        EXPECT_EQ(Utf8ToUtf16Lossless(Utf16ToUtf8Lossless(s)), s);
    // A lone surrogate keeps its own three-byte form.
    EXPECT_EQ(Utf16ToUtf8Lossless(std::u16string{0xD800}), "\xED\xA0\x80");
    // Bytes that begin no valid sequence are ISO 8859-1 (an 8-bit file).
    EXPECT_EQ(Utf8ToUtf16Lossless("caf\xE9 \xC0\xAF"), u"caf\u00E9 \u00C0\u00AF");
}

} // namespace

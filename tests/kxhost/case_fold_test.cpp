#include <kxhost/case_fold.h>

#include <gtest/gtest.h>

namespace {

using kxhost::EqualNoCase16;
using kxhost::EqualNoCaseUtf8;
using kxhost::ToLower16;
using kxhost::ToUpper16;

TEST(CaseFold, MapsTheTargetsScriptsBothWays) {
    struct Pair {
        char16_t upper, lower;
    } pairs[] = {
        {u'A', u'a'},           {u'Z', u'z'},           {0x00C0, 0x00E0}, {0x00DE, 0x00FE},
        {0x0178, 0x00FF},       {0x0100, 0x0101},       {0x0139, 0x013A}, {0x017D, 0x017E},
        {0x0391, 0x03B1} /*Α*/, {0x0416, 0x0436} /*Ж*/, {0x0401, 0x0451}, {0x0460, 0x0461},
    };
    for (const Pair &p : pairs) {
        EXPECT_EQ(ToLower16(p.upper), p.lower) << std::hex << unsigned(p.upper);
        EXPECT_EQ(ToUpper16(p.lower), p.upper) << std::hex << unsigned(p.lower);
    }
    // Characters without a simple pair map to themselves.
    for (char16_t c : {u'1', u'@', char16_t(0x00D7), char16_t(0x00DF), char16_t(0x0130),
                       char16_t(0x0131), char16_t(0x4E2D)}) {
        EXPECT_EQ(ToLower16(c), c) << std::hex << unsigned(c);
        EXPECT_EQ(ToUpper16(c), c) << std::hex << unsigned(c);
    }
}

TEST(CaseFold, NamesCompareWithoutRegardToCaseBeyondAscii) {
    EXPECT_TRUE(EqualNoCase16(u"Comm\\CarrierCfg", u"COMM\\carriercfg"));
    EXPECT_TRUE(EqualNoCase16(u"\u00C9T\u00C9", u"\u00E9t\u00E9"));
    EXPECT_TRUE(EqualNoCase16(u"\u0416\u0401", u"\u0436\u0451"));
    EXPECT_FALSE(EqualNoCase16(u"abc", u"abcd"));
    EXPECT_FALSE(EqualNoCase16(u"abcd", u"abc"));
    EXPECT_TRUE(EqualNoCaseUtf8("Windows", "WINDOWS"));
    EXPECT_TRUE(EqualNoCaseUtf8("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89")); // Été, éTÉ
    // Bytes that are not UTF-8 are not all one character.
    EXPECT_FALSE(EqualNoCaseUtf8("\xFF", "\xFE"));
    EXPECT_FALSE(EqualNoCaseUtf8("a", "b"));
}

} // namespace

#include "kxhost/case_fold.h"

#include "kxhost/utf.h"

namespace kxhost {

namespace {

// Ranges of alternating upper/lower pairs (upper first) in Latin Extended-A
// and the Cyrillic supplement.
bool IsPairedUpper(unsigned c) {
    if (c == 0x0130)
        return false; // dotted capital I has no simple lower-case pair
    if (c >= 0x0100 && c <= 0x0137)
        return (c & 1) == 0;
    if (c >= 0x0139 && c <= 0x0148)
        return (c & 1) == 1;
    if (c >= 0x014A && c <= 0x0177)
        return (c & 1) == 0;
    if (c == 0x0179 || c == 0x017B || c == 0x017D)
        return true;
    if ((c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF))
        return (c & 1) == 0;
    return false;
}

bool IsPairedLower(unsigned c) {
    return c > 0 && IsPairedUpper(c - 1) && c != 0x0131 && c != 0x0138 && c != 0x0149;
}

} // namespace

char16_t ToLower16(char16_t ch) {
    unsigned c = ch;
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : ch;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<char16_t>(c + 32);
    if (c == 0x0178)
        return 0x00FF;
    if (IsPairedUpper(c))
        return static_cast<char16_t>(c + 1);
    if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2)
        return static_cast<char16_t>(c + 32); // Greek
    if (c >= 0x0410 && c <= 0x042F)
        return static_cast<char16_t>(c + 32); // Cyrillic
    if (c >= 0x0400 && c <= 0x040F)
        return static_cast<char16_t>(c + 80);
    return ch;
}

char16_t ToUpper16(char16_t ch) {
    unsigned c = ch;
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : ch;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 32);
    if (c == 0x00FF)
        return 0x0178;
    if (IsPairedLower(c))
        return static_cast<char16_t>(c - 1);
    if (c >= 0x03B1 && c <= 0x03CB && c != 0x03C2)
        return static_cast<char16_t>(c - 32);
    if (c >= 0x0430 && c <= 0x044F)
        return static_cast<char16_t>(c - 32);
    if (c >= 0x0450 && c <= 0x045F)
        return static_cast<char16_t>(c - 80);
    return ch;
}

bool EqualNoCase16(const char16_t *a, const char16_t *b) {
    for (;; ++a, ++b) {
        if (ToLower16(*a) != ToLower16(*b))
            return false;
        if (!*a)
            return true;
    }
}

bool EqualNoCaseUtf8(const std::string &a, const std::string &b) {
    if (a == b)
        return true;
    // Lossless: two names that differ in bytes that are not UTF-8 stay
    // different.
    std::u16string wideA = Utf8ToUtf16Lossless(a);
    std::u16string wideB = Utf8ToUtf16Lossless(b);
    return EqualNoCase16(wideA.c_str(), wideB.c_str());
}

} // namespace kxhost

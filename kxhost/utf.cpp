#include "kxhost/utf.h"

namespace kxhost {

size_t DecodeUtf8(const unsigned char *bytes, size_t size, int32_t *codePoint,
                  bool encodedSurrogates) {
    unsigned char lead = bytes[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    size_t need;
    int32_t value;
    // The range the first continuation byte must fall in: narrower after
    // the leads whose full range would allow an overlong form, a surrogate
    // or a value above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED && !encodedSurrogates)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        *codePoint = -1;
        return 1;
    }
    for (size_t i = 1; i <= need; ++i) {
        if (i >= size || bytes[i] < low || bytes[i] > high) {
            *codePoint = -1;
            return i;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    *codePoint = value;
    return need + 1;
}

size_t EncodeUtf8(uint32_t codePoint, char out[4]) {
    if (codePoint < 0x80) {
        out[0] = static_cast<char>(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        out[0] = static_cast<char>(0xC0 | (codePoint >> 6));
        out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (codePoint >> 12));
        out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (codePoint >> 18));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 4;
}

bool IsSurrogate(uint32_t codePoint) {
    return codePoint >= 0xD800 && codePoint <= 0xDFFF;
}

uint32_t NextCodePoint(const char16_t *text, size_t length, size_t *at) {
    uint32_t unit = text[*at];
    ++*at;
    if (unit >= 0xD800 && unit <= 0xDBFF && *at < length && text[*at] >= 0xDC00 &&
        text[*at] <= 0xDFFF) {
        uint32_t low = text[*at];
        ++*at;
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    return unit;
}

void AppendUtf16(std::u16string &out, uint32_t codePoint) {
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(codePoint));
    }
}

namespace {

std::string EncodeText(const char16_t *text, size_t length, bool keepLoneSurrogates) {
    std::string out;
    out.reserve(length);
    size_t at = 0;
    while (at < length) {
        uint32_t codePoint = NextCodePoint(text, length, &at);
        if (IsSurrogate(codePoint) && !keepLoneSurrogates)
            codePoint = kReplacementCharacter;
        char bytes[4];
        out.append(bytes, EncodeUtf8(codePoint, bytes));
    }
    return out;
}

} // namespace

std::string Utf16ToUtf8(const char16_t *text, size_t length) {
    return EncodeText(text, length, false);
}

std::string Utf16ToUtf8(const char16_t *text) {
    if (!text)
        return std::string();
    size_t length = 0;
    while (text[length])
        ++length;
    return Utf16ToUtf8(text, length);
}

std::string Utf16ToUtf8(const std::u16string &text) {
    return Utf16ToUtf8(text.data(), text.size());
}

std::u16string Utf8ToUtf16(const std::string &text) {
    std::u16string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    size_t at = 0;
    while (at < text.size()) {
        int32_t codePoint;
        at += DecodeUtf8(bytes + at, text.size() - at, &codePoint);
        AppendUtf16(out, codePoint < 0 ? kReplacementCharacter : uint32_t(codePoint));
    }
    return out;
}

std::string Utf16ToUtf8Lossless(const std::u16string &text) {
    return EncodeText(text.data(), text.size(), true);
}

std::u16string Utf8ToUtf16Lossless(const std::string &text) {
    std::u16string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    size_t at = 0;
    while (at < text.size()) {
        int32_t codePoint;
        size_t used = DecodeUtf8(bytes + at, text.size() - at, &codePoint, true);
        if (codePoint < 0) {
            out.push_back(static_cast<char16_t>(bytes[at])); // ISO 8859-1
            ++at;
        } else {
            AppendUtf16(out, uint32_t(codePoint));
            at += used;
        }
    }
    return out;
}

} // namespace kxhost

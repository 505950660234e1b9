// UTF-8 <-> UTF-16, the one conversion of the host side: the platform's
// paths, resources and registry file, the configuration manager, the code
// pages of MultiByteToWideChar and WideCharToMultiByte.
//
// One rule for text that is not well formed: a lone surrogate in UTF-16, and
// each invalid part of UTF-8 (the longest prefix of a valid sequence, at
// least one byte), becomes U+FFFD, as Windows' UTF-8 code page does. The
// lossless pair below is the one exception, for text that must come back
// exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kxhost {

const char16_t kReplacementCharacter = 0xFFFD;

// Decodes the UTF-8 sequence that begins bytes[0..size) (size >= 1). Returns
// the bytes it takes and sets *codePoint; for an invalid part sets
// *codePoint to -1 and returns that part's length. Overlong forms and values
// above U+10FFFF are invalid; so are encoded surrogates (ED A0..ED BF)
// unless encodedSurrogates is set.
size_t DecodeUtf8(const unsigned char *bytes, size_t size, int32_t *codePoint,
                  bool encodedSurrogates = false);
// Writes the UTF-8 form of codePoint (at most U+10FFFF) to out; returns its
// length, 1 to 4.
size_t EncodeUtf8(uint32_t codePoint, char out[4]);
// The code point of UTF-16 text at text[*at] (at < length), advancing *at
// past it: a surrogate pair is one code point; a lone surrogate is returned
// as itself (0xD800..0xDFFF).
uint32_t NextCodePoint(const char16_t *text, size_t length, size_t *at);
bool IsSurrogate(uint32_t codePoint);
// Appends codePoint to UTF-16 text (a pair above U+FFFF).
void AppendUtf16(std::u16string &out, uint32_t codePoint);

std::string Utf16ToUtf8(const char16_t *text, size_t length);
std::string Utf16ToUtf8(const char16_t *text); // terminated; null is ""
std::string Utf16ToUtf8(const std::u16string &text);
std::u16string Utf8ToUtf16(const std::string &text);

// Lossless forms, for the registry file: a lone surrogate is written as its
// own three-byte form, and reading takes a byte that begins no valid
// sequence as ISO 8859-1 (so that an 8-bit file loads too).
// Utf8ToUtf16Lossless(Utf16ToUtf8Lossless(s)) == s for every s.
std::string Utf16ToUtf8Lossless(const std::u16string &text);
std::u16string Utf8ToUtf16Lossless(const std::string &text);

} // namespace kxhost

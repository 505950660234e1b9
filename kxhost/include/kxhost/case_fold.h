// The one case mapping of the host side: that of the target's coredll
// (towlower, _wcsicmp, CharLowerW), used wherever the platform compares
// names without regard to case: registry keys and values, window classes,
// resource and version-block names, file names under the device root.
// Simple mapping of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic;
// other characters map to themselves.
#pragma once

#include <string>

namespace kxhost {

char16_t ToLower16(char16_t c);
char16_t ToUpper16(char16_t c);
// Terminated texts equal but for case.
bool EqualNoCase16(const char16_t *a, const char16_t *b);
// UTF-8 texts equal but for case (host file names).
bool EqualNoCaseUtf8(const std::string &a, const std::string &b);

} // namespace kxhost

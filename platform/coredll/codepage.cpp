// Code-page conversion of coredll: Windows-1252 (CP_ACP, CP_OEMCP), ISO
// 8859-1 (CP_LATIN1) and UTF-8 (CP_UTF8, with surrogate pairs), with the
// Win32 rules for counts of -1, size queries and short buffers. Stateless.

#include "text_internal.h"

#include <stdint.h>
#include <string.h>

#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif

namespace {

// Windows-1252 bytes 0x80..0x9F; the five bytes the code page leaves
// unassigned map to the C1 controls of the same value, as Windows does.
const uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

enum class Page { Cp1252, Latin1, Utf8, Unsupported };

Page PageOf(UINT codePage) {
    switch (codePage) {
    case CP_ACP:
    case CP_OEMCP:
    case 1252:
        return Page::Cp1252;
    case CP_LATIN1:
        return Page::Latin1;
    case CP_UTF8:
        return Page::Utf8;
    default:
        return Page::Unsupported;
    }
}

// Counts output units and writes those that fit.
template <typename T>
struct Out {
    T *dest;
    size_t capacity; // 0: size query
    size_t count = 0;

    void Put(T unit) {
        if (count < capacity) {
            dest[count] = unit;
        }
        ++count;
    }
};

const WCHAR kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[0..n). Returns the number of bytes used
// and sets *codePoint, or returns the length of the invalid part (the
// maximal prefix of a valid sequence, at least 1) and sets *codePoint to -1.
size_t DecodeUtf8(const unsigned char *s, size_t n, int32_t *codePoint) {
    unsigned char b = s[0];
    if (b < 0x80) {
        *codePoint = b;
        return 1;
    }
    size_t need;
    int32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        value = b & 0x0F;
        if (b == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (b == 0xED) {
            high = 0x9F; // no encoded surrogates
        }
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        value = b & 0x07;
        if (b == 0xF0) {
            low = 0x90;
        } else if (b == 0xF4) {
            high = 0x8F; // nothing above U+10FFFF
        }
    } else {
        *codePoint = -1;
        return 1;
    }
    for (size_t i = 1; i <= need; ++i) {
        if (i >= n || s[i] < low || s[i] > high) {
            *codePoint = -1;
            return i;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (s[i] & 0x3F);
    }
    *codePoint = value;
    return need + 1;
}

template <typename T>
void PutUtf8(Out<T> &out, uint32_t cp) {
    if (cp < 0x80) {
        out.Put(static_cast<T>(cp));
    } else if (cp < 0x800) {
        out.Put(static_cast<T>(0xC0 | (cp >> 6)));
        out.Put(static_cast<T>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.Put(static_cast<T>(0xE0 | (cp >> 12)));
        out.Put(static_cast<T>(0x80 | ((cp >> 6) & 0x3F)));
        out.Put(static_cast<T>(0x80 | (cp & 0x3F)));
    } else {
        out.Put(static_cast<T>(0xF0 | (cp >> 18)));
        out.Put(static_cast<T>(0x80 | ((cp >> 12) & 0x3F)));
        out.Put(static_cast<T>(0x80 | ((cp >> 6) & 0x3F)));
        out.Put(static_cast<T>(0x80 | (cp & 0x3F)));
    }
}

// Walks UTF-16 text as code points; unpaired surrogates are reported as -1
// (one unit each).
template <typename F>
void ForEachCodePoint(const WCHAR *s, size_t n, F &&f) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            f(static_cast<int32_t>(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u)));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            f(-1);
        } else {
            f(static_cast<int32_t>(u));
        }
    }
}

int Finish(size_t count, size_t capacity) {
    if (count > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (capacity != 0 && count > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(count);
}

} // namespace

extern "C" {

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceCount, LPWSTR dest,
                        int destCount) {
    Page page = PageOf(codePage);
    if (source == nullptr || sourceCount == 0 || sourceCount < -1 || destCount < 0 ||
        (dest == nullptr && destCount != 0) || page == Page::Unsupported) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (page == Page::Utf8 && (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = sourceCount == -1 ? strlen(source) + 1 : static_cast<size_t>(sourceCount);
    const unsigned char *s = reinterpret_cast<const unsigned char *>(source);
    Out<WCHAR> out{dest, static_cast<size_t>(destCount)};
    if (page == Page::Utf8) {
        size_t i = 0;
        while (i < n) {
            int32_t cp;
            size_t used = DecodeUtf8(s + i, n - i, &cp);
            i += used;
            if (cp < 0) {
                if ((flags & MB_ERR_INVALID_CHARS) != 0) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                out.Put(kReplacement);
            } else if (cp >= 0x10000) {
                out.Put(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
                out.Put(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            } else {
                out.Put(static_cast<WCHAR>(cp));
            }
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            unsigned char b = s[i];
            if (page == Page::Cp1252 && b >= 0x80 && b <= 0x9F) {
                out.Put(static_cast<WCHAR>(kCp1252High[b - 0x80]));
            } else {
                out.Put(static_cast<WCHAR>(b));
            }
        }
    }
    return Finish(out.count, out.capacity);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceCount, LPSTR dest,
                        int destCount, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    Page page = PageOf(codePage);
    if (source == nullptr || sourceCount == 0 || sourceCount < -1 || destCount < 0 ||
        (dest == nullptr && destCount != 0) || page == Page::Unsupported) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (page == Page::Utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER); // UTF-8 has no default character
        return 0;
    }
    size_t n = sourceCount == -1 ? wcslen(source) + 1 : static_cast<size_t>(sourceCount);
    Out<char> out{dest, static_cast<size_t>(destCount)};
    bool usedDefault = false;
    char fallback = defaultChar != nullptr ? defaultChar[0] : '?';
    if (page == Page::Utf8) {
        ForEachCodePoint(source, n, [&](int32_t cp) {
            PutUtf8(out, cp < 0 ? kReplacement : static_cast<uint32_t>(cp));
        });
    } else {
        for (size_t i = 0; i < n; ++i) {
            uint16_t u = source[i];
            int byte = -1;
            if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
                byte = u;
            } else if (page == Page::Latin1 && u <= 0xFF) {
                byte = u;
            } else if (page == Page::Cp1252) {
                for (int k = 0; k < 32; ++k) {
                    if (kCp1252High[k] == u) {
                        byte = 0x80 + k;
                        break;
                    }
                }
            }
            if (byte < 0) {
                usedDefault = true;
                out.Put(fallback);
            } else {
                out.Put(static_cast<char>(byte));
            }
        }
    }
    (void)flags;
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    return Finish(out.count, out.capacity);
}

} // extern "C"

// Code-page conversion of coredll: Windows-1252 (CP_ACP, CP_OEMCP), ISO
// 8859-1 (CP_LATIN1) and UTF-8 (CP_UTF8, with surrogate pairs), with the
// Win32 rules for counts of -1, size queries and short buffers. Stateless.

#include <windows.h>

#include <kxhost/utf.h>

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
            size_t used = kxhost::DecodeUtf8(s + i, n - i, &cp);
            i += used;
            if (cp < 0) {
                if ((flags & MB_ERR_INVALID_CHARS) != 0) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                out.Put(kxhost::kReplacementCharacter);
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
        size_t at = 0;
        while (at < n) {
            uint32_t cp = kxhost::NextCodePoint(source, n, &at);
            char bytes[4];
            size_t length = kxhost::EncodeUtf8(
                kxhost::IsSurrogate(cp) ? kxhost::kReplacementCharacter : cp, bytes);
            for (size_t k = 0; k < length; ++k)
                out.Put(bytes[k]);
        }
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

// Wide-string functions of the target's C runtime and of coredll for 16-bit
// WCHAR: wcs*, lstr*, case mapping and the strsafe copy, concatenation and
// length functions. All are pure functions of their arguments.

#include <windows.h>

#include <kxhost/case_fold.h>

#include <strsafe.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

// ---- the C runtime's wide-string functions --------------------------------

size_t wcslen(const WCHAR *s) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

size_t wcsnlen(const WCHAR *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

WCHAR *wcscpy(WCHAR *dest, const WCHAR *source) {
    size_t i = 0;
    do {
        dest[i] = source[i];
    } while (source[i++] != 0);
    return dest;
}

WCHAR *wcsncpy(WCHAR *dest, const WCHAR *source, size_t count) {
    size_t i = 0;
    for (; i < count && source[i] != 0; ++i) {
        dest[i] = source[i];
    }
    for (; i < count; ++i) {
        dest[i] = 0;
    }
    return dest;
}

WCHAR *wcscat(WCHAR *dest, const WCHAR *source) {
    wcscpy(dest + wcslen(dest), source);
    return dest;
}

WCHAR *wcsncat(WCHAR *dest, const WCHAR *source, size_t count) {
    WCHAR *end = dest + wcslen(dest);
    size_t i = 0;
    for (; i < count && source[i] != 0; ++i) {
        end[i] = source[i];
    }
    end[i] = 0;
    return dest;
}

int wcscmp(const WCHAR *a, const WCHAR *b) {
    return wcsncmp(a, b, SIZE_MAX);
}

int wcsncmp(const WCHAR *a, const WCHAR *b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
        if (a[i] == 0) {
            break;
        }
    }
    return 0;
}

int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        WCHAR ca = kxhost::ToLower16(a[i]);
        WCHAR cb = kxhost::ToLower16(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0) {
            break;
        }
    }
    return 0;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    return _wcsnicmp(a, b, SIZE_MAX);
}

const WCHAR *wcschr(const WCHAR *s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) {
            return s;
        }
        if (*s == 0) {
            return nullptr;
        }
    }
}

WCHAR *wcschr(WCHAR *s, WCHAR c) {
    return const_cast<WCHAR *>(wcschr(static_cast<const WCHAR *>(s), c));
}

const WCHAR *wcsrchr(const WCHAR *s, WCHAR c) {
    const WCHAR *found = nullptr;
    for (;; ++s) {
        if (*s == c) {
            found = s;
        }
        if (*s == 0) {
            return found;
        }
    }
}

WCHAR *wcsrchr(WCHAR *s, WCHAR c) {
    return const_cast<WCHAR *>(wcsrchr(static_cast<const WCHAR *>(s), c));
}

const WCHAR *wcsstr(const WCHAR *s, const WCHAR *find) {
    size_t n = wcslen(find);
    if (n == 0) {
        return s;
    }
    for (; *s != 0; ++s) {
        if (wcsncmp(s, find, n) == 0) {
            return s;
        }
    }
    return nullptr;
}

WCHAR *wcsstr(WCHAR *s, const WCHAR *find) {
    return const_cast<WCHAR *>(wcsstr(static_cast<const WCHAR *>(s), find));
}

namespace {

// Shared by wcstoul and wcstol. The target's long is 32-bit: results are
// limited to its range and ERANGE is set on overflow, as its runtime does.
// Returns the magnitude clamped to `limit` (0 when nothing was converted).
uint64_t ParseNumber(const WCHAR *s, WCHAR **end, int base, uint64_t limit, bool *negative,
                     bool *overflow) {
    const WCHAR *p = s;
    *negative = false;
    *overflow = false;
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) {
        ++p;
    }
    if (*p == u'+' || *p == u'-') {
        *negative = *p == u'-';
        ++p;
    }
    if (base < 0 || base == 1 || base > 36) {
        if (end != nullptr) {
            *end = const_cast<WCHAR *>(s);
        }
        errno = EINVAL;
        return 0;
    }
    if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
        int next = p[2];
        bool hexDigit = (next >= '0' && next <= '9') || (next >= 'a' && next <= 'f') ||
                        (next >= 'A' && next <= 'F');
        if (hexDigit) {
            p += 2;
            base = 16;
        }
    }
    if (base == 0) {
        base = p[0] == u'0' ? 8 : 10;
    }
    uint64_t value = 0;
    const WCHAR *digitsStart = p;
    for (;; ++p) {
        int digit;
        if (*p >= u'0' && *p <= u'9') {
            digit = *p - u'0';
        } else if (*p >= u'a' && *p <= u'z') {
            digit = *p - u'a' + 10;
        } else if (*p >= u'A' && *p <= u'Z') {
            digit = *p - u'A' + 10;
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        if (value > limit) {
            continue; // already overflowed: keep consuming digits
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit) {
            *overflow = true;
        }
    }
    if (p == digitsStart) {
        if (end != nullptr) {
            *end = const_cast<WCHAR *>(s);
        }
        *negative = false;
        return 0;
    }
    if (end != nullptr) {
        *end = const_cast<WCHAR *>(p);
    }
    return *overflow ? limit : value;
}

} // namespace

unsigned long wcstoul(const WCHAR *s, WCHAR **end, int base) {
    bool negative;
    bool overflow;
    uint64_t value = ParseNumber(s, end, base, UINT32_MAX, &negative, &overflow);
    if (overflow) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

long wcstol(const WCHAR *s, WCHAR **end, int base) {
    bool negative;
    bool overflow;
    uint64_t limit = static_cast<uint64_t>(INT32_MAX) + 1; // magnitude of INT32_MIN
    uint64_t value = ParseNumber(s, end, base, limit, &negative, &overflow);
    if (overflow || (!negative && value > static_cast<uint64_t>(INT32_MAX))) {
        errno = ERANGE;
        return negative ? INT32_MIN : INT32_MAX;
    }
    return negative ? -static_cast<long>(value) : static_cast<long>(value);
}

// ---- coredll's lstr* functions and case mapping ---------------------------
// Like the target's, they tolerate null pointers instead of faulting.

extern "C" {

int lstrlenW(LPCWSTR s) {
    return s == nullptr ? 0 : static_cast<int>(wcslen(s));
}

LPWSTR lstrcpyW(LPWSTR dest, LPCWSTR source) {
    if (dest == nullptr || source == nullptr) {
        return nullptr;
    }
    return wcscpy(dest, source);
}

LPWSTR lstrcpynW(LPWSTR dest, LPCWSTR source, int max) {
    if (dest == nullptr || source == nullptr) {
        return nullptr;
    }
    if (max <= 0) {
        return dest;
    }
    int i = 0;
    for (; i < max - 1 && source[i] != 0; ++i) {
        dest[i] = source[i];
    }
    dest[i] = 0;
    return dest;
}

LPWSTR lstrcatW(LPWSTR dest, LPCWSTR source) {
    if (dest == nullptr || source == nullptr) {
        return nullptr;
    }
    return wcscat(dest, source);
}

// The target compares words the way a user sorts them: letters compare
// without regard to case first, and only strings equal but for case are
// ordered by it, lower case first. Returns -1, 0 or 1.
int lstrcmpW(LPCWSTR a, LPCWSTR b) {
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    }
    int primary = _wcsicmp(a, b);
    if (primary != 0) {
        return primary;
    }
    for (size_t i = 0; a[i] != 0; ++i) {
        if (a[i] != b[i]) {
            bool aLower = kxhost::ToUpper16(a[i]) != a[i];
            return aLower ? -1 : 1;
        }
    }
    return 0;
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    }
    return _wcsicmp(a, b);
}

WCHAR towlower16(WCHAR c) {
    return kxhost::ToLower16(c);
}

WCHAR towupper16(WCHAR c) {
    return kxhost::ToUpper16(c);
}

// ---- strsafe: copy, concatenation, length --------------------------------

HRESULT StringCchCopyNW(LPWSTR dest, size_t cchDest, LPCWSTR source, size_t cchSource) {
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH ||
        cchSource > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (source == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t i = 0;
    for (; i < cchSource && source[i] != 0; ++i) {
        if (i == cchDest - 1) {
            dest[i] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dest[i] = source[i];
    }
    dest[i] = 0;
    return S_OK;
}

HRESULT StringCchCopyW(LPWSTR dest, size_t cchDest, LPCWSTR source) {
    return StringCchCopyNW(dest, cchDest, source, STRSAFE_MAX_CCH);
}

HRESULT StringCchCatW(LPWSTR dest, size_t cchDest, LPCWSTR source) {
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t used = wcsnlen(dest, cchDest);
    if (used == cchDest) {
        return STRSAFE_E_INVALID_PARAMETER; // dest is not terminated
    }
    return StringCchCopyNW(dest + used, cchDest - used, source, STRSAFE_MAX_CCH);
}

HRESULT StringCchLengthW(LPCWSTR s, size_t cchMax, size_t *length) {
    if (s == nullptr || cchMax > STRSAFE_MAX_CCH) {
        if (length != nullptr) {
            *length = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t n = wcsnlen(s, cchMax);
    if (n == cchMax) {
        if (length != nullptr) {
            *length = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (length != nullptr) {
        *length = n;
    }
    return S_OK;
}

HRESULT StringCchCopyA(LPSTR dest, size_t cchDest, LPCSTR source) {
    if (dest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (source == nullptr) {
        dest[0] = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t i = 0;
    for (; source[i] != '\0'; ++i) {
        if (i == cchDest - 1) {
            dest[i] = '\0';
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dest[i] = source[i];
    }
    dest[i] = '\0';
    return S_OK;
}

HRESULT StringCchLengthA(LPCSTR s, size_t cchMax, size_t *length) {
    if (s == nullptr || cchMax > STRSAFE_MAX_CCH) {
        if (length != nullptr) {
            *length = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t n = strnlen(s, cchMax);
    if (n == cchMax) {
        if (length != nullptr) {
            *length = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (length != nullptr) {
        *length = n;
    }
    return S_OK;
}

} // extern "C"

// Version resources: GetFileVersionInfoSizeW, GetFileVersionInfoW and
// VerQueryValueW over files of the device image, with Win32 semantics.
//
// A version resource is a tree of blocks: length, value length, type (1 =
// text, value length in characters; 0 = binary, in bytes), a zero-terminated
// key, the value and the children, each part aligned to 4 bytes from the
// start of the resource.
#include "resource_image.h"
#include "device_paths.h"

#include <kxhost/case_fold.h>

#include <cstring>

#include <windows.h>

namespace {

const kxwin::Resource *VersionOf(const kxwin::ResourceImage &image) {
    return kxwin::FindIn(image, RT_VERSION, MAKEINTRESOURCEW(1));
}

std::shared_ptr<const kxwin::ResourceImage> ImageOf(LPCWSTR fileName) {
    if (!fileName || !fileName[0])
        return nullptr;
    return kxwin::LoadResourceImage(kx::HostPathOfDeviceFile(fileName));
}

uint16_t Get16(const uint8_t *p) {
    return uint16_t(p[0] | (p[1] << 8));
}

struct Block {
    const uint8_t *start;
    size_t length; // whole block, children included
    uint16_t valueLength;
    uint16_t type;
    const char16_t *key; // points into the block (2-byte aligned in memory)
    size_t keyLength;
    const uint8_t *value;
    size_t valueBytes;
    const uint8_t *children;
};

size_t Align4(const uint8_t *base, const uint8_t *p) {
    return ((size_t(p - base) + 3) & ~size_t(3));
}

// Reads the block at p within [base, end); false when it does not fit.
bool ReadBlock(const uint8_t *base, const uint8_t *p, const uint8_t *end, Block &b) {
    if (end - p < 6)
        return false;
    b.start = p;
    b.length = Get16(p);
    b.valueLength = Get16(p + 2);
    b.type = Get16(p + 4);
    if (b.length < 6 || b.length > size_t(end - p))
        return false;
    const uint8_t *blockEnd = p + b.length;
    const uint8_t *k = p + 6;
    b.key = reinterpret_cast<const char16_t *>(k);
    b.keyLength = 0;
    while (true) {
        if (blockEnd - k < 2)
            return false;
        if (Get16(k) == 0)
            break;
        ++b.keyLength;
        k += 2;
    }
    k += 2;
    const uint8_t *value = base + Align4(base, k);
    if (value > blockEnd)
        value = blockEnd;
    b.value = value;
    b.valueBytes = b.type == 1 ? size_t(b.valueLength) * 2 : b.valueLength;
    if (b.valueBytes > size_t(blockEnd - value))
        b.valueBytes = size_t(blockEnd - value);
    const uint8_t *children = base + Align4(base, value + b.valueBytes);
    b.children = children > blockEnd ? blockEnd : children;
    return true;
}

bool KeyEquals(const Block &b, const char16_t *want, size_t wantLength) {
    if (b.keyLength != wantLength)
        return false;
    for (size_t i = 0; i < wantLength; ++i) {
        char16_t a = char16_t(Get16(reinterpret_cast<const uint8_t *>(b.key + i)));
        if (kxhost::ToLower16(a) != kxhost::ToLower16(want[i]))
            return false;
    }
    return true;
}

} // namespace

extern "C" DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
    if (handle)
        *handle = 0;
    auto image = ImageOf(fileName);
    if (!image) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const kxwin::Resource *r = VersionOf(*image);
    if (!r || r->size == 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    }
    return r->size;
}

extern "C" BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD size, LPVOID data) {
    if (!data || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto image = ImageOf(fileName);
    if (!image) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const kxwin::Resource *r = VersionOf(*image);
    if (!r) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    DWORD copy = r->size < size ? r->size : size;
    memcpy(data, r->data, copy);
    if (copy < size)
        memset(static_cast<uint8_t *>(data) + copy, 0, size - copy);
    return TRUE;
}

extern "C" BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID *buffer, PUINT length) {
    if (!block || !subBlock || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint8_t *base = static_cast<const uint8_t *>(block);
    size_t total = Get16(base);
    Block current;
    if (!ReadBlock(base, base, base + total, current)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return FALSE;
    }
    const char16_t *p = subBlock;
    while (true) {
        while (*p == u'\\')
            ++p;
        if (!*p)
            break;
        const char16_t *partEnd = p;
        while (*partEnd && *partEnd != u'\\')
            ++partEnd;
        size_t partLength = size_t(partEnd - p);
        const uint8_t *child = current.children;
        const uint8_t *end = current.start + current.length;
        bool found = false;
        while (child < end) {
            Block b;
            if (!ReadBlock(base, child, end, b))
                break;
            if (KeyEquals(b, p, partLength)) {
                current = b;
                found = true;
                break;
            }
            child = base + Align4(base, child + b.length);
        }
        if (!found) {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return FALSE;
        }
        p = partEnd;
    }
    if (current.valueBytes == 0 && current.start != base) {
        // A block without a value (a table) is not a value.
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    *buffer = const_cast<uint8_t *>(current.value);
    if (length)
        *length = current.type == 1 ? UINT(current.valueBytes / 2) : UINT(current.valueBytes);
    return current.valueBytes != 0 ? TRUE : FALSE;
}

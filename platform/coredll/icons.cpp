// Icons and cursors. Icons come from a module's icon groups; LoadIconW
// picks the image nearest to the system icon size (32 by 32) and hands out
// one shared handle per module and resource. Cursors are the system's: a
// null instance with an IDC_ id. SetCursor keeps the current cursor.
#include "resource_image.h"

#include <kxhost/utf.h>
#include "kx_window_test.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <windows.h>

struct KxIcon {
    int width;
    int height;
    int bitsPerPixel;
    WORD resourceId; // RT_ICON id of the chosen image; 0 for a system icon
    const uint8_t *image;
    DWORD imageSize;
};

struct KxCursor {
    WORD id; // IDC_ value
};

namespace {

const int kSystemIconSize = 32;

// Guards icons, cursorHistory and currentCursor's updates.
std::mutex iconLock;
// Shared icons live until the process ends (handles are never invalidated).
std::map<std::pair<const void *, std::u16string>, std::unique_ptr<KxIcon>> icons;
KxIcon systemIcon{32, 32, 32, 0, nullptr, 0};

KxCursor systemCursors[] = {{32512}, {32513}, {32514}, {32515}, {32516}, {32642}, {32643},
                            {32644}, {32645}, {32646}, {32648}, {32649}, {32650}, {32651}};
KxCursor *currentCursor = &systemCursors[0];
std::vector<HCURSOR> cursorHistory;

std::u16string Key(LPCWSTR name) {
    if (IS_INTRESOURCE(name))
        return u"#" + kxhost::Utf8ToUtf16(std::to_string(WORD(reinterpret_cast<ULONG_PTR>(name))));
    return name;
}

} // namespace

const ULONG_PTR kFirstSystemIcon = 32512; // IDI_APPLICATION
const ULONG_PTR kLastSystemIcon = 32517;  // IDI_WINLOGO

namespace {

// System icons (IDI_APPLICATION to IDI_WINLOGO, 32512 to 32517) share one
// image; another number names no system icon.
HICON LoadSystemIcon(LPCWSTR name) {
    const ULONG_PTR id = reinterpret_cast<ULONG_PTR>(name);
    if (IS_INTRESOURCE(name) && id >= kFirstSystemIcon && id <= kLastSystemIcon)
        return &systemIcon;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// The entry of an icon group (at least 6 bytes) whose image is nearest the
// system icon size, the deeper colour among equals; null for a malformed
// or empty group.
const uint8_t *NearestIconEntry(const kxwin::Resource &group) {
    // GRPICONDIR: reserved, type, count; then 14-byte entries: width,
    // height (0 = 256), colours, reserved, planes, bit count, bytes, id.
    const uint8_t *d = group.data;
    size_t count = size_t(d[4] | (d[5] << 8));
    if (6 + count * 14 > group.size || count == 0)
        return nullptr;
    int bestIndex = -1, bestScore = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *e = d + 6 + i * 14;
        int w = e[0] ? e[0] : 256;
        int bits = e[6] | (e[7] << 8);
        int score = std::abs(w - kSystemIconSize) * 64 - bits;
        if (bestIndex < 0 || score < bestScore) {
            bestIndex = int(i);
            bestScore = score;
        }
    }
    return d + 6 + size_t(bestIndex) * 14;
}

} // namespace

extern "C" HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!instance)
        return LoadSystemIcon(name);
    auto image = kxwin::ModuleResources(instance);
    if (!image) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(iconLock);
    auto key = std::make_pair(static_cast<const void *>(image.get()), Key(name));
    auto it = icons.find(key);
    if (it != icons.end())
        return it->second.get();
    const kxwin::Resource *group = kxwin::FindIn(*image, RT_GROUP_ICON, name);
    if (!group || group->size < 6) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const uint8_t *e = NearestIconEntry(*group);
    if (!e) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    WORD id = WORD(e[12] | (e[13] << 8));
    const kxwin::Resource *img = kxwin::FindIn(*image, RT_ICON, MAKEINTRESOURCEW(id));
    if (!img) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    auto icon = std::make_unique<KxIcon>(
        KxIcon{e[0] ? e[0] : 256, e[1] ? e[1] : 256, e[6] | (e[7] << 8), id, img->data, img->size});
    HICON handle = icon.get();
    icons[key] = std::move(icon);
    return handle;
}

extern "C" BOOL DestroyIcon(HICON icon) {
    return icon != nullptr;
}

extern "C" HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (!instance && IS_INTRESOURCE(name)) {
        WORD id = WORD(reinterpret_cast<ULONG_PTR>(name));
        for (KxCursor &c : systemCursors)
            if (c.id == id)
                return &c;
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

extern "C" HCURSOR SetCursor(HCURSOR cursor) {
    std::lock_guard<std::mutex> guard(iconLock);
    HCURSOR previous = currentCursor;
    currentCursor = cursor;
    if (cursorHistory.size() < 1024)
        cursorHistory.push_back(cursor);
    return previous;
}

extern "C" HCURSOR GetCursor(void) {
    std::lock_guard<std::mutex> guard(iconLock);
    return currentCursor;
}

namespace kxtest {

bool IconDetails(HICON icon, int *width, int *height, int *bitsPerPixel) {
    if (!icon)
        return false;
    if (width)
        *width = icon->width;
    if (height)
        *height = icon->height;
    if (bitsPerPixel)
        *bitsPerPixel = icon->bitsPerPixel;
    return true;
}

WORD CursorId(HCURSOR cursor) {
    return cursor ? cursor->id : 0;
}

std::vector<HCURSOR> CursorHistory() {
    std::lock_guard<std::mutex> guard(iconLock);
    return cursorHistory;
}

void ClearCursorHistory() {
    std::lock_guard<std::mutex> guard(iconLock);
    cursorHistory.clear();
}

} // namespace kxtest

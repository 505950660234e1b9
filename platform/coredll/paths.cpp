// Where the simulated handheld lives on the host: the module's device
// folder, the device root that "\" maps to, and UTF-16 <-> UTF-8 for paths.
#include "kx_internal.h"

#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

void AppendUtf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// A lone surrogate becomes U+FFFD, or, with keepLoneSurrogates, its own
// three-byte form.
std::string EncodeUtf8(const WCHAR *text, size_t length, bool keepLoneSurrogates) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF && !keepLoneSurrogates) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

} // namespace

std::string Utf16ToUtf8(const WCHAR *text, size_t length) {
    return EncodeUtf8(text, length, false);
}

std::string Utf16ToUtf8Lossless(const std::u16string &text) {
    return EncodeUtf8(text.data(), text.size(), true);
}

std::u16string Utf8ToUtf16Lossless(const std::string &text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xC2 && b <= 0xDF)
            extra = 1, c = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF)
            extra = 2, c = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4)
            extra = 3, c = b & 0x07;
        bool valid = extra > 0 && i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            unsigned char cont = static_cast<unsigned char>(text[i + k]);
            valid = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        // No overlong forms: each code point has one spelling, so the
        // conversion back gives the same bytes.
        if (valid && ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF))))
            valid = false;
        if (!valid) {
            out.push_back(static_cast<char16_t>(b)); // ISO 8859-1
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += extra + 1;
    }
    return out;
}

std::string Utf16ToUtf8(const WCHAR *text) {
    if (!text)
        return std::string();
    size_t n = 0;
    while (text[n])
        ++n;
    return Utf16ToUtf8(text, n);
}

std::u16string Utf8ToUtf16(const std::string &text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (i + extra >= text.size()) { // truncated sequence
            out.push_back(0xFFFD);
            break;
        }
        bool bad = false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cont = static_cast<unsigned char>(text[i + k]);
            if ((cont & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        if (bad) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string DeviceDirectory() {
    const char *dir = getenv("KX_DEVICE_DIR");
    if (dir && *dir)
        return dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kxsim";
    return "/tmp/kxsim-" + std::to_string(getuid());
}

std::string PlatformLibraryDirectory() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&PlatformLibraryDirectory), &info) && info.dli_fname) {
        std::string path(info.dli_fname);
        size_t slash = path.find_last_of('/');
        if (slash != std::string::npos)
            return path.substr(0, slash);
    }
    return ".";
}

std::string DeviceRoot() {
    const char *root = getenv("KX_DEVICE_ROOT");
    if (root && *root)
        return root;
    return PlatformLibraryDirectory() + "/../device";
}

bool HostPathOf(const WCHAR *devicePath, std::string &hostPath) {
    if (!devicePath || devicePath[0] != u'\\')
        return false;
    std::string path = DeviceRoot();
    std::string rest = Utf16ToUtf8(devicePath + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos)
            end = rest.size();
        std::string component = rest.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".")
            continue;
        // Names compare case-insensitively, as on the target: use the
        // existing entry's spelling when there is one.
        std::string chosen = component;
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcasecmp(e->d_name, component.c_str()) == 0) {
                    chosen = e->d_name;
                    break;
                }
            }
            closedir(d);
        }
        path += "/" + chosen;
        if (end == rest.size())
            break;
    }
    hostPath = path;
    return true;
}

} // namespace kx

// Where the simulated handheld lives on the host: the device root that "\"
// maps to and the host path of a handheld path.
#include "device_paths.h"

#include <kxhost/case_fold.h>
#include <kxhost/utf.h>

#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

namespace kx {

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
    std::string rest = kxhost::Utf16ToUtf8(devicePath + 1);
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
                if (kxhost::EqualNoCaseUtf8(e->d_name, component)) {
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

std::string HostPathOfDeviceFile(const WCHAR *devicePath) {
    std::string host;
    if (HostPathOf(devicePath, host))
        return host;
    return kxhost::Utf16ToUtf8(devicePath); // not a handheld path: a host path as it is
}

} // namespace kx

#include "kxhost/device_folder.h"

#include <cstdlib>
#include <unistd.h>

namespace kxhost {

std::string DefaultDeviceFolder() {
    const char *dir = getenv("KX_DEVICE_DIR");
    if (dir && *dir)
        return dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kxsim";
    return "/tmp/kxsim-" + std::to_string(getuid());
}

} // namespace kxhost

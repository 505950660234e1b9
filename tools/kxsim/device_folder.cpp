#include "device_folder.h"

#include <dirent.h>
#include <unistd.h>

namespace kxsim {

namespace {

// The platform's lock beside a port: "." + the port's name + ".lock".
bool IsPortLock(const std::string &name) {
    const std::string suffix = ".lock";
    return name.size() > 1 + suffix.size() && name[0] == '.' &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool RemoveDeviceFolder(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (IsPortLock(name))
                unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    return rmdir(dir.c_str()) == 0;
}

} // namespace kxsim

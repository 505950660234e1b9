// The folder of a module's port sockets, as the host programs that create
// one clean it up.
#pragma once

#include <string>

namespace kxsim {

// Removes a device folder that this program created, once its module has
// stopped (the module removes its own sockets): the exclusive-open lock
// files that the platform keeps beside the ports (".KXC1.lock", ...), then
// the folder itself when nothing else is left in it. Anything else in it is
// left alone. True when the folder is gone.
bool RemoveDeviceFolder(const std::string &dir);

} // namespace kxsim

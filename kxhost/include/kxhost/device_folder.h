// The folder where a module serves its ports when nobody names one: the one
// rule every host program and platform library follows.
#pragma once

#include <string>

namespace kxhost {

// $KX_DEVICE_DIR, else $XDG_RUNTIME_DIR/kxsim, else /tmp/kxsim-<uid>.
std::string DefaultDeviceFolder();

} // namespace kxhost

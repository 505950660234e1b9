// Where the simulated handheld lives on the host: the device root that the
// handheld's "\" maps to, and host paths of handheld paths. (The module's
// device folder is kxhost::DefaultDeviceFolder.)
#pragma once

#include <windows.h>

#include <string>

namespace kx {

// The folder the handheld's "\" maps to (KX_DEVICE_ROOT or <build>/device).
std::string DeviceRoot();
// Maps a handheld path ("\windows\KxCmdApi.dll") to a host path under the
// device root, matching each existing component case-insensitively. Returns
// false for a path that does not begin with a backslash.
bool HostPathOf(const WCHAR *devicePath, std::string &hostPath);
// HostPathOf, or, for a path that does not begin with a backslash, that path
// as a host path.
std::string HostPathOfDeviceFile(const WCHAR *devicePath);
// The folder of libcoredll.so (the build's bin folder).
std::string PlatformLibraryDirectory();

} // namespace kx

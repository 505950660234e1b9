// The module's ports are Unix sockets in the device folder (KXC1, KXN1,
// KXN2, KXA1 of type SOCK_SEQPACKET, the control socket kxmodem.ctl of type
// SOCK_STREAM). Every side that opens one goes through here, so that a path
// too long for a socket address is refused the same way everywhere instead
// of being cut.
#pragma once

#include <string>

#include <sys/un.h>

namespace kxhost {

// The path of a port in a device folder: "<folder>/<port>".
std::string ModulePortPath(const std::string &folder, const std::string &port);
// Fills *address for path; false when the path does not fit a socket
// address (errno ENAMETOOLONG) or is empty or holds a NUL (EINVAL).
bool UnixSocketAddress(const std::string &path, sockaddr_un *address);
// A close-on-exec socket of that type (SOCK_SEQPACKET, SOCK_STREAM, with
// SOCK_NONBLOCK if wanted) connected to path. The descriptor, or -1 with
// errno set.
int ConnectUnixSocket(const std::string &path, int type);

} // namespace kxhost

#include <kxhost/unix_socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A folder of its own with a listening socket of that type in it.
class ListeningSocket {
  public:
    ListeningSocket(const std::string &name, int type) {
        char folder[] = "/tmp/kxhost-XXXXXX";
        folder_ = mkdtemp(folder) ? folder : "";
        path = folder_ + "/" + name;
        sockaddr_un address;
        if (!folder_.empty() && kxhost::UnixSocketAddress(path, &address)) {
            fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
            if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
                listen(fd, 4) != 0) {
                close(fd);
                fd = -1;
            }
        }
    }
    ~ListeningSocket() {
        if (fd >= 0)
            close(fd);
        unlink(path.c_str());
        rmdir(folder_.c_str());
    }
    const std::string &Folder() const { return folder_; }

    std::string path;
    int fd = -1;

  private:
    std::string folder_;
};

TEST(UnixSocket, ConnectsToAModulePortInItsFolder) {
    ListeningSocket port("KXA1", SOCK_SEQPACKET);
    ASSERT_GE(port.fd, 0);
    EXPECT_EQ(kxhost::ModulePortPath(port.Folder(), "KXA1"), port.path);
    int fd = kxhost::ConnectUnixSocket(port.path, SOCK_SEQPACKET);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    int type = 0;
    socklen_t length = sizeof type;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length), 0);
    EXPECT_EQ(type, SOCK_SEQPACKET);
    close(fd);
    // Nothing there, or a socket of the other type: -1 with the reason.
    errno = 0;
    EXPECT_EQ(kxhost::ConnectUnixSocket(port.Folder() + "/KXC1", SOCK_SEQPACKET), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kxhost::ConnectUnixSocket(port.path, SOCK_STREAM), -1);
}

TEST(UnixSocket, APathTooLongForAnAddressIsRefusedNotCut) {
    // The longest path an address holds, served; then one byte more, whose
    // cut form would name that same socket.
    std::string name(sizeof(sockaddr_un::sun_path) - 1 - sizeof("/tmp/kxhost-XXXXXX"), 'p');
    ListeningSocket port(name, SOCK_STREAM);
    ASSERT_EQ(port.path.size(), sizeof(sockaddr_un::sun_path) - 1);
    ASSERT_GE(port.fd, 0);
    int fd = kxhost::ConnectUnixSocket(port.path, SOCK_STREAM);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);

    errno = 0;
    EXPECT_EQ(kxhost::ConnectUnixSocket(port.path + "x", SOCK_STREAM), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    sockaddr_un address;
    EXPECT_FALSE(kxhost::UnixSocketAddress(port.path + "x", &address));
    EXPECT_FALSE(kxhost::UnixSocketAddress("", &address));
    EXPECT_FALSE(kxhost::UnixSocketAddress(std::string("a\0b", 3), &address));
}

} // namespace

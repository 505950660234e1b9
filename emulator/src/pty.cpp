// The QMI control port on a pseudo-terminal, for independent QMI tools: a
// byte stream in which frames are delimited by their QMUX length. The module
// keeps the terminal's slave side open itself, so that the master never sees
// a hang-up between two tools' sessions.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "modem_impl.h"

namespace kxmodem {

bool Modem::Impl::OpenPty(const std::string &link, std::string *error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = std::string("pseudo-terminal: ") + strerror(errno);
        if (master >= 0)
            close(master);
        return false;
    }
    const char *name = ptsname(master);
    int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        *error = std::string("pseudo-terminal slave: ") + strerror(errno);
        close(master);
        return false;
    }
    // Raw bytes both ways: no echo, no line editing, no CR/LF translation.
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    ptyMaster = master;
    ptySlave = slave;
    ptyName = name;
    if (link != "auto") {
        struct stat st;
        if (lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                *error = link + " exists and is not a symbolic link";
                ClosePty();
                return false;
            }
            unlink(link.c_str());
        }
        if (symlink(ptyName.c_str(), link.c_str()) != 0) {
            *error = "cannot link " + link + ": " + strerror(errno);
            ClosePty();
            return false;
        }
        ptyLink = link;
    }
    int endpoint = nextEndpoint++;
    Connection &c = connections[endpoint];
    c.endpoint = endpoint;
    c.fd = master;
    c.port = kPtyPort;
    c.sequence = nextSequence++;
    c.where = "PTY#" + std::to_string(endpoint);
    ptyEndpoint = endpoint;
    trace.Event("QMI control port on " + ptyName + (ptyLink.empty() ? "" : " (" + ptyLink + ")"));
    return true;
}

void Modem::Impl::ClosePty() {
    if (ptyEndpoint) {
        connections.erase(ptyEndpoint);
        ptyEndpoint = 0;
    }
    if (!ptyLink.empty()) {
        unlink(ptyLink.c_str());
        ptyLink.clear();
    }
    if (ptySlave >= 0)
        close(ptySlave);
    if (ptyMaster >= 0)
        close(ptyMaster);
    ptySlave = ptyMaster = -1;
}

void Modem::Impl::FlushPty(Connection &c) {
    while (!c.outBuffer.empty()) {
        ssize_t n = write(c.fd, c.outBuffer.data(), c.outBuffer.size());
        if (n <= 0) {
            // A terminal nobody reads fills up: forget what it cannot take
            // rather than let it grow without bound.
            if (c.outBuffer.size() > 65536)
                c.outBuffer.clear();
            return;
        }
        c.outBuffer.erase(0, static_cast<size_t>(n));
    }
}

} // namespace kxmodem

// Ports on pseudo-terminals. The QMI control port, for independent QMI tools:
// a byte stream in which frames are delimited by their QMUX length. The AT
// port, for programs that speak to a serial port (a Windows program under
// Wine, through a COM port linked to the terminal): one AT session, the same
// interpreter as the socket's sessions. The module keeps each terminal's
// slave side open itself, so that the master never sees a hang-up between
// two programs' sessions.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "modem_impl.h"

namespace kxmodem {

bool Modem::Impl::OpenPty(const std::string &link, int port, Terminal &terminal,
                          std::string *error) {
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
    terminal.master = master;
    terminal.slave = slave;
    terminal.name = name;
    if (link != "auto") {
        struct stat st;
        if (lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                *error = link + " exists and is not a symbolic link";
                ClosePty(terminal);
                return false;
            }
            unlink(link.c_str());
        }
        if (symlink(terminal.name.c_str(), link.c_str()) != 0) {
            *error = "cannot link " + link + ": " + strerror(errno);
            ClosePty(terminal);
            return false;
        }
        terminal.link = link;
    }
    int endpoint = nextEndpoint++;
    Connection &c = connections[endpoint];
    c.endpoint = endpoint;
    c.fd = master;
    c.port = port;
    c.terminal = true;
    c.sequence = nextSequence++;
    const bool at = port == kPortAt;
    c.where = (at ? "KXA1-PTY#" : "PTY#") + std::to_string(endpoint);
    terminal.endpoint = endpoint;
    trace.Event(std::string(at ? "AT port on " : "QMI control port on ") + terminal.name +
                (terminal.link.empty() ? "" : " (" + terminal.link + ")"));
    return true;
}

void Modem::Impl::ClosePty(Terminal &terminal) {
    if (terminal.endpoint) {
        connections.erase(terminal.endpoint);
        terminal.endpoint = 0;
    }
    if (!terminal.link.empty()) {
        unlink(terminal.link.c_str());
        terminal.link.clear();
    }
    if (terminal.slave >= 0)
        close(terminal.slave);
    if (terminal.master >= 0)
        close(terminal.master);
    terminal.slave = terminal.master = -1;
    terminal.name.clear();
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

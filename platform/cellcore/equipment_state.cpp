// lineGetEquipmentState: the radio's functionality level, asked of the
// module over its AT command port ($KX_DEVICE_DIR/KXA1, one SOCK_SEQPACKET
// session per call) with AT+CFUN?. +CFUN: 1 is full functionality (radio
// on), 0 minimum and 4 transmit and receive off (radio off).
#include "kx_platform_ext.h"

#include <kxhost/device_folder.h>
#include <kxhost/unix_socket.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <extapi.h>

namespace {

// Nominal milliseconds (platform time, so KX_TIME_SCALE applies).
const DWORD kAnswerLimit = 5000;

int Connect() {
    return kxhost::ConnectUnixSocket(kxhost::ModulePortPath(kxhost::DefaultDeviceFolder(), "KXA1"),
                                     SOCK_SEQPACKET);
}

// Sends AT+CFUN? and reads lines until the final result. The module may
// answer in one message or several, and may put unsolicited lines between.
bool AskFunctionality(int &level) {
    int fd = Connect();
    if (fd < 0)
        return false;
    const char command[] = "AT+CFUN?\r";
    if (send(fd, command, sizeof(command) - 1, MSG_NOSIGNAL) != ssize_t(sizeof(command) - 1)) {
        close(fd);
        return false;
    }
    std::string pending;
    bool haveLevel = false, done = false, ok = false;
    DWORD start = GetTickCount();
    while (!done) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kAnswerLimit)
            break;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, 10); // real milliseconds; the limit is checked in platform time
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        char buffer[1024];
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        pending.append(buffer, size_t(n));
        size_t eol;
        while ((eol = pending.find_first_of("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line.empty())
                continue;
            if (line.rfind("+CFUN:", 0) == 0) {
                level = atoi(line.c_str() + 6);
                haveLevel = true;
            } else if (line == "OK") {
                ok = true;
                done = true;
                break;
            } else if (line == "ERROR" || line.rfind("+CME ERROR", 0) == 0) {
                done = true;
                break;
            }
        }
    }
    close(fd);
    return ok && haveLevel;
}

} // namespace

extern "C" LONG WINAPI lineGetEquipmentState(HLINE hLine, LPDWORD lpdwState,
                                             LPDWORD lpdwRadioSupport) {
    if (!KxLineIsOpen(hLine))
        return LINEERR_INVALLINEHANDLE;
    if (!lpdwState || !lpdwRadioSupport)
        return LINEERR_INVALPOINTER;
    int level = -1;
    if (!AskFunctionality(level))
        return LINEERR_OPERATIONFAILED;
    switch (level) {
    case 1:
        *lpdwState = LINEEQUIPSTATE_FULL;
        *lpdwRadioSupport = LINERADIOSUPPORT_ON;
        break;
    case 0:
        *lpdwState = LINEEQUIPSTATE_MINIMUM;
        *lpdwRadioSupport = LINERADIOSUPPORT_OFF;
        break;
    case 4:
        *lpdwState = LINEEQUIPSTATE_NOTXRX;
        *lpdwRadioSupport = LINERADIOSUPPORT_OFF;
        break;
    default:
        *lpdwState = LINEEQUIPSTATE_MINIMUM;
        *lpdwRadioSupport = LINERADIOSUPPORT_UNKNOWN;
        break;
    }
    return 0;
}

// Ports that vanish and come back, as a module's do when it drops off the
// bus: one port or all, for a time or until restored, and the module reset
// that forgets every client id and session besides.
#include "modem_impl.h"

#include <strings.h>

#include <string>
#include <vector>

namespace kxmodem {

namespace {

int PortByName(const std::string &name) {
    static const char *names[] = {"KXC1", "KXN1", "KXN2", "KXA1"};
    for (int i = 0; i < 4; ++i) {
        if (strcasecmp(name.c_str(), names[i]) == 0)
            return i;
    }
    return -1;
}

// The ports a control command names: one by its name, or "all". False for
// a name that is neither.
bool PortsNamed(const std::string &name, std::vector<int> *which) {
    if (name == "all")
        *which = {kPortControl, kPortData1, kPortData2, kPortAt};
    else if (PortByName(name) >= 0)
        *which = {PortByName(name)};
    else
        return false;
    return true;
}

} // namespace

std::string Modem::Impl::Vanish(const std::string &name, long ms) {
    std::vector<int> which;
    if (!PortsNamed(name, &which))
        return "error: unknown port '" + name + "'";
    for (int p : which) {
        ClosePort(p);
        trace.Event(std::string("port ") + ports[p].name + " vanished");
    }
    if (ms > 0)
        After(static_cast<uint32_t>(ms), [this, name] { Restore(name); });
    return "ok";
}

// A module that restarts drops off the bus: every port vanishes and every
// connection ends, and it comes back knowing no client and no session. A
// vanish alone replaces the ports while the module keeps running, so a
// host's client ids and calls survive it; after a reset they are unknown.
std::string Modem::Impl::Reset(long ms) {
    std::string answer = Vanish("all", ms);
    engine.Reset();
    trace.Event("module restarted: client ids and sessions forgotten");
    return answer;
}

std::string Modem::Impl::Restore(const std::string &name) {
    std::vector<int> which;
    if (!PortsNamed(name, &which))
        return "error: unknown port '" + name + "'";
    std::string error;
    for (int p : which) {
        if (!OpenPort(p, &error))
            return "error: " + error;
    }
    return "ok";
}

} // namespace kxmodem

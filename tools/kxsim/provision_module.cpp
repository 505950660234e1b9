// The module embedded in `kxsim provision`: kxmodem, when the build has it.

#include "provision_module.h"

#include "device_folder.h"

#include <cstdlib>
#include <string>

#include <unistd.h>

#if __has_include(<kxmodem/modem.h>)
#include <kxmodem/modem.h>

struct EmbeddedModule {
    kxmodem::Modem modem;
    std::string dir;
};

EmbeddedModule *StartEmbeddedModule(std::string *error) {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string pattern = std::string(runtime && *runtime ? runtime : "/tmp") + "/kxprovXXXXXX";
    if (!mkdtemp(&pattern[0])) {
        *error = "cannot create a folder for the module's ports";
        return nullptr;
    }
    EmbeddedModule *m = new EmbeddedModule;
    m->dir = pattern;
    if (!m->modem.Start(m->dir, kxmodem::Options(), error)) {
        kxsim::RemoveDeviceFolder(m->dir);
        delete m;
        return nullptr;
    }
    // The radio has not found a network yet when the drivers load at boot.
    m->modem.Control("registration none");
    setenv("KX_DEVICE_DIR", m->dir.c_str(), 1);
    return m;
}

bool RegisterEmbeddedModule(EmbeddedModule *m, bool roaming) {
    std::string answer = m->modem.Control(roaming ? "registration roaming" : "registration home");
    return answer.compare(0, 2, "ok") == 0;
}

void StopEmbeddedModule(EmbeddedModule *m) {
    m->modem.Stop();
    kxsim::RemoveDeviceFolder(m->dir);
    delete m;
}

#else

EmbeddedModule *StartEmbeddedModule(std::string *error) {
    *error = "this build has no embedded module: give --device-dir of a running kxmodem";
    return nullptr;
}

bool RegisterEmbeddedModule(EmbeddedModule *, bool) {
    return false;
}

void StopEmbeddedModule(EmbeddedModule *) {}

#endif

#include "provision_module.h"

EmbeddedModule *StartEmbeddedModule(std::string *error) {
    *error = "this build has no embedded module: give --device-dir of a running kxmodem";
    return nullptr;
}

bool RegisterEmbeddedModule(EmbeddedModule *, bool) {
    return false;
}

void StopEmbeddedModule(EmbeddedModule *) {}

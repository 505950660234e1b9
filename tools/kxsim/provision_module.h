// The module that `kxsim provision` runs in its own process when no
// running module is named.
#pragma once

#include <string>

struct EmbeddedModule;

// Starts the module with its ports in a fresh folder (KX_DEVICE_DIR is set
// to it) and its radio not yet registered. Null, with *error set, when it
// cannot be started.
EmbeddedModule *StartEmbeddedModule(std::string *error);
// Registers the module's radio: on its home network, or roaming.
bool RegisterEmbeddedModule(EmbeddedModule *module, bool roaming);
void StopEmbeddedModule(EmbeddedModule *module);

// The fault scenario of kxsim run: a session in which the module's ports
// vanish and return while the driver is open and a channel is up.
#pragma once

#include "kxmodem/modem.h"

#include <string>

namespace kxsim {

// Loads KxCmdApi.so in this process, opens, logs on `channel`, echoes a
// packet, makes every port vanish for a while, reopens with KxCmdReopen,
// echoes again on the reopened port, logs off and closes. Prints each step;
// true when the driver came through it all. *detail says what happened.
bool RunVanishScenario(kxmodem::Modem &modem, int channel, std::string *detail);

} // namespace kxsim

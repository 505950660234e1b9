// kxsim modem: runs the simulated module in the foreground, with the options
// of the kxmodem program.
#include "kxmodem/modem.h"
#include "kxsim.h"

static int ModemMain(const kxsim::Args &args) {
    return kxmodem::RunCommandLine(args, "kxsim modem");
}

KXSIM_SUBCOMMAND("modem", "run the simulated module (kxmodem) in the foreground", ModemMain);

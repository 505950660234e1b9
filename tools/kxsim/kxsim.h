// kxsim: one program, one subcommand per host of the handheld.
//
// A subcommand lives in its own file and registers itself with
// KXSIM_SUBCOMMAND; main() dispatches on the first argument.
#pragma once

#include <string>
#include <vector>

namespace kxsim {

using Args = std::vector<std::string>;
using SubcommandMain = int (*)(const Args &args); // args after the subcommand name

struct Subcommand {
    const char *name;
    const char *summary; // one line for "kxsim help"
    SubcommandMain main;
};

// Registers a subcommand; returns true so it can initialise a static.
bool RegisterSubcommand(const Subcommand &command);
const std::vector<Subcommand> &Subcommands();

// Where the built deliverables are: the folder of the kxsim executable.
std::string BuildDirectory();
// The device image root (KX_DEVICE_ROOT, else device/ of the build).
std::string DeviceRoot();

} // namespace kxsim

#define KXSIM_CONCAT2(a, b) a##b
#define KXSIM_CONCAT(a, b) KXSIM_CONCAT2(a, b)
#define KXSIM_SUBCOMMAND(name, summary, function)                                                  \
    static const bool KXSIM_CONCAT(kxsim_registered_, __LINE__) =                                  \
        ::kxsim::RegisterSubcommand({name, summary, function})

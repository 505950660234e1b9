// kxmodem: the simulated module as its own process.
#include "kxmodem/modem.h"

int main(int argc, char **argv) {
    return kxmodem::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), "kxmodem");
}

#include "kxsim.h"

#include "kxhost/command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kxsim {

static std::vector<Subcommand> &Table() {
    static std::vector<Subcommand> table;
    return table;
}

bool RegisterSubcommand(const Subcommand &command) {
    Table().push_back(command);
    return true;
}

const std::vector<Subcommand> &Subcommands() {
    return Table();
}

std::string BuildDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

std::string DeviceRoot() {
    const char *root = getenv("KX_DEVICE_ROOT");
    if (root && *root)
        return root;
    return BuildDirectory() + "/../device";
}

} // namespace kxsim

static void Usage(FILE *out) {
    fprintf(out, "usage: kxsim <subcommand> [options]\n\nsubcommands:\n");
    for (const auto &c : kxsim::Subcommands())
        fprintf(out, "  %-10s %s\n", c.name, c.summary);
    fprintf(out, "\n'kxsim <subcommand> --help' describes a subcommand's options.\n"
                 "\n  --help     show this help and exit\n"
                 "  --version  show the version and exit\n");
}

int main(int argc, char **argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    if (!strcmp(argv[1], "help") || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        Usage(stdout);
        return 0;
    }
    if (!strcmp(argv[1], "--version")) {
        printf("kxsim (kxradio) %s\n", kxhost::Version());
        return 0;
    }
    for (const auto &c : kxsim::Subcommands()) {
        if (!strcmp(c.name, argv[1]))
            return c.main(kxsim::Args(argv + 2, argv + argc));
    }
    fprintf(stderr, "kxsim: unknown subcommand '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}

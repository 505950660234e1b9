// The kxmodem command line, shared by the kxmodem program and "kxsim modem".
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "kxmodem/modem.h"

namespace kxmodem {

static void Usage(FILE *out, const char *program) {
    fprintf(out,
            "usage: %s [--device-dir DIR] [--script FILE] [--pty PATH|auto] [--trace FILE|-]\n"
            "          [--no-control-socket] [--network echo|tun [--network-namespace NAME]]\n\n"
            "Serves the simulated module's ports KXC1 (QMI control), KXN1, KXN2 (packet data)\n"
            "and KXA1 (AT commands) as Unix sockets in DIR (default: $KX_DEVICE_DIR, else\n"
            "$XDG_RUNTIME_DIR/kxsim, else /tmp/kxsim-$UID) until interrupted.\n"
            "  --script FILE   control commands applied at start (see below)\n"
            "  --pty PATH      also serve the QMI control port on a pseudo-terminal, linked\n"
            "                  at PATH ('auto': no link; the terminal's name is printed)\n"
            "  --trace FILE    log every frame, AT exchange and event ('-': standard error)\n"
            "  --network tun   the operator's network is a TUN interface kxop0 (10.64.255.1/16)\n"
            "                  in network namespace NAME (default kxop-<pid>), routed to the\n"
            "                  sessions 10.64.0.2 and 10.64.1.2; needs root. Default: echo\n\n%s",
            program, Modem::ControlHelp());
}

static std::string DefaultDeviceDir() {
    const char *dir = getenv("KX_DEVICE_DIR");
    if (dir && *dir)
        return dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kxsim";
    return "/tmp/kxsim-" + std::to_string(getuid());
}

int RunCommandLine(const std::vector<std::string> &args, const char *program) {
    std::string deviceDir = DefaultDeviceDir();
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "%s: %s needs a value\n", program, a.c_str());
                return false;
            }
            *out = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout, program);
            return 0;
        } else if (a == "--device-dir") {
            if (!value(&deviceDir))
                return 2;
        } else if (a == "--script") {
            if (!value(&options.scriptFile))
                return 2;
        } else if (a == "--pty") {
            if (!value(&options.ptyLink))
                return 2;
        } else if (a == "--trace") {
            if (!value(&options.tracePath))
                return 2;
        } else if (a == "--network") {
            if (!value(&options.network))
                return 2;
        } else if (a == "--network-namespace") {
            if (!value(&options.networkNamespace))
                return 2;
        } else if (a == "--no-control-socket") {
            options.controlSocket = false;
        } else {
            fprintf(stderr, "%s: unknown option '%s' (try --help)\n", program, a.c_str());
            return 2;
        }
    }

    // The loop thread inherits this mask, so only sigwait below sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Modem modem;
    std::string error;
    if (!modem.Start(deviceDir, options, &error)) {
        fprintf(stderr, "%s: %s\n", program, error.c_str());
        return 1;
    }
    printf("kxmodem: serving KXC1 KXN1 KXN2 KXA1 in %s\n", modem.DeviceDir().c_str());
    if (!modem.PtyPath().empty())
        printf("kxmodem: QMI control port on %s\n", modem.PtyPath().c_str());
    if (options.network == "tun")
        printf("kxmodem: operator network in namespace %s\n",
               options.networkNamespace.empty() ? ("kxop-" + std::to_string(getpid())).c_str()
                                                : options.networkNamespace.c_str());
    fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    modem.Stop();
    return 0;
}

} // namespace kxmodem

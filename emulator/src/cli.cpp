// The kxmodem command line, shared by the kxmodem program and "kxsim modem".
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "kxmodem/modem.h"

namespace kxmodem {

static void Usage(FILE *out, const char *program) {
    fprintf(out,
            "usage: %s [--device-dir DIR] [--script FILE] [--pty PATH|auto] [--at-pty PATH|auto]\n"
            "          [--trace FILE|-] [--pcap FILE] [--show-secrets] [--no-control-socket]\n"
            "          [--network echo|tun [--network-namespace NAME]]\n"
            "       %s [--device-dir DIR] --control COMMAND [--control COMMAND ...]\n\n"
            "Serves the simulated module's ports KXC1 (QMI control), KXN1, KXN2 (packet data)\n"
            "and KXA1 (AT commands) as Unix sockets in DIR (default: $KX_DEVICE_DIR, else\n"
            "$XDG_RUNTIME_DIR/kxsim, else /tmp/kxsim-$UID) until interrupted.\n"
            "  --script FILE   control commands applied at start (see below)\n"
            "  --pty PATH      also serve the QMI control port on a pseudo-terminal, linked\n"
            "                  at PATH ('auto': no link; the terminal's name is printed)\n"
            "  --at-pty PATH   also serve one AT session on a pseudo-terminal, linked at PATH\n"
            "                  (a serial port for programs that cannot reach the sockets)\n"
            "  --trace FILE    log every frame (its TLVs decoded), AT exchange and event\n"
            "                  ('-': standard error)\n"
            "  --pcap FILE     write a pcapng capture: control frames (link type USER0; decode\n"
            "                  them with the dissector build/bin/kxqmi.lua) and the data ports'\n"
            "                  IP packets\n"
            "  --show-secrets  passwords as they are in the trace and capture (masked otherwise)\n"
            "  --network tun   the operator's network is a TUN interface kxop0 (10.64.255.1/16)\n"
            "                  in network namespace NAME (default kxop-<pid>), routed to the\n"
            "                  sessions 10.64.0.2 and 10.64.1.2; needs root. Default: echo\n"
            "  --control CMD   send CMD to the module running in DIR and print its answer\n\n%s",
            program, program, Modem::ControlHelp());
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

// Client side of the control socket: one answer line per command.
static int SendControls(const std::string &path, const std::vector<std::string> &commands,
                        const char *program) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "%s: no module answers at %s\n", program, path.c_str());
        if (fd >= 0)
            close(fd);
        return 1;
    }
    int status = 0;
    std::string pending;
    for (const auto &command : commands) {
        std::string line = command + "\n";
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            break;
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<size_t>(n));
        }
        if (nl == std::string::npos) {
            fprintf(stderr, "%s: the module closed the control socket\n", program);
            status = 1;
            break;
        }
        std::string answer = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        printf("%s\n", answer.c_str());
        if (answer.compare(0, 5, "error") == 0)
            status = 1;
    }
    close(fd);
    return status;
}

int RunCommandLine(const std::vector<std::string> &args, const char *program) {
    std::string deviceDir = DefaultDeviceDir();
    Options options;
    std::vector<std::string> controls;
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
        } else if (a == "--at-pty") {
            if (!value(&options.atPtyLink))
                return 2;
        } else if (a == "--trace") {
            if (!value(&options.tracePath))
                return 2;
        } else if (a == "--pcap") {
            if (!value(&options.pcapPath))
                return 2;
        } else if (a == "--show-secrets") {
            options.showSecrets = true;
        } else if (a == "--network") {
            if (!value(&options.network))
                return 2;
        } else if (a == "--network-namespace") {
            if (!value(&options.networkNamespace))
                return 2;
        } else if (a == "--control") {
            std::string command;
            if (!value(&command))
                return 2;
            controls.push_back(command);
        } else if (a == "--no-control-socket") {
            options.controlSocket = false;
        } else {
            fprintf(stderr, "%s: unknown option '%s' (try --help)\n", program, a.c_str());
            return 2;
        }
    }

    if (!controls.empty())
        return SendControls(deviceDir + "/kxmodem.ctl", controls, program);

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
    if (!modem.AtPtyPath().empty())
        printf("kxmodem: AT port on %s\n", modem.AtPtyPath().c_str());
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

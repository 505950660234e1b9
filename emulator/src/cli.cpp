// The kxmodem command line, shared by the kxmodem program and "kxsim modem".
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kxhost/command_line.h"
#include "kxhost/device_folder.h"
#include "kxhost/unix_socket.h"
#include "kxmodem/modem.h"

namespace kxmodem {

// The options of kxmodem and "kxsim modem" (the program's name differs).
static kxhost::Program CommandLine(const char *program) {
    return {program,
            "[--device-dir DIR] [--script FILE] [--pty PATH|auto] [--at-pty PATH|auto]\n"
            "   [--trace FILE|-] [--pcap FILE] [--show-secrets] [--no-control-socket]\n"
            "   [--network echo|tun [--network-namespace NAME]]\n"
            "[--device-dir DIR] --control COMMAND [--control COMMAND ...]",
            "Serves the simulated module's ports KXC1 (QMI control), KXN1, KXN2 (packet data)\n"
            "and KXA1 (AT commands) as Unix sockets in DIR (default: $KX_DEVICE_DIR, else\n"
            "$XDG_RUNTIME_DIR/kxsim, else /tmp/kxsim-$UID) until interrupted.",
            {
                {"device-dir", "DIR", "the folder of the module's ports"},
                {"script", "FILE", "control commands applied at start (see below)"},
                {"pty", "PATH",
                 "also serve the QMI control port on a pseudo-terminal, linked\n"
                 "at PATH ('auto': no link; the terminal's name is printed)"},
                {"at-pty", "PATH",
                 "also serve one AT session on a pseudo-terminal, linked at PATH\n"
                 "(a serial port for programs that cannot reach the sockets)"},
                {"trace", "FILE",
                 "log every frame (its TLVs decoded), AT exchange and event\n"
                 "('-': standard error)"},
                {"pcap", "FILE",
                 "write a pcapng capture: control frames (link type USER0; decode\n"
                 "them with the dissector build/bin/kxqmi.lua) and the data ports'\n"
                 "IP packets"},
                {"show-secrets", nullptr,
                 "passwords as they are in the trace and capture (masked otherwise)"},
                {"network", "echo|tun",
                 "tun: the operator's network is a TUN interface kxop0 (10.64.255.1/16)\n"
                 "in network namespace NAME (default kxop-<pid>), routed to the\n"
                 "sessions 10.64.0.2 and 10.64.1.2; needs root. Default: echo"},
                {"network-namespace", "NAME", "the namespace of --network tun"},
                {"no-control-socket", nullptr, "serve no control socket (kxmodem.ctl)"},
                {"control", "CMD",
                 "send CMD to the module running in DIR and print its answer\n"
                 "(repeatable; one answer line per command)"},
            },
            Modem::ControlHelp()};
}

// Client side of the control socket: one answer line per command.
static int SendControls(const std::string &path, const std::vector<std::string> &commands,
                        const char *program) {
    int fd = kxhost::ConnectUnixSocket(path, SOCK_STREAM);
    if (fd < 0) {
        if (errno == ENAMETOOLONG)
            fprintf(stderr, "%s: socket path too long: %s\n", program, path.c_str());
        else
            fprintf(stderr, "%s: no module answers at %s\n", program, path.c_str());
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
        // The module answers "help" on one line, a tab between commands.
        if (command.compare(0, 4, "help") == 0 && answer.compare(0, 3, "ok ") == 0) {
            answer.erase(0, 3);
            for (char &c : answer)
                if (c == '\t')
                    c = '\n';
        }
        printf("%s\n", answer.c_str());
        if (answer.compare(0, 5, "error") == 0)
            status = 1;
    }
    close(fd);
    return status;
}

namespace {
// What the command line asks for: a module to serve, or (controls given)
// commands to send to one that runs.
struct Invocation {
    std::string deviceDir;
    Options options;
    std::vector<std::string> controls;
};
} // namespace

static void ApplyOption(const kxhost::Given &g, Invocation *r) {
    Options &options = r->options;
    if (g.name == "device-dir")
        r->deviceDir = g.value;
    else if (g.name == "script")
        options.scriptFile = g.value;
    else if (g.name == "pty")
        options.ptyLink = g.value;
    else if (g.name == "at-pty")
        options.atPtyLink = g.value;
    else if (g.name == "trace")
        options.tracePath = g.value;
    else if (g.name == "pcap")
        options.pcapPath = g.value;
    else if (g.name == "show-secrets")
        options.showSecrets = true;
    else if (g.name == "network")
        options.network = g.value;
    else if (g.name == "network-namespace")
        options.networkNamespace = g.value;
    else if (g.name == "control")
        r->controls.push_back(g.value);
    else if (g.name == "no-control-socket")
        options.controlSocket = false;
}

static void PrintServing(const Modem &modem, const Options &options) {
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
}

// Serves the module until SIGINT, SIGTERM or SIGHUP.
static int Serve(const Invocation &r, const char *program) {
    // The loop thread inherits this mask, so only sigwait below sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Modem modem;
    std::string error;
    if (!modem.Start(r.deviceDir, r.options, &error)) {
        fprintf(stderr, "%s: %s\n", program, error.c_str());
        return 1;
    }
    PrintServing(modem, r.options);
    int sig = 0;
    sigwait(&signals, &sig);
    modem.Stop();
    return 0;
}

int RunCommandLine(const std::vector<std::string> &args, const char *program) {
    const kxhost::Program commandLine = CommandLine(program);
    std::vector<kxhost::Given> given;
    int status = kxhost::ParseCommandLine(commandLine, args, &given);
    if (status >= 0)
        return status;
    Invocation r;
    r.deviceDir = kxhost::DefaultDeviceFolder();
    for (const kxhost::Given &g : given)
        ApplyOption(g, &r);
    if (!r.controls.empty())
        return SendControls(kxhost::ModulePortPath(r.deviceDir, "kxmodem.ctl"), r.controls,
                            program);
    return Serve(r, program);
}

} // namespace kxmodem

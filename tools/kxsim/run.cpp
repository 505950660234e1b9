// kxsim run: boots the simulated handheld end to end against one embedded
// module and shows every deliverable doing its job, step by step:
//   1. the device image (deliverables under \windows\, the registry),
//   2. the module registers; CarrierCfg provisions the operator's entry
//      (first boot) and finds it current (second boot),
//   3. the control panel shows the ModemAbout page,
//   4. the connection software drives KxCmdApi: logon, state, rates, signal,
//      echo through the data channel, logoff,
//   5. optionally a fault: the module's ports vanish mid-session and return.
// Each host runs as its own process (kxsim provision / applet / connect), as
// on the handheld; the module runs in this process and is shared by all.
#include "child_process.h"
#include "file_copy.h"
#include "device_folder.h"
#include "kxhost/command_line.h"
#include "kxmodem/modem.h"
#include "kxnet/signals.h"
#include "kxsim.h"
#include "run_fault.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

namespace {

struct RunOptions {
    std::string operatorName; // "" = the module's default
    bool roaming = false;
    bool radioOff = false;
    std::string apn, user, password; // what the connection sends (the network's when not given)
    bool apnGiven = false, userGiven = false, passwordGiven = false;
    int channel = 0;
    int count = 3;
    std::string fault;    // "", "vanish"
    std::string registry; // "" = a working copy of device/platform.reg
    std::string outDir;   // "" = a fresh folder under /tmp
};

const kxhost::Program kCommandLine = {
    "kxsim run",
    "[options]",
    "Boots the simulated handheld: provisioning (CarrierCfg), the control-panel page\n"
    "(ModemAbout) and a packet-data connection (KxCmdApi) against an embedded module.\n"
    "Exits 0 only when every step did what the scenario expects.",
    {
        {"operator", "NAME", "the operator long name the module reports"},
        {"roaming", nullptr, "the module registers as roaming (nothing is provisioned)"},
        {"radio-off", nullptr, "the module's radio is off (no registration, no connection)"},
        {"apn", "TEXT", "the access point name the connection asks for"},
        {"user", "TEXT", "the user name the connection sends"},
        {"password", "TEXT",
         "the password the connection sends (the network accepts apn\n"
         "kxtel.internet, user kxuser, password kxpass; any other is\n"
         "expected to be refused, with the module's reason)"},
        {"channel", "N", "the channel to connect on, 0 or 1 (default 0)"},
        {"count", "N", "echo requests through the data channel (default 3)"},
        {"fault", "vanish",
         "a second session in which the module's ports vanish and\n"
         "return; the driver reopens them and traffic goes on"},
        {"registry", "FILE",
         "use (and change) this registry file instead of a working\n"
         "copy of the shipped device/platform.reg"},
        {"out", "DIR",
         "folder for the working registry, the debug log and the\n"
         "page picture (default: a new folder under /tmp)"},
    },
    "Each step states what the scenario expects before it runs. SIGINT or SIGTERM\n"
    "ends the run as a normal end (children asked to end, module stopped, its\n"
    "folder removed) with exit status 128 + the signal.\n"};

// -1: go on; otherwise the exit status.
int ParseOptions(const kxsim::Args &args, RunOptions *o) {
    std::vector<kxhost::Given> given;
    int status = kxhost::ParseCommandLine(kCommandLine, args, &given);
    if (status >= 0)
        return status;
    for (const kxhost::Given &g : given) {
        long n = 0;
        if (g.name == "operator") {
            o->operatorName = g.value;
            if (o->operatorName.empty() || o->operatorName.size() > 32)
                return kxhost::UsageError(kCommandLine,
                                          "--operator takes a name of 1 to 32 characters");
        } else if (g.name == "roaming") {
            o->roaming = true;
        } else if (g.name == "radio-off") {
            o->radioOff = true;
        } else if (g.name == "apn") {
            o->apn = g.value;
            o->apnGiven = true;
        } else if (g.name == "user") {
            o->user = g.value;
            o->userGiven = true;
        } else if (g.name == "password") {
            o->password = g.value;
            o->passwordGiven = true;
        } else if (g.name == "channel") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, 1, &n))
                return 2;
            o->channel = static_cast<int>(n);
        } else if (g.name == "count") {
            if (!kxhost::NumberValue(kCommandLine, g, 0, 1000, &n))
                return 2;
            o->count = static_cast<int>(n);
        } else if (g.name == "fault") {
            o->fault = g.value;
            if (o->fault != "vanish")
                return kxhost::UsageError(kCommandLine,
                                          "unknown fault '" + o->fault + "' (known: vanish)");
        } else if (g.name == "registry") {
            o->registry = g.value;
        } else if (g.name == "out") {
            o->outDir = g.value;
        }
    }
    if (o->roaming && o->radioOff)
        return kxhost::UsageError(kCommandLine, "--roaming and --radio-off exclude each other");
    return -1;
}

struct Step {
    std::string name;
    bool ok;
    std::string detail;
};

class Narrator {
  public:
    void Begin(int number, const std::string &title) {
        printf("\n[%d/%d] %s\n", number, total, title.c_str());
        fflush(stdout);
    }
    void Record(const std::string &name, bool ok, const std::string &detail) {
        steps.push_back({name, ok, detail});
        printf("  => %s: %s%s%s\n", name.c_str(), ok ? "ok" : "FAILED", detail.empty() ? "" : ", ",
               detail.c_str());
        fflush(stdout);
    }
    int Summary() const {
        printf("\nSummary\n");
        int failed = 0;
        for (const auto &s : steps) {
            printf("  %-38s %s%s%s\n", s.name.c_str(), s.ok ? "ok" : "FAILED",
                   s.detail.empty() ? "" : "  ", s.detail.c_str());
            if (!s.ok)
                ++failed;
        }
        if (failed)
            printf("%d of %zu steps failed\n", failed, steps.size());
        else
            printf("all %zu steps worked\n", steps.size());
        return failed ? 1 : 0;
    }
    int total = 5;

  private:
    std::vector<Step> steps;
};

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Why a registry file the user named cannot serve as the registry: it
// exists but is not a regular file or cannot be read ("" when it can, or
// does not exist yet and will be created).
std::string UnusableRegistryFile(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : std::string("cannot be examined: ") + strerror(errno);
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? "is a folder, not a registry file" : "is not a regular file";
    if (access(path.c_str(), R_OK) != 0)
        return std::string("cannot be read: ") + strerror(errno);
    return "";
}

// Step 1: the deliverables under \windows\ and the registry working copy.
bool ShowDeviceImage(const RunOptions &o, const std::string &registry, Narrator &n) {
    std::string root = kxsim::DeviceRoot();
    std::string windows = root + "/windows";
    printf("  device root: %s\n", root.c_str());
    bool all = true;
    for (const char *name : {"KxCmdApi.dll", "CarrierCfg.dll", "ModemAbout.dll"}) {
        std::string path = windows + "/" + name;
        struct stat st;
        bool there = stat(path.c_str(), &st) == 0;
        printf("  \\windows\\%-16s %s\n", name,
               there ? (std::to_string(st.st_size) + " bytes").c_str() : "MISSING");
        all = all && there;
    }
    int fixtures = 0;
    if (DIR *d = opendir(windows.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == ".." || name == "KxCmdApi.dll" || name == "CarrierCfg.dll" ||
                name == "ModemAbout.dll")
                continue;
            printf("  \\windows\\%s\n", name.c_str());
            ++fixtures;
        }
        closedir(d);
    }
    n.Record("device image", all,
             all ? "3 deliverables, " + std::to_string(fixtures) + " other files"
                 : "a deliverable is missing from the image");

    bool registryOk = true;
    if (o.registry.empty()) {
        std::string shipped = root + "/platform.reg";
        if (!FileExists(shipped))
            shipped = kxsim::BuildDirectory() + "/../../device/platform.reg";
        registryOk = kxsim::CopyFile(shipped, registry);
        printf("  registry: working copy %s of %s\n", registry.c_str(), shipped.c_str());
        n.Record("registry", registryOk,
                 registryOk ? registry : "cannot copy the shipped registry");
    } else {
        // The platform refuses such a file later; say so here, where the
        // user's file is named, rather than report it as in use.
        std::string refusal = UnusableRegistryFile(registry);
        registryOk = refusal.empty();
        printf("  registry: %s (%s)\n", registry.c_str(),
               registryOk ? "changes are kept" : refusal.c_str());
        n.Record("registry", registryOk, registryOk ? registry : refusal);
    }
    return all && registryOk;
}

// The network behind the module: the access point and credentials it
// accepts. The run sets them on the module, so a scenario's expected
// outcome follows from what it asks for.
struct Network {
    const char *apn, *user, *password;
};
const Network kNetwork = {"kxtel.internet", "kxuser", "kxpass"};

bool SameTextIgnoringCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// The operator the module reports: the scenario's, else the module's own.
std::string OperatorName(const RunOptions &o, kxmodem::Modem &modem) {
    if (!o.operatorName.empty())
        return o.operatorName;
    std::string status = modem.Control("status");
    size_t at = status.find("operator=\"");
    if (at == std::string::npos)
        return "";
    at += 10;
    return status.substr(at, status.find('"', at) - at);
}

// The profile the driver's matching rule picks for the operator: the first
// subkey of \Comm\CarrierCfg, in the registry's order, whose name is a
// case-insensitive prefix of the operator's name; "" when none is (a subkey
// name of 32 or more characters ends the search). Read in this process from
// the registry file the hosts are given.
std::string MatchingProfile(const std::string &operatorName) {
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg", 0, 0, &root) != ERROR_SUCCESS)
        return "";
    std::string match;
    for (DWORD i = 0;; ++i) {
        char16_t name[32] = {};
        DWORD length = 32;
        if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        std::string narrow;
        for (DWORD c = 0; c < length; ++c)
            narrow += name[c] < 0x80 ? char(name[c]) : '?';
        if (narrow.size() <= operatorName.size() &&
            SameTextIgnoringCase(narrow, operatorName.substr(0, narrow.size()))) {
            match = narrow;
            break;
        }
    }
    RegCloseKey(root);
    return match;
}

// What one boot of the device manager is expected to report.
struct BootExpectation {
    int exitStatus;
    std::vector<std::string> results; // the result line starts with one of these
    std::string Describe() const {
        std::string d;
        for (const auto &r : results)
            d += (d.empty() ? "\"" : " or \"") + r + "...\"";
        return d + ", exit status " + std::to_string(exitStatus);
    }
    bool Met(const kxsim::ChildResult &r) const {
        std::string result = r.LineAfter("result: ");
        for (const auto &expected : results) {
            if (r.exitStatus == exitStatus && result.find(expected) != std::string::npos)
                return true;
        }
        return false;
    }
};

BootExpectation ExpectBoot(const RunOptions &o, const std::string &profile, int boot) {
    if (o.radioOff)
        return {3, {"the radio is off"}};
    if (o.roaming)
        return {3, {"roaming"}};
    if (profile.empty())
        return {3, {"no profile for this operator"}};
    if (boot == 2)
        return {0, {"is current already"}};
    if (o.registry.empty())
        return {0, {"applied"}}; // a fresh copy of the shipped registry
    return {0, {"applied", "is current already"}};
}

// Step 2: two boots of the device manager with CarrierCfg. This program
// drives the module's registration itself: provision is told to leave the
// radio alone, and the registration changes as soon as provision says that
// the driver watches the radio, so the driver is told it.
void Provision(const RunOptions &o, kxmodem::Modem &modem,
               const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &registry, const kxnet::StopSignals &stop, Narrator &n) {
    std::string target = o.radioOff ? "none" : o.roaming ? "roaming" : "home";
    std::string operatorName = OperatorName(o, modem);
    std::string profile = MatchingProfile(operatorName);
    printf("  operator \"%s\"; matching profile: %s\n", operatorName.c_str(),
           profile.empty() ? "none" : ("\"" + profile + "\"").c_str());
    for (int boot = 1; boot <= 2 && !stop.stopped(); ++boot) {
        BootExpectation expected = ExpectBoot(o, profile, boot);
        printf("  -- boot %d: the device manager loads CarrierCfg; the radio registers (%s)\n"
               "     expected: %s\n",
               boot, target.c_str(), expected.Describe().c_str());
        fflush(stdout);
        modem.Control("registration searching");
        kxsim::ChildWatch watch;
        watch.stop = &stop;
        watch.onLine = [&](const std::string &line) {
            if (!o.radioOff && line.find("driver: watching the radio") != std::string::npos)
                modem.Control("registration " + target);
        };
        // The limit only ends a wait that a fault made endless: provision
        // reports as soon as the driver has acted.
        kxsim::ChildResult r =
            kxsim::RunKxsim({"provision", "--keep-radio", "--registry", registry, "--device-dir",
                             modem.DeviceDir(), "--timeout", "30"},
                            env, "    ", 60, true, watch);
        std::string result = r.LineAfter("result: ");
        std::string detail =
            result.empty() ? "exit status " + std::to_string(r.exitStatus) : result;
        if (r.exitStatus >= 128)
            detail += " (stopped by signal " + std::to_string(r.exitStatus - 128) + ")";
        n.Record("provisioning, boot " + std::to_string(boot), expected.Met(r), detail);
        if (o.radioOff)
            break; // one boot shows it
    }
    // Leave the radio as the scenario has it for the next hosts.
    modem.Control("registration " + target);
}

// Step 3: the control panel opens the ModemAbout page.
void ShowApplet(kxmodem::Modem &modem, const std::vector<std::pair<std::string, std::string>> &env,
                const std::string &registry, const std::string &png, const kxnet::StopSignals &stop,
                Narrator &n) {
    kxsim::ChildWatch watch;
    watch.stop = &stop;
    kxsim::ChildResult r = kxsim::RunKxsim(
        {"applet", "--registry", registry, "--device-dir", modem.DeviceDir(), "--png", png}, env,
        "    ", 60, true, watch);
    bool ok = r.exitStatus == 0 && FileExists(png);
    n.Record("control panel: ModemAbout page", ok,
             ok ? "picture " + png : "exit status " + std::to_string(r.exitStatus));
}

// What the connection software is expected to report: connected, or the
// module's refusal with this reason.
struct ConnectExpectation {
    bool connects;
    std::string reason; // in the refusal line when it does not connect
};

ConnectExpectation ExpectConnect(const RunOptions &o, const std::string &apn,
                                 const std::string &user, const std::string &password) {
    if (o.radioOff)
        return {false, "no service"};
    if (!SameTextIgnoringCase(apn, kNetwork.apn))
        return {false, "unknown APN"};
    if (user != kNetwork.user || password != kNetwork.password)
        return {false, "authentication failed"};
    return {true, ""};
}

// Step 4: the connection software.
void Connect(const RunOptions &o, kxmodem::Modem &modem,
             const std::vector<std::pair<std::string, std::string>> &env,
             const kxnet::StopSignals &stop, Narrator &n) {
    std::string apn = o.apnGiven ? o.apn : kNetwork.apn;
    std::string user = o.userGiven ? o.user : kNetwork.user;
    std::string password = o.passwordGiven ? o.password : kNetwork.password;
    ConnectExpectation expected = ExpectConnect(o, apn, user, password);
    printf("  the network accepts apn \"%s\", user \"%s\"; the connection asks for apn \"%s\", "
           "user \"%s\"\n  expected: %s\n",
           kNetwork.apn, kNetwork.user, apn.c_str(), user.c_str(),
           expected.connects ? "connected, data moved, disconnected"
                             : ("the module refuses the logon: " + expected.reason).c_str());
    fflush(stdout);
    std::vector<std::string> args = {"connect",
                                     "--device-dir",
                                     modem.DeviceDir(),
                                     "--channel",
                                     std::to_string(o.channel),
                                     "--count",
                                     std::to_string(o.count),
                                     "--apn",
                                     apn,
                                     "--user",
                                     user,
                                     "--password",
                                     password};
    kxsim::ChildWatch watch;
    watch.stop = &stop;
    kxsim::ChildResult r = kxsim::RunKxsim(args, env, "    ", 120, true, watch);
    std::string refusal = r.LineAfter("logon: refused by the module: ");
    bool ok;
    std::string detail;
    if (expected.connects) {
        ok = r.exitStatus == 0;
        detail = ok ? "connected, data moved, disconnected"
                    : "the connection failed (exit status " + std::to_string(r.exitStatus) + ")";
    } else {
        ok = r.exitStatus == 1 && refusal.find(expected.reason) != std::string::npos;
        detail =
            refusal.empty() ? "exit status " + std::to_string(r.exitStatus) : "refused: " + refusal;
        if (ok)
            detail += ", as the scenario expects";
    }
    n.Record("connection: KxCmdApi", ok, detail);
}

// The working folder: --out (created when missing, refused when it is not a
// folder this user can write), else a new one under /tmp. "" on failure.
std::string PrepareWorkingFolder(const RunOptions &o) {
    if (o.outDir.empty()) {
        char pattern[] = "/tmp/kxsim-run-XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("kxsim run: cannot create a working folder");
            return "";
        }
        return pattern;
    }
    if (mkdir(o.outDir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "kxsim run: cannot create %s: %s\n", o.outDir.c_str(), strerror(errno));
        return "";
    }
    struct stat st;
    if (stat(o.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "kxsim run: --out %s is not a folder\n", o.outDir.c_str());
        return "";
    }
    if (access(o.outDir.c_str(), W_OK | X_OK) != 0) {
        fprintf(stderr, "kxsim run: cannot write in %s: %s\n", o.outDir.c_str(), strerror(errno));
        return "";
    }
    return o.outDir;
}

// The files of one run, all in its working folder unless --registry names
// another registry.
struct RunPaths {
    std::string out, registry, deviceDir, debugLog, png, trace;
};

RunPaths PathsIn(const std::string &out, const RunOptions &o) {
    RunPaths p;
    p.out = out;
    p.registry = o.registry.empty() ? out + "/registry.reg" : o.registry;
    p.deviceDir = out + "/dev";
    p.debugLog = out + "/debug.log";
    p.png = out + "/modemabout.png";
    p.trace = out + "/module-trace.log"; // every QMI frame and AT line, decoded
    return p;
}

// Starts the module on the scenario's network, searching for it (radio off
// if asked); false with `error` when it did not start.
bool StartModule(const RunOptions &o, const RunPaths &p, kxmodem::Modem &modem,
                 std::string *error) {
    kxmodem::Options mo;
    mo.controlSocket = true;
    mo.tracePath = p.trace;
    if (!modem.Start(p.deviceDir, mo, error))
        return false;
    if (!o.operatorName.empty())
        modem.Control("operator \"" + o.operatorName + "\"");
    modem.Control(std::string("network apn=") + kNetwork.apn + " user=" + kNetwork.user +
                  " password=" + kNetwork.password);
    if (o.radioOff)
        modem.Control("radio off");
    modem.Control("registration searching");
    return true;
}

// Steps 3 to 5, each only while no stop signal came.
void RunHostSteps(const RunOptions &o, const RunPaths &p, kxmodem::Modem &modem,
                  const std::vector<std::pair<std::string, std::string>> &env,
                  const kxnet::StopSignals &stop, Narrator &n) {
    if (!stop.stopped()) {
        n.Begin(3, "Control panel (ModemAbout)");
        ShowApplet(modem, env, p.registry, p.png, stop, n);
    }
    if (!stop.stopped()) {
        n.Begin(4, "Connection software (KxCmdApi)");
        Connect(o, modem, env, stop, n);
    }
    if (!o.fault.empty() && !stop.stopped()) {
        n.Begin(5, "Fault: the module's ports vanish mid-session and return");
        std::string detail;
        bool ok = kxsim::RunVanishScenario(modem, o.channel, &detail);
        n.Record("fault: ports vanish, driver reopens", ok, detail);
    }
}

void PrintModuleReport(kxmodem::Modem &modem, const RunPaths &p) {
    kxmodem::Snapshot s = modem.State();
    printf("\nmodule counters: %llu QMI requests, %llu replies, %llu indications, %llu packets in, "
           "%llu out, %llu AT commands\n",
           (unsigned long long)s.counters.qmiRequests, (unsigned long long)s.counters.qmiReplies,
           (unsigned long long)s.counters.qmiIndications, (unsigned long long)s.counters.dataIn,
           (unsigned long long)s.counters.dataOut, (unsigned long long)s.counters.atCommands);
    printf("debug log of the drivers: %s\n", p.debugLog.c_str());
    printf("frame trace of the module: %s\n", p.trace.c_str());
}

} // namespace

static int RunMain(const kxsim::Args &args) {
    RunOptions o;
    int status = ParseOptions(args, &o);
    if (status >= 0)
        return status;
    // Before any thread: SIGINT and SIGTERM then reach the watcher only, and
    // the run ends as at a normal end (children asked to end, module
    // stopped, its folder removed).
    kxnet::StopSignals stop;

    std::string out = PrepareWorkingFolder(o);
    if (out.empty())
        return 1;
    const RunPaths p = PathsIn(out, o);

    Narrator n;
    n.total = o.fault.empty() ? 4 : 5;
    printf("kxsim run: the simulated handheld (working folder %s)\n", out.c_str());

    n.Begin(1, "Device image");
    ShowDeviceImage(o, p.registry, n);
    // This process reads the profiles from the same file, to state what the
    // device manager is expected to report.
    setenv("KX_REGISTRY", p.registry.c_str(), 1);

    n.Begin(2, "Module and provisioning (device manager loads CarrierCfg)");
    kxmodem::Modem modem;
    std::string error;
    if (!StartModule(o, p, modem, &error)) {
        n.Record("module", false, error);
        kxsim::RemoveDeviceFolder(p.deviceDir);
        return n.Summary();
    }
    n.Record("module", true, "ports in " + p.deviceDir);
    std::vector<std::pair<std::string, std::string>> env = {
        {"KX_DEVICE_DIR", p.deviceDir}, {"KX_DEBUG_LOG", p.debugLog}, {"KX_REGISTRY", p.registry}};
    Provision(o, modem, env, p.registry, stop, n);
    RunHostSteps(o, p, modem, env, stop, n);

    PrintModuleReport(modem, p);
    modem.Stop();
    kxsim::RemoveDeviceFolder(p.deviceDir);
    status = n.Summary();
    if (stop.stopped()) {
        printf("kxsim run: stopped by signal %d after the steps above; module stopped, its "
               "folder removed\n",
               stop.signal());
        return 128 + stop.signal();
    }
    return status;
}

KXSIM_SUBCOMMAND("run", "boot the simulated handheld end to end (the main job)", RunMain);

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
#include "kxmodem/modem.h"
#include "kxsim.h"
#include "run_fault.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct RunOptions {
    std::string operatorName; // "" = the module's default
    bool roaming = false;
    bool radioOff = false;
    std::string apn, user, password; // "" = the module's defaults
    bool apnGiven = false;
    int channel = 0;
    int count = 3;
    std::string fault;    // "", "vanish"
    std::string registry; // "" = a working copy of device/platform.reg
    std::string outDir;   // "" = a fresh folder under /tmp
};

void Usage(FILE *out) {
    fprintf(out,
            "usage: kxsim run [options]\n"
            "\n"
            "Boots the simulated handheld: provisioning (CarrierCfg), the control-panel page\n"
            "(ModemAbout) and a packet-data connection (KxCmdApi) against an embedded module.\n"
            "Exits 0 only when every step did what the scenario expects.\n"
            "\n"
            "  --operator NAME    the operator long name the module reports\n"
            "  --roaming          the module registers as roaming (nothing is provisioned)\n"
            "  --radio-off        the module's radio is off (no registration, no connection)\n"
            "  --apn TEXT         the access point name the connection asks for\n"
            "  --user TEXT        the user name the connection sends\n"
            "  --password TEXT    the password the connection sends\n"
            "  --channel N        the channel to connect on, 0 or 1 (default 0)\n"
            "  --count N          echo requests through the data channel (default 3)\n"
            "  --fault vanish     a second session in which the module's ports vanish and\n"
            "                     return; the driver reopens them and traffic goes on\n"
            "  --registry FILE    use (and change) this registry file instead of a working\n"
            "                     copy of the shipped device/platform.reg\n"
            "  --out DIR          folder for the working registry, the debug log and the\n"
            "                     page picture (default: a new folder under /tmp)\n");
}

bool ParseOptions(const kxsim::Args &args, RunOptions *o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "kxsim run: %s needs a value\n", a.c_str());
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto number = [&](int *out, int min, int max) {
            std::string v;
            if (!value(&v))
                return false;
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < min || n > max) {
                fprintf(stderr, "kxsim run: %s takes a number from %d to %d, not '%s'\n", a.c_str(),
                        min, max, v.c_str());
                return false;
            }
            *out = static_cast<int>(n);
            return true;
        };
        if (a == "--operator") {
            if (!value(&o->operatorName))
                return false;
            if (o->operatorName.empty() || o->operatorName.size() > 32) {
                fprintf(stderr, "kxsim run: --operator takes a name of 1 to 32 characters\n");
                return false;
            }
        } else if (a == "--roaming") {
            o->roaming = true;
        } else if (a == "--radio-off") {
            o->radioOff = true;
        } else if (a == "--apn") {
            if (!value(&o->apn))
                return false;
            o->apnGiven = true;
        } else if (a == "--user") {
            if (!value(&o->user))
                return false;
        } else if (a == "--password") {
            if (!value(&o->password))
                return false;
        } else if (a == "--channel") {
            if (!number(&o->channel, 0, 1))
                return false;
        } else if (a == "--count") {
            if (!number(&o->count, 0, 1000))
                return false;
        } else if (a == "--fault") {
            if (!value(&o->fault))
                return false;
            if (o->fault != "vanish") {
                fprintf(stderr, "kxsim run: unknown fault '%s' (known: vanish)\n",
                        o->fault.c_str());
                return false;
            }
        } else if (a == "--registry") {
            if (!value(&o->registry))
                return false;
        } else if (a == "--out") {
            if (!value(&o->outDir))
                return false;
        } else {
            fprintf(stderr, "kxsim run: unknown option '%s'\n", a.c_str());
            Usage(stderr);
            return false;
        }
    }
    if (o->roaming && o->radioOff) {
        fprintf(stderr, "kxsim run: --roaming and --radio-off exclude each other\n");
        return false;
    }
    return true;
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

bool CopyFile(const std::string &from, const std::string &to) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return static_cast<bool>(out);
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
        registryOk = CopyFile(shipped, registry);
        printf("  registry: working copy %s of %s\n", registry.c_str(), shipped.c_str());
    } else {
        printf("  registry: %s (changes are kept)\n", registry.c_str());
    }
    n.Record("registry", registryOk, registryOk ? registry : "cannot copy the shipped registry");
    return all && registryOk;
}

// Waits until the driver of a freshly started host has had time to open
// its RIL session (it sends its first AT commands), then registers the radio.
void RegisterWhenWatched(kxmodem::Modem &modem, uint64_t atBefore, const std::string &state) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < deadline &&
           modem.State().counters.atCommands < atBefore + 4)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    modem.Control("registration " + state);
}

// Step 2: two boots of the device manager with CarrierCfg. This program
// drives the module's registration itself (the radio stays as the scenario
// has it), so provision is told to leave the radio alone.
void Provision(const RunOptions &o, kxmodem::Modem &modem,
               const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &registry, Narrator &n) {
    std::string target = o.radioOff ? "none" : o.roaming ? "roaming" : "home";
    for (int boot = 1; boot <= 2; ++boot) {
        printf("  -- boot %d: the device manager loads CarrierCfg; the radio registers (%s)\n",
               boot, target.c_str());
        fflush(stdout);
        modem.Control("registration searching");
        uint64_t at = modem.State().counters.atCommands;
        std::thread registrar([&] {
            if (!o.radioOff)
                RegisterWhenWatched(modem, at, target);
        });
        kxsim::ChildResult r =
            kxsim::RunKxsim({"provision", "--keep-radio", "--registry", registry, "--device-dir",
                             modem.DeviceDir(), "--timeout", o.radioOff || o.roaming ? "4" : "15"},
                            env, "    ", 60);
        registrar.join();
        std::string result = r.LineAfter("result: ");
        bool ok;
        if (o.radioOff || o.roaming) {
            ok = r.exitStatus == 3; // nothing applied, as expected
        } else if (!o.operatorName.empty()) {
            ok = r.exitStatus == 0 || r.exitStatus == 3; // any operator: report what happened
        } else if (boot == 1) {
            ok = r.exitStatus == 0;
        } else {
            ok = r.exitStatus == 0 && result.find("current already") != std::string::npos;
        }
        n.Record("provisioning, boot " + std::to_string(boot), ok,
                 result.empty() ? "exit status " + std::to_string(r.exitStatus) : result);
        if (o.radioOff)
            break; // one boot shows it
    }
    // Leave the radio as the scenario has it for the next hosts.
    modem.Control("registration " + target);
}

// Step 3: the control panel opens the ModemAbout page.
void ShowApplet(const RunOptions &o, kxmodem::Modem &modem,
                const std::vector<std::pair<std::string, std::string>> &env,
                const std::string &registry, const std::string &png, Narrator &n) {
    kxsim::ChildResult r = kxsim::RunKxsim(
        {"applet", "--registry", registry, "--device-dir", modem.DeviceDir(), "--png", png}, env,
        "    ", 60);
    bool ok = r.exitStatus == 0 && FileExists(png);
    n.Record("control panel: ModemAbout page", ok,
             ok ? "picture " + png : "exit status " + std::to_string(r.exitStatus));
}

// Step 4: the connection software.
void Connect(const RunOptions &o, kxmodem::Modem &modem,
             const std::vector<std::pair<std::string, std::string>> &env, Narrator &n) {
    std::vector<std::string> args = {"connect",
                                     "--device-dir",
                                     modem.DeviceDir(),
                                     "--channel",
                                     std::to_string(o.channel),
                                     "--count",
                                     std::to_string(o.count)};
    if (o.apnGiven) {
        args.push_back("--apn");
        args.push_back(o.apn);
    }
    if (!o.user.empty()) {
        args.push_back("--user");
        args.push_back(o.user);
    }
    if (!o.password.empty()) {
        args.push_back("--password");
        args.push_back(o.password);
    }
    kxsim::ChildResult r = kxsim::RunKxsim(args, env, "    ", 120);
    // A connection is expected to come up unless the scenario refuses it:
    // radio off, or an APN / credentials the network does not accept.
    bool refusedByScenario = o.radioOff || o.apnGiven || !o.user.empty() || !o.password.empty();
    bool ok = r.exitStatus == 0 || (refusedByScenario && r.exitStatus != 0 && r.exitStatus < 128);
    std::string detail = r.exitStatus == 0 ? "connected, data moved, disconnected"
                                           : "the connection failed (exit status " +
                                                 std::to_string(r.exitStatus) + ")";
    if (r.exitStatus != 0 && ok)
        detail += ", as the scenario expects";
    n.Record("connection: KxCmdApi", ok, detail);
}

} // namespace

static int RunMain(const kxsim::Args &args) {
    for (const auto &a : args) {
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        }
    }
    RunOptions o;
    if (!ParseOptions(args, &o))
        return 2;

    std::string out = o.outDir;
    if (out.empty()) {
        char pattern[] = "/tmp/kxsim-run-XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("kxsim run: cannot create a working folder");
            return 1;
        }
        out = pattern;
    } else if (mkdir(out.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "kxsim run: cannot create %s: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    std::string registry = o.registry.empty() ? out + "/registry.reg" : o.registry;
    std::string deviceDir = out + "/dev";
    std::string debugLog = out + "/debug.log";
    std::string png = out + "/modemabout.png";

    Narrator n;
    n.total = o.fault.empty() ? 4 : 5;
    printf("kxsim run: the simulated handheld (working folder %s)\n", out.c_str());

    n.Begin(1, "Device image");
    ShowDeviceImage(o, registry, n);

    n.Begin(2, "Module and provisioning (device manager loads CarrierCfg)");
    kxmodem::Modem modem;
    kxmodem::Options mo;
    mo.controlSocket = true;
    mo.tracePath = out + "/module-trace.log"; // every QMI frame and AT line, decoded
    std::string error;
    if (!modem.Start(deviceDir, mo, &error)) {
        n.Record("module", false, error);
        return n.Summary();
    }
    if (!o.operatorName.empty())
        modem.Control("operator \"" + o.operatorName + "\"");
    if (o.radioOff)
        modem.Control("radio off");
    modem.Control("registration searching");
    n.Record("module", true, "ports in " + deviceDir);
    std::vector<std::pair<std::string, std::string>> env = {
        {"KX_DEVICE_DIR", deviceDir}, {"KX_DEBUG_LOG", debugLog}, {"KX_REGISTRY", registry}};
    Provision(o, modem, env, registry, n);

    n.Begin(3, "Control panel (ModemAbout)");
    ShowApplet(o, modem, env, registry, png, n);

    n.Begin(4, "Connection software (KxCmdApi)");
    Connect(o, modem, env, n);

    if (!o.fault.empty()) {
        n.Begin(5, "Fault: the module's ports vanish mid-session and return");
        std::string detail;
        bool ok = kxsim::RunVanishScenario(modem, o.channel, &detail);
        n.Record("fault: ports vanish, driver reopens", ok, detail);
    }

    kxmodem::Snapshot s = modem.State();
    printf("\nmodule counters: %llu QMI requests, %llu replies, %llu indications, %llu packets in, "
           "%llu out, %llu AT commands\n",
           (unsigned long long)s.counters.qmiRequests, (unsigned long long)s.counters.qmiReplies,
           (unsigned long long)s.counters.qmiIndications, (unsigned long long)s.counters.dataIn,
           (unsigned long long)s.counters.dataOut, (unsigned long long)s.counters.atCommands);
    printf("debug log of the drivers: %s\n", debugLog.c_str());
    printf("frame trace of the module: %s\n", mo.tracePath.c_str());
    modem.Stop();
    return n.Summary();
}

KXSIM_SUBCOMMAND("run", "boot the simulated handheld end to end (the main job)", RunMain);

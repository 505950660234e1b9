// kxsim provision: the device manager's part for CarrierCfg. Loads the
// driver, calls APN_Init as the device manager does at boot, waits for the
// radio to register, reports what the driver applied (read back from the
// registry), then calls APN_Deinit and unloads the driver.

#include "kxsim.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

#include "kx_registry_test.h"
#include "provision_module.h"
#include "ril.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

typedef DWORD_PTR (*ApnInit)(LPCTSTR, LPCVOID);
typedef BOOL (*ApnDeinit)(DWORD_PTR);

struct Options {
    std::string registry;
    std::string deviceDir;
    int timeoutSeconds = 30;
    bool roaming = false;
    bool cycleRadio = true;
};

void Usage(FILE *out) {
    fprintf(out, "usage: kxsim provision [--registry FILE] [--device-dir DIR] [--timeout SECONDS]\n"
                 "                       [--roaming] [--keep-radio]\n"
                 "\n"
                 "Loads CarrierCfg.so as the device manager does at boot (APN_Init), switches the\n"
                 "radio off and on as it comes up at boot, waits for it to register, reports what\n"
                 "the driver applied, then unloads the driver.\n"
                 "\n"
                 "  --registry FILE     registry file (REGEDIT4) to load and save; created from\n"
                 "                      the shipped device/platform.reg when it does not exist\n"
                 "                      (default: $KX_REGISTRY, else kxsim-registry.reg in the\n"
                 "                      build folder)\n"
                 "  --device-dir DIR    use the running module whose ports are in DIR (default: a\n"
                 "                      module embedded in this process)\n"
                 "  --timeout SECONDS   how long to wait for the radio (default 30)\n"
                 "  --roaming           the embedded module registers as roaming, not at home\n"
                 "  --keep-radio        leave the radio alone and wait for a registration change\n"
                 "                      made elsewhere\n"
                 "\n"
                 "Exit status: 0 applied or current already; 3 nothing applied (no matching\n"
                 "profile, roaming, no registration); 1 failure; 2 usage.\n");
}

bool ParseOptions(const kxsim::Args &args, Options *o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "kxsim provision: %s needs a value\n", a.c_str());
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--registry") {
            if (!value(&o->registry))
                return false;
        } else if (a == "--device-dir") {
            if (!value(&o->deviceDir))
                return false;
        } else if (a == "--timeout") {
            if (!value(&v))
                return false;
            char *end = nullptr;
            long t = strtol(v.c_str(), &end, 10);
            if (*end || t <= 0 || t > 86400) {
                fprintf(stderr, "kxsim provision: bad --timeout '%s'\n", v.c_str());
                return false;
            }
            o->timeoutSeconds = int(t);
        } else if (a == "--roaming") {
            o->roaming = true;
        } else if (a == "--keep-radio") {
            o->cycleRadio = false;
        } else {
            fprintf(stderr, "kxsim provision: unknown option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The shipped defaults: in the device image, else in the source tree above
// the build folder.
std::string ShippedPlatformReg() {
    std::string candidate = kxsim::DeviceRoot() + "/platform.reg";
    if (Exists(candidate))
        return candidate;
    std::string dir = kxsim::BuildDirectory();
    for (int up = 0; up < 4; ++up) {
        if (Exists(dir + "/device/platform.reg"))
            return dir + "/device/platform.reg";
        dir += "/..";
    }
    return "";
}

bool CopyFile(const std::string &from, const std::string &to) {
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return bool(out);
}

std::string Narrow(const std::u16string &s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

// ---- what the radio and the driver say ---------------------------------------------

struct RadioWatch {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<DWORD> statuses;
    std::vector<std::pair<HRESULT, DWORD>> results; // command id, result code
};

void CALLBACK WatchNotify(DWORD code, const void *data, DWORD size, DWORD_PTR param) {
    if (code != RIL_NOTIFY_REGSTATUSCHANGED || size != sizeof(DWORD) || !data)
        return;
    RadioWatch *w = (RadioWatch *)param;
    DWORD status;
    memcpy(&status, data, sizeof(status));
    std::lock_guard<std::mutex> guard(w->lock);
    w->statuses.push_back(status);
    w->changed.notify_all();
}

void CALLBACK WatchResult(DWORD code, HRESULT id, const void *, DWORD, DWORD_PTR param) {
    RadioWatch *w = (RadioWatch *)param;
    std::lock_guard<std::mutex> guard(w->lock);
    w->results.push_back({id, code});
    w->changed.notify_all();
}

// Sends one AT command through the RIL's device-specific request and waits
// for its result.
bool AtCommand(HRIL ril, RadioWatch &watch, const char *command) {
    BYTE request[4 + 64] = {};
    DWORD requestCode = RIL_DEVSPECIFIC_ATCOMMAND;
    memcpy(request, &requestCode, 4);
    size_t length = strlen(command);
    memcpy(request + 4, command, length);
    HRESULT id = RIL_DevSpecific(ril, request, DWORD(4 + length));
    if (FAILED(id))
        return false;
    std::unique_lock<std::mutex> guard(watch.lock);
    auto answered = [&](DWORD *code) {
        for (const auto &r : watch.results) {
            if (r.first == id) {
                *code = r.second;
                return true;
            }
        }
        return false;
    };
    DWORD result = 0;
    if (!watch.changed.wait_for(guard, 40s, [&] { return answered(&result); }))
        return false;
    return result == RIL_RESULT_OK;
}

const char *StatusName(DWORD status) {
    switch (status) {
    case RIL_REGSTAT_HOME:
        return "registered on the home network";
    case RIL_REGSTAT_ROAMING:
        return "registered, roaming";
    case RIL_REGSTAT_UNREGISTERED:
        return "not registered";
    case RIL_REGSTAT_ATTEMPTING:
        return "searching";
    case RIL_REGSTAT_DENIED:
        return "registration denied";
    default:
        return "registration unknown";
    }
}

// The driver's debug output, read from the log file it is appended to.
struct DebugLog {
    std::string path;
    size_t offset = 0;
    std::vector<std::string> lines;

    // Reads what was appended; echoes each new message.
    void Poll() {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return;
        in.seekg(0, std::ios::end);
        size_t size = size_t(in.tellg());
        if (size <= offset)
            return;
        in.seekg(long(offset));
        std::string text(size - offset, '\0');
        in.read(&text[0], long(text.size()));
        size_t end = text.rfind('\n');
        if (end == std::string::npos)
            return; // a message still being written
        text.resize(end + 1);
        offset += text.size();
        std::istringstream s(text);
        std::string line;
        while (std::getline(s, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            if (line.empty())
                continue;
            printf("  driver: %s\n", line.c_str());
            lines.push_back(line);
        }
        fflush(stdout);
    }
    bool Has(const char *text) const {
        for (const auto &l : lines) {
            if (l.find(text) != std::string::npos)
                return true;
        }
        return false;
    }
};

// ---- reading back -------------------------------------------------------------------

bool ReadText(HKEY key, const char16_t *name, std::u16string *out) {
    char16_t buffer[300] = {};
    DWORD size = sizeof(buffer) - 2, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)buffer, &size) != ERROR_SUCCESS)
        return false;
    *out = std::u16string(buffer);
    return true;
}

void PrintKey(HKEY key, const std::string &indent) {
    for (DWORD i = 0;; ++i) {
        char16_t name[300] = {};
        DWORD cch = 300, type = 0;
        BYTE data[600] = {};
        DWORD size = sizeof(data) - 2;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        if (type == REG_DWORD && size == 4) {
            DWORD v;
            memcpy(&v, data, 4);
            printf("%s%s = %u\n", indent.c_str(), Narrow(name).c_str(), v);
        } else {
            printf("%s%s = \"%s\"\n", indent.c_str(), Narrow(name).c_str(),
                   Narrow((const char16_t *)data).c_str());
        }
    }
    for (DWORD i = 0;; ++i) {
        char16_t name[300] = {};
        DWORD cch = 300;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, 0, &sub) == ERROR_SUCCESS) {
            printf("%s[%s]\n", indent.c_str(), Narrow(name).c_str());
            PrintKey(sub, indent + "  ");
            RegCloseKey(sub);
        }
    }
}

std::u16string CurrentConfig() {
    HKEY root = nullptr;
    std::u16string current;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg", 0, 0, &root) == ERROR_SUCCESS) {
        ReadText(root, u"CurrentConfig", &current);
        RegCloseKey(root);
    }
    return current;
}

void ReportEntry(const std::u16string &entry) {
    std::u16string path = u"Comm\\ConnMgr\\GPRSEntries\\" + entry;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) {
        printf("  connection entry \"%s\": not in the registry\n", Narrow(entry).c_str());
        return;
    }
    printf("  connection entry HKLM\\Comm\\ConnMgr\\GPRSEntries\\%s:\n", Narrow(entry).c_str());
    PrintKey(key, "    ");
    RegCloseKey(key);
}

enum Outcome { kApplied, kCurrent, kNothing, kError };

// After a home registration: waits until the driver's attempt is over, as
// its messages tell, and says what it did.
Outcome AwaitAttempt(DebugLog &log, size_t firstLine, Clock::time_point deadline) {
    auto quietSince = Clock::now();
    size_t seen = log.lines.size();
    for (;;) {
        log.Poll();
        if (log.lines.size() != seen) {
            seen = log.lines.size();
            quietSince = Clock::now();
        }
        std::vector<std::string> attempt(log.lines.begin() + long(firstLine), log.lines.end());
        auto has = [&](const char *t) {
            for (const auto &l : attempt) {
                if (l.find(t) != std::string::npos)
                    return true;
            }
            return false;
        };
        if (has("Applied configuration"))
            return kApplied;
        if (has("rejected"))
            return kError;
        if (has("Couldn't find"))
            return kNothing;
        // "Found match" and then silence: the profile was current already,
        // or incomplete. A whole second of silence ends the attempt.
        if (Clock::now() - quietSince > 1000ms) {
            if (has("Found match"))
                return kCurrent;
            return kNothing; // no profiles key at all
        }
        if (Clock::now() > deadline)
            return kNothing;
        std::this_thread::sleep_for(20ms);
    }
}

int Provision(const Options &o) {
    // Registry file.
    std::string registry = o.registry;
    if (registry.empty()) {
        const char *env = getenv("KX_REGISTRY");
        registry = env && *env ? env : kxsim::BuildDirectory() + "/../kxsim-registry.reg";
    }
    if (!Exists(registry)) {
        std::string shipped = ShippedPlatformReg();
        if (shipped.empty() || !CopyFile(shipped, registry)) {
            fprintf(stderr, "kxsim provision: cannot create %s from the shipped platform.reg\n",
                    registry.c_str());
            return 1;
        }
        printf("registry: %s (new, from %s)\n", registry.c_str(), shipped.c_str());
    } else {
        printf("registry: %s\n", registry.c_str());
    }
    setenv("KX_REGISTRY", registry.c_str(), 1);
    // A registry file the platform refused (it said why) is left alone.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        return 1;

    // The driver's debug output goes to a log that is read back here.
    std::string ownLog;
    const char *logEnv = getenv("KX_DEBUG_LOG");
    DebugLog log;
    if (logEnv && *logEnv) {
        log.path = logEnv;
        std::ifstream in(log.path, std::ios::binary | std::ios::ate);
        log.offset = in ? size_t(in.tellg()) : 0;
    } else {
        ownLog = "/tmp/kxsim-provision-" + std::to_string(getpid()) + ".log";
        unlink(ownLog.c_str());
        log.path = ownLog;
        setenv("KX_DEBUG_LOG", ownLog.c_str(), 1);
    }

    // The module.
    EmbeddedModule *module = nullptr;
    if (!o.deviceDir.empty()) {
        setenv("KX_DEVICE_DIR", o.deviceDir.c_str(), 1);
        printf("module: running, ports in %s\n", o.deviceDir.c_str());
    } else {
        std::string error;
        module = StartEmbeddedModule(&error);
        if (!module) {
            fprintf(stderr, "kxsim provision: %s\n", error.c_str());
            return 1;
        }
        printf("module: embedded, ports in %s\n", getenv("KX_DEVICE_DIR"));
    }

    int rc = 1;
    RadioWatch watch;
    HRIL watchRil = nullptr;
    std::string library = kxsim::BuildDirectory() + "/CarrierCfg.so";
    void *driver = nullptr;
    do {
        if (FAILED(RIL_Initialize(1, WatchResult, WatchNotify, RIL_NCLASS_NETWORK,
                                  (DWORD_PTR)&watch, &watchRil))) {
            fprintf(stderr, "kxsim provision: the module's AT port is not there\n");
            break;
        }
        driver = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!driver) {
            fprintf(stderr, "kxsim provision: cannot load %s: %s\n", library.c_str(), dlerror());
            break;
        }
        ApnInit init = (ApnInit)dlsym(driver, "APN_Init");
        ApnDeinit deinit = (ApnDeinit)dlsym(driver, "APN_Deinit");
        if (!init || !deinit) {
            fprintf(stderr, "kxsim provision: %s lacks APN_Init or APN_Deinit\n", library.c_str());
            break;
        }
        std::u16string before = CurrentConfig();
        DWORD_PTR context = init(u"Drivers\\Active\\01", nullptr);
        printf("driver: APN_Init -> %lu\n", (unsigned long)context);
        fflush(stdout);
        // As at boot, the radio comes up after the drivers were loaded. The
        // pause lets the driver's RIL session ask for registration codes.
        if (module || o.cycleRadio)
            std::this_thread::sleep_for(300ms);
        if (module) {
            printf("radio: the embedded module registers\n");
            if (!RegisterEmbeddedModule(module, o.roaming)) {
                fprintf(stderr, "kxsim provision: the embedded module did not register\n");
                deinit(context);
                break;
            }
        } else if (o.cycleRadio) {
            // A running module registered long ago: switched off and on, it
            // registers anew.
            printf("radio: switched off and on (AT+CFUN=0, AT+CFUN=1)\n");
            fflush(stdout);
            if (!AtCommand(watchRil, watch, "AT+CFUN=0") ||
                !AtCommand(watchRil, watch, "AT+CFUN=1"))
                printf("radio: the module did not take the radio commands\n");
        }

        Outcome outcome = kNothing;
        bool sawHome = false, sawRoaming = false;
        auto deadline = Clock::now() + std::chrono::seconds(o.timeoutSeconds);
        while (!sawHome && Clock::now() < deadline) {
            DWORD status = 0;
            {
                std::unique_lock<std::mutex> guard(watch.lock);
                if (!watch.changed.wait_until(guard, deadline,
                                              [&] { return !watch.statuses.empty(); }))
                    break;
                status = watch.statuses.front();
                watch.statuses.pop_front();
            }
            printf("radio: %s\n", StatusName(status));
            fflush(stdout);
            size_t firstLine = log.lines.size();
            if (status == RIL_REGSTAT_HOME) {
                sawHome = true;
                outcome = AwaitAttempt(log, firstLine, deadline);
            } else if (status == RIL_REGSTAT_ROAMING) {
                sawRoaming = true;
                if (module || o.cycleRadio)
                    break; // registered anew just now, and roaming: that stays
            }
        }
        log.Poll();

        std::u16string after = CurrentConfig();
        switch (outcome) {
        case kApplied:
            printf("result: applied \"%s\" (CurrentConfig was \"%s\")\n", Narrow(after).c_str(),
                   Narrow(before).c_str());
            ReportEntry(after);
            rc = 0;
            break;
        case kCurrent:
            if (!after.empty()) {
                printf("result: \"%s\" is current already; nothing applied\n",
                       Narrow(after).c_str());
                rc = 0;
            } else {
                printf("result: the matching profile is incomplete; nothing applied\n");
                rc = 3;
            }
            break;
        case kError:
            printf("result: the configuration manager refused the document; nothing applied\n");
            rc = 1;
            break;
        case kNothing:
            if (sawHome)
                printf("result: no profile for this operator; nothing applied\n");
            else if (sawRoaming)
                printf("result: roaming; the driver provisions on the home network only, "
                       "nothing applied\n");
            else
                printf("result: no registration change within %d s; nothing applied\n",
                       o.timeoutSeconds);
            rc = 3;
            break;
        }
        deinit(context);
        printf("driver: APN_Deinit\n");
    } while (false);

    if (driver)
        dlclose(driver);
    if (watchRil)
        RIL_Deinitialize(watchRil);
    if (module)
        StopEmbeddedModule(module);
    if (!ownLog.empty())
        unlink(ownLog.c_str());
    // A change that did not reach the registry file is a failure.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        rc = 1;
    return rc;
}

int ProvisionMain(const kxsim::Args &args) {
    for (const auto &a : args) {
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        }
    }
    Options o;
    if (!ParseOptions(args, &o)) {
        Usage(stderr);
        return 2;
    }
    return Provision(o);
}

} // namespace

KXSIM_SUBCOMMAND("provision",
                 "load CarrierCfg as the device manager does and report what it applied",
                 ProvisionMain);

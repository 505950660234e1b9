// kxsim provision: the device manager's part for CarrierCfg. Loads the
// driver, calls APN_Init as the device manager does at boot, waits for the
// radio to register, reports what the driver did, then calls APN_Deinit and
// unloads the driver.
//
// What it reports comes from evidence, never from a pause: the RIL's test
// hook shows each callback of the driver's RIL instance as it returns (the
// registration it was told, whether it asked for the operator's name, and
// whether the operator's answer made it close its instance, which it does
// exactly when the configuration is settled); the driver's debug messages
// and the registry, read after the callback returned, say which way.

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
#include "kx_ril_test.h"
#include "kxnet/signals.h"
#include "provision_module.h"
#include "ril.h"
#include "wait_notice.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

typedef DWORD_PTR (*ApnInit)(LPCTSTR, LPCVOID);
typedef BOOL (*ApnDeinit)(DWORD_PTR);

// Exit statuses.
const int kExitSettled = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;
const int kExitNothingApplied = 3;

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
                 "the driver did, then unloads the driver.\n"
                 "\n"
                 "  --registry FILE     registry file (REGEDIT4) to load and save; created from\n"
                 "                      the shipped device/platform.reg when it does not exist\n"
                 "                      (default: $KX_REGISTRY, else kxsim-registry.reg in the\n"
                 "                      build folder)\n"
                 "  --device-dir DIR    use the running module whose ports are in DIR (default: a\n"
                 "                      module embedded in this process)\n"
                 "  --timeout SECONDS   how long to wait for a registration (default 30)\n"
                 "  --roaming           the embedded module registers as roaming, not at home\n"
                 "  --keep-radio        leave the radio alone and wait for a registration change\n"
                 "                      made elsewhere (a radio that is off is reported at once)\n"
                 "\n"
                 "The line \"driver: watching the radio\" tells that registration changes reach\n"
                 "the driver from then on. The result line says what the driver did: applied,\n"
                 "current already, or not applied and why.\n"
                 "\n"
                 "Exit status: 0 applied or current already (settled); 3 nothing applied (no\n"
                 "matching profile, an incomplete profile, roaming, radio off, no registration);\n"
                 "1 failure (the driver could not apply or watch); 2 usage; 128 + the signal\n"
                 "when stopped by SIGINT or SIGTERM.\n");
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

// ---- what the radio and the driver's RIL instance show ------------------------------

// Filled by the RIL's observer (on the RIL threads) and by this host's own
// RIL instance; read by the main thread. `lock` guards every field and is a
// leaf: nothing else is taken while it is held.
struct RadioWatch {
    std::mutex lock;
    std::condition_variable changed;
    bool capturing = false;                 // APN_Init runs: an instance opened now is the driver's
    HRIL driver = nullptr;                  // the driver's RIL instance
    bool watching = false;                  // registration changes reach the driver
    std::deque<kxtest::RilEvent> delivered; // the driver's callbacks, as they returned
    std::vector<std::pair<HRESULT, DWORD>> results; // this host's commands: id, result code
    DWORD radioSupport = RIL_RADIOSUPPORT_UNKNOWN;  // from this host's equipment-state query
    bool stopped = false;                           // SIGINT or SIGTERM
};

void ObserveRil(RadioWatch *w, const kxtest::RilEvent &e) {
    std::lock_guard<std::mutex> guard(w->lock);
    if (e.kind == kxtest::RilEvent::Opened) {
        if (w->capturing && !w->driver)
            w->driver = e.instance;
        return;
    }
    if (e.instance != w->driver || !w->driver)
        return;
    if (e.kind == kxtest::RilEvent::Watching)
        w->watching = true;
    else
        w->delivered.push_back(e);
    w->changed.notify_all();
}

void CALLBACK HostResult(DWORD code, HRESULT id, const void *data, DWORD size, DWORD_PTR param) {
    RadioWatch *w = (RadioWatch *)param;
    std::lock_guard<std::mutex> guard(w->lock);
    if (code == RIL_RESULT_OK && data && size == sizeof(RILEQUIPMENTSTATE)) {
        RILEQUIPMENTSTATE state;
        memcpy(&state, data, sizeof(state));
        w->radioSupport = state.dwRadioSupport;
    }
    w->results.push_back({id, code});
    w->changed.notify_all();
}

// Waits for the result of one of this host's RIL commands; false when it
// failed. The RIL ends every command within its own time limit.
bool AwaitHostResult(RadioWatch &watch, HRESULT id) {
    if (FAILED(id))
        return false;
    std::unique_lock<std::mutex> guard(watch.lock);
    DWORD result = 0;
    watch.changed.wait(guard, [&] {
        for (const auto &r : watch.results) {
            if (r.first == id) {
                result = r.second;
                return true;
            }
        }
        return watch.stopped;
    });
    return result == RIL_RESULT_OK;
}

// Sends one AT command through the RIL's device-specific request.
bool AtCommand(HRIL ril, RadioWatch &watch, const char *command) {
    BYTE request[4 + 64] = {};
    DWORD requestCode = RIL_DEVSPECIFIC_ATCOMMAND;
    memcpy(request, &requestCode, 4);
    size_t length = strlen(command);
    memcpy(request + 4, command, length);
    return AwaitHostResult(watch, RIL_DevSpecific(ril, request, DWORD(4 + length)));
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
    // The first message from line `first` on that holds text, "" if none.
    std::string Find(size_t first, const char *text) const {
        for (size_t i = first; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos)
                return lines[i];
        }
        return "";
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

bool ProfilesKeyExists() {
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg", 0, 0, &root) != ERROR_SUCCESS)
        return false;
    RegCloseKey(root);
    return true;
}

// CurrentConfig as the registry holds it: its text, or what else it is.
struct CurrentConfigValue {
    bool present = false;
    bool text = false;
    std::u16string name;
    std::string Describe() const {
        if (!present)
            return "none";
        if (!text)
            return "a value that is not text";
        return "\"" + Narrow(name) + "\"";
    }
};

CurrentConfigValue ReadCurrentConfig() {
    CurrentConfigValue v;
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg", 0, 0, &root) != ERROR_SUCCESS)
        return v;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(root, u"CurrentConfig", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        v.present = true;
        v.text = type == REG_SZ;
        if (v.text)
            ReadText(root, u"CurrentConfig", &v.name);
    }
    RegCloseKey(root);
    return v;
}

// The name the configuration manager gives the entry of a ConfigName: the
// document's XML parser reads a line end (CR LF, or CR alone), a line feed
// and a tab in an attribute value as one space each.
std::u16string EntryNameOf(const std::u16string &configName) {
    std::u16string name;
    for (size_t i = 0; i < configName.size(); ++i) {
        char16_t c = configName[i];
        if (c == u'\r' && i + 1 < configName.size() && configName[i + 1] == u'\n')
            ++i;
        name += (c == u'\r' || c == u'\n' || c == u'\t') ? u' ' : c;
    }
    return name;
}

// Prints the connection entry; false when the registry has none by that name.
bool ReportEntry(const std::u16string &configName) {
    std::u16string entry = EntryNameOf(configName);
    std::u16string path = u"Comm\\ConnMgr\\GPRSEntries\\" + entry;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) {
        printf("  connection entry \"%s\": not in the registry\n", Narrow(entry).c_str());
        return false;
    }
    printf("  connection entry HKLM\\Comm\\ConnMgr\\GPRSEntries\\%s:\n", Narrow(entry).c_str());
    PrintKey(key, "    ");
    RegCloseKey(key);
    return true;
}

// ---- the driver's attempt -----------------------------------------------------------

// How the wait for the driver ended.
enum class Ending {
    Settled,        // the operator's answer made the driver close its RIL instance
    NotSettled,     // the operator's answer ran the matcher, which did not settle
    NoOperator,     // the driver asked for the operator and got no name
    Roaming,        // told roaming: the driver provisions at home only
    Denied,         // told the registration was denied
    RadioOff,       // the radio is off and left alone: no registration can come
    NoRegistration, // no final registration within the time allowed
    Interrupted,    // SIGINT or SIGTERM
};

// Waits for the driver's callbacks after the radio was brought up; prints
// the registrations it was told. *attemptLine is the first debug message of
// the last attempt.
Ending AwaitDriver(RadioWatch &watch, DebugLog &log, Clock::time_point deadline,
                   size_t *attemptLine) {
    // The driver asked for the operator: its attempt ends with the answer,
    // which the RIL delivers within its own limit. Neither a stop nor the
    // time allowed for a registration cuts an attempt short, so what is
    // reported is what the driver did.
    bool attempting = false;
    for (;;) {
        kxtest::RilEvent e;
        {
            std::unique_lock<std::mutex> guard(watch.lock);
            auto ready = [&] { return !watch.delivered.empty() || (watch.stopped && !attempting); };
            if (attempting)
                watch.changed.wait(guard, ready);
            else if (!watch.changed.wait_until(guard, deadline, ready))
                return Ending::NoRegistration;
            if (watch.delivered.empty())
                return Ending::Interrupted;
            e = watch.delivered.front();
            watch.delivered.pop_front();
        }
        // The driver writes only while it handles an operator's answer, which
        // comes after the home registration that asked for it.
        size_t seenBefore = log.lines.size();
        if (e.notification) {
            if (e.code != RIL_NOTIFY_REGSTATUSCHANGED)
                continue;
            printf("radio: %s\n", StatusName(e.status));
            if (e.status == RIL_REGSTAT_HOME) {
                *attemptLine = seenBefore;
                attempting = e.commandsQueued > 0;
                printf("driver: %s\n", e.commandsQueued ? "asked for the operator's name"
                                                        : "did not ask for the operator's name");
            }
            log.Poll();
            if (e.status == RIL_REGSTAT_ROAMING)
                return Ending::Roaming;
            if (e.status == RIL_REGSTAT_DENIED)
                return Ending::Denied;
            fflush(stdout);
            continue;
        }
        // A command result: the driver asks for nothing but the operator.
        log.Poll();
        if (e.code != RIL_RESULT_OK || e.size != sizeof(RILOPERATORNAMES))
            return Ending::NoOperator;
        return e.closed ? Ending::Settled : Ending::NotSettled;
    }
}

// The result line and exit status for what the driver did.
int ReportEnding(Ending ending, const DebugLog &log, size_t attemptLine,
                 const CurrentConfigValue &before, int timeoutSeconds) {
    switch (ending) {
    case Ending::Settled: {
        CurrentConfigValue after = ReadCurrentConfig();
        if (log.Find(attemptLine, "Applied configuration").empty()) {
            printf("result: %s is current already; nothing applied\n", after.Describe().c_str());
            return kExitSettled;
        }
        printf("result: applied %s (CurrentConfig was %s)\n", after.Describe().c_str(),
               before.Describe().c_str());
        if (!after.text || !ReportEntry(after.name)) {
            printf("result: but the registry holds no connection entry by that name\n");
            return kExitFailure;
        }
        return kExitSettled;
    }
    case Ending::NotSettled: {
        if (before.present && !before.text)
            printf("registry: CurrentConfig is not text\n");
        if (!log.Find(attemptLine, "rejected").empty()) {
            printf("result: the configuration manager refused the document; nothing applied\n");
            return kExitFailure;
        }
        if (!log.Find(attemptLine, "cannot carry").empty()) {
            printf("result: the matching profile%s holds text a provisioning document cannot "
                   "carry; nothing applied\n",
                   before.present && !before.text ? " or CurrentConfig (not text)" : "");
            return kExitFailure;
        }
        if (!log.Find(attemptLine, "Couldn't find").empty()) {
            printf("result: no profile for this operator; nothing applied\n");
            return kExitNothingApplied;
        }
        if (!log.Find(attemptLine, "Found match").empty()) {
            printf("result: the matching profile is incomplete (a value is missing or too "
                   "long); nothing applied\n");
            return kExitNothingApplied;
        }
        if (!ProfilesKeyExists()) {
            printf("result: the registry has no \\Comm\\CarrierCfg key; nothing applied\n");
            return kExitNothingApplied;
        }
        printf("result: the driver did not settle and said nothing; nothing applied\n");
        return kExitFailure;
    }
    case Ending::NoOperator:
        printf("result: the module named no operator; nothing applied (the driver tries again "
               "at the next home registration)\n");
        return kExitNothingApplied;
    case Ending::Roaming:
        printf("result: roaming; the driver provisions on the home network only, nothing "
               "applied\n");
        return kExitNothingApplied;
    case Ending::Denied:
        printf("result: registration denied; nothing applied\n");
        return kExitNothingApplied;
    case Ending::RadioOff:
        printf("result: the radio is off; no registration can reach the driver, nothing "
               "applied\n");
        return kExitNothingApplied;
    case Ending::NoRegistration:
        printf("result: no registration within %d s; nothing applied\n", timeoutSeconds);
        return kExitNothingApplied;
    case Ending::Interrupted:
        printf("result: stopped by a signal while the driver waited for a registration; nothing "
               "applied\n");
        return kExitFailure;
    }
    return kExitFailure;
}

// ---- set-up --------------------------------------------------------------------------

// The registry file, created from the shipped defaults when missing; "" on
// failure.
std::string PrepareRegistry(const Options &o) {
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
            return "";
        }
        printf("registry: %s (new, from %s)\n", registry.c_str(), shipped.c_str());
    } else {
        printf("registry: %s\n", registry.c_str());
    }
    setenv("KX_REGISTRY", registry.c_str(), 1);
    // A registry file the platform refused (it said why) is left alone.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        return "";
    return registry;
}

// The driver's debug output goes to a log that is read back here: the
// KX_DEBUG_LOG file if one is set, else a file of our own (*ownLog).
DebugLog OpenDebugLog(std::string *ownLog) {
    DebugLog log;
    const char *logEnv = getenv("KX_DEBUG_LOG");
    if (logEnv && *logEnv) {
        log.path = logEnv;
        std::ifstream in(log.path, std::ios::binary | std::ios::ate);
        log.offset = in ? size_t(in.tellg()) : 0;
    } else {
        *ownLog = "/tmp/kxsim-provision-" + std::to_string(getpid()) + ".log";
        unlink(ownLog->c_str());
        log.path = *ownLog;
        setenv("KX_DEBUG_LOG", ownLog->c_str(), 1);
    }
    return log;
}

// Waits until registration changes reach the driver's RIL instance. False
// when the driver holds none (it stays inert) or its watch never came.
bool AwaitDriverWatching(RadioWatch &watch) {
    std::unique_lock<std::mutex> guard(watch.lock);
    if (!watch.driver) {
        printf("result: the driver holds no RIL instance (RIL_Initialize failed); it stays "
               "inert\n");
        return false;
    }
    // The RIL ends its registration request within its own limit; this one
    // only guards against a RIL that never answers.
    if (!watch.changed.wait_for(guard, 60s, [&] { return watch.watching || watch.stopped; })) {
        printf("result: the driver's RIL instance never took registration changes\n");
        return false;
    }
    return watch.watching;
}

// Brings the radio to a registration as the options say. False with the
// ending when none can come.
bool BringUpRadio(const Options &o, EmbeddedModule *module, HRIL hostRil, RadioWatch &watch,
                  Ending *ending) {
    if (module) {
        printf("radio: the embedded module registers\n");
        if (!RegisterEmbeddedModule(module, o.roaming)) {
            fprintf(stderr, "kxsim provision: the embedded module did not register\n");
            *ending = Ending::NoRegistration;
            return false;
        }
    } else if (o.cycleRadio) {
        // A running module registered long ago: switched off and on, it
        // registers anew.
        printf("radio: switched off and on (AT+CFUN=0, AT+CFUN=1)\n");
        fflush(stdout);
        if (!AtCommand(hostRil, watch, "AT+CFUN=0") || !AtCommand(hostRil, watch, "AT+CFUN=1"))
            printf("radio: the module did not take the radio commands\n");
    } else if (AwaitHostResult(watch, RIL_GetEquipmentState(hostRil))) {
        std::lock_guard<std::mutex> guard(watch.lock);
        if (watch.radioSupport == RIL_RADIOSUPPORT_OFF) {
            printf("radio: off (left alone)\n");
            *ending = Ending::RadioOff;
            return false;
        }
    }
    fflush(stdout);
    return true;
}

int Provision(const Options &o) {
    RadioWatch watch;
    // Before any thread: a stop signal then reaches the watcher thread only.
    kxnet::StopSignals stop([&](int) {
        std::lock_guard<std::mutex> guard(watch.lock);
        watch.stopped = true;
        watch.changed.notify_all();
    });
    if (PrepareRegistry(o).empty())
        return kExitFailure;
    std::string ownLog;
    DebugLog log = OpenDebugLog(&ownLog);

    EmbeddedModule *module = nullptr;
    if (!o.deviceDir.empty()) {
        setenv("KX_DEVICE_DIR", o.deviceDir.c_str(), 1);
        printf("module: running, ports in %s\n", o.deviceDir.c_str());
    } else {
        std::string error;
        module = StartEmbeddedModule(&error);
        if (!module) {
            fprintf(stderr, "kxsim provision: %s\n", error.c_str());
            return kExitFailure;
        }
        printf("module: embedded, ports in %s\n", getenv("KX_DEVICE_DIR"));
    }

    kxtest::SetRilObserver([&watch](const kxtest::RilEvent &e) { ObserveRil(&watch, e); });
    int rc = kExitFailure;
    HRIL hostRil = nullptr;
    std::string library = kxsim::BuildDirectory() + "/CarrierCfg.so";
    void *driver = nullptr;
    do {
        // This host's own instance, for the radio commands; it watches nothing.
        if (FAILED(RIL_Initialize(1, HostResult, nullptr, 0, (DWORD_PTR)&watch, &hostRil))) {
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
        CurrentConfigValue before = ReadCurrentConfig();
        {
            std::lock_guard<std::mutex> guard(watch.lock);
            watch.capturing = true;
        }
        DWORD_PTR context = init(u"Drivers\\Active\\01", nullptr);
        {
            std::lock_guard<std::mutex> guard(watch.lock);
            watch.capturing = false;
        }
        printf("driver: APN_Init -> %lu\n", (unsigned long)context);
        fflush(stdout);

        Ending ending = Ending::NoRegistration;
        size_t attemptLine = log.lines.size();
        if (!AwaitDriverWatching(watch)) {
            rc = watch.stopped
                     ? ReportEnding(Ending::Interrupted, log, attemptLine, before, o.timeoutSeconds)
                     : kExitFailure;
        } else {
            printf("driver: watching the radio (registration changes reach it)\n");
            fflush(stdout);
            if (BringUpRadio(o, module, hostRil, watch, &ending)) {
                kxsim::WaitNotice notice("a registration to reach the driver",
                                         unsigned(o.timeoutSeconds) * 1000u);
                ending =
                    AwaitDriver(watch, log, Clock::now() + std::chrono::seconds(o.timeoutSeconds),
                                &attemptLine);
            }
            log.Poll();
            rc = ReportEnding(ending, log, attemptLine, before, o.timeoutSeconds);
        }
        deinit(context);
        printf("driver: APN_Deinit\n");
    } while (false);

    if (driver)
        dlclose(driver);
    if (hostRil)
        RIL_Deinitialize(hostRil);
    kxtest::SetRilObserver(nullptr);
    if (module)
        StopEmbeddedModule(module);
    if (!ownLog.empty())
        unlink(ownLog.c_str());
    fflush(stdout);
    if (stop.stopped())
        return 128 + stop.signal();
    // A change that did not reach the registry file is a failure, whatever
    // the result line above said of the driver.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS) {
        printf("result: the registry file did not keep the change (see the message above)\n");
        rc = kExitFailure;
    }
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
        return kExitUsage;
    }
    return Provision(o);
}

} // namespace

KXSIM_SUBCOMMAND("provision", "load CarrierCfg as the device manager does and report what it did",
                 ProvisionMain);

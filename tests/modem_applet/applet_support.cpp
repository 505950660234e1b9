#include "applet_support.h"

#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include <regext.h>

namespace fs = std::filesystem;

namespace applet_test {

std::string Utf8(const WCHAR *text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? char(*text) : '?';
    return out;
}

std::string BinDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    return fs::path(path).parent_path().string();
}

// ---- the scripted RIL -------------------------------------------------------------------

namespace {

struct FakeInstance {
    RILRESULTCALLBACK result = nullptr;
    DWORD_PTR param = 0;
    std::mutex lock;
    std::condition_variable cancelled;
    bool cancel = false;
    std::thread answer;
};

std::mutex rilLock; // guards everything below
const RilScript *activeScript = nullptr;
std::vector<std::string> requests;
std::vector<DWORD> classes, ports;
int initializations = 0, deinitializations = 0;
HRESULT nextCommandId = 1;

} // namespace

ScriptedRil::ScriptedRil(const RilScript &script) {
    std::lock_guard<std::mutex> guard(rilLock);
    static RilScript copy;
    copy = script;
    activeScript = &copy;
    requests.clear();
    classes.clear();
    ports.clear();
    initializations = deinitializations = 0;
}

ScriptedRil::~ScriptedRil() {
    std::lock_guard<std::mutex> guard(rilLock);
    activeScript = nullptr;
}

std::vector<std::string> ScriptedRil::Requests() const {
    std::lock_guard<std::mutex> guard(rilLock);
    return requests;
}
int ScriptedRil::Initializations() const {
    std::lock_guard<std::mutex> guard(rilLock);
    return initializations;
}
int ScriptedRil::Deinitializations() const {
    std::lock_guard<std::mutex> guard(rilLock);
    return deinitializations;
}
std::vector<DWORD> ScriptedRil::NotificationClasses() const {
    std::lock_guard<std::mutex> guard(rilLock);
    return classes;
}
std::vector<DWORD> ScriptedRil::PortIndexes() const {
    std::lock_guard<std::mutex> guard(rilLock);
    return ports;
}

} // namespace applet_test

using applet_test::FakeInstance;

// The ril library's own function of that name (the applet loads the library;
// this program's definitions come first in the lookup).
template <class F>
static F Next(const char *name) {
    static void *ril = dlopen((applet_test::BinDir() + "/libril.so").c_str(), RTLD_NOW);
    return reinterpret_cast<F>(ril ? dlsym(ril, name) : nullptr);
}

extern "C" HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult,
                                  RILNOTIFYCALLBACK pfnNotify, DWORD dwNotificationClasses,
                                  DWORD_PTR dwParam, HRIL *lphRil) {
    {
        std::lock_guard<std::mutex> guard(applet_test::rilLock);
        if (applet_test::activeScript) {
            ++applet_test::initializations;
            applet_test::classes.push_back(dwNotificationClasses);
            applet_test::ports.push_back(dwIndex);
            if (applet_test::activeScript->initializeResult != S_OK)
                return applet_test::activeScript->initializeResult;
            auto *inst = new FakeInstance;
            inst->result = pfnResult;
            inst->param = dwParam;
            *lphRil = inst;
            return S_OK;
        }
    }
    return Next<decltype(&RIL_Initialize)>("RIL_Initialize")(
        dwIndex, pfnResult, pfnNotify, dwNotificationClasses, dwParam, lphRil);
}

extern "C" HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize) {
    applet_test::RilScript script;
    HRESULT id;
    {
        std::lock_guard<std::mutex> guard(applet_test::rilLock);
        if (!applet_test::activeScript)
            return Next<decltype(&RIL_DevSpecific)>("RIL_DevSpecific")(hRil, lpbParams, dwSize);
        applet_test::requests.emplace_back(reinterpret_cast<const char *>(lpbParams), dwSize);
        script = *applet_test::activeScript;
        id = applet_test::nextCommandId++;
    }
    if (!script.answers)
        return id;
    auto *inst = static_cast<FakeInstance *>(hRil);
    // The answer comes on a thread of the RIL, after the delay, unless the
    // instance is ended first.
    inst->answer = std::thread([inst, script, id] {
        std::unique_lock<std::mutex> lock(inst->lock);
        if (inst->cancelled.wait_for(lock, std::chrono::milliseconds(script.delayMilliseconds),
                                     [inst] { return inst->cancel; }))
            return;
        lock.unlock();
        inst->result(script.resultCode, id, script.nullData ? nullptr : script.data.data(),
                     DWORD(script.data.size()), inst->param);
    });
    return id;
}

extern "C" HRESULT RIL_Deinitialize(HRIL hRil) {
    {
        std::lock_guard<std::mutex> guard(applet_test::rilLock);
        if (!applet_test::activeScript)
            return Next<decltype(&RIL_Deinitialize)>("RIL_Deinitialize")(hRil);
        ++applet_test::deinitializations;
    }
    auto *inst = static_cast<FakeInstance *>(hRil);
    {
        std::lock_guard<std::mutex> guard(inst->lock);
        inst->cancel = true;
    }
    inst->cancelled.notify_all();
    if (inst->answer.joinable())
        inst->answer.join(); // no callback of the instance after this returns
    delete inst;
    return S_OK;
}

namespace applet_test {

// ---- the module's AT port ----------------------------------------------------------------

AtModule::AtModule() {
    char tmpl[] = "/tmp/kxapplet-at-XXXXXX";
    dir_ = mkdtemp(tmpl);
    const char *old = getenv("KX_DEVICE_DIR");
    saved_ = old ? old : "";
    setenv("KX_DEVICE_DIR", dir_.c_str(), 1);
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s/KXA1", dir_.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    thread_ = std::thread([this] { Serve(); });
}

AtModule::~AtModule() {
    stop_ = true;
    thread_.join();
    for (auto &t : sessions_)
        t.join();
    close(listener_);
    setenv("KX_DEVICE_DIR", saved_.c_str(), 1);
    fs::remove_all(dir_);
}

void AtModule::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(lock_);
    responder_ = std::move(responder);
}

void AtModule::SetFunctionality(int level) {
    std::lock_guard<std::mutex> guard(lock_);
    level_ = level;
}

std::vector<std::string> AtModule::Commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

void AtModule::Serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            sessions_.emplace_back([this, fd] { Session(fd); });
    }
}

void AtModule::Session(int fd) {
    std::string pending;
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        char buffer[2048];
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        pending.append(buffer, size_t(n));
        size_t cr;
        while ((cr = pending.find('\r')) != std::string::npos) {
            std::string command = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            if (!pending.empty() && pending[0] == '\n')
                pending.erase(0, 1);
            std::vector<std::string> answer;
            {
                std::lock_guard<std::mutex> guard(lock_);
                commands_.push_back(command);
                if (responder_) {
                    answer = responder_(command);
                } else if (command == "AT+CFUN?") {
                    answer = {"\r\n+CFUN: " + std::to_string(level_) + "\r\n\r\nOK\r\n"};
                } else if (command == "ATI1") {
                    answer = {"\r\nManufacturer: KX Wireless\r\nModel: KXA-7\r\n"
                              "Revision: 2.41\r\nIMEI: 356938035643809\r\n\r\nOK\r\n"};
                } else {
                    answer = {"\r\nOK\r\n"};
                }
            }
            for (const std::string &m : answer)
                send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        }
    }
    close(fd);
}

// ---- the device root ------------------------------------------------------------------------

DeviceRoot::DeviceRoot() {
    char tmpl[] = "/tmp/kxapplet-root-XXXXXX";
    root_ = mkdtemp(tmpl);
    fs::create_directories(root_ + "/windows");
    const char *old = getenv("KX_DEVICE_ROOT");
    saved_ = old ? old : "";
    setenv("KX_DEVICE_ROOT", root_.c_str(), 1);
}

DeviceRoot::~DeviceRoot() {
    setenv("KX_DEVICE_ROOT", saved_.c_str(), 1);
    fs::remove_all(root_);
}

void DeviceRoot::Add(const std::string &name) {
    std::string source = name == "KxCmdApi.dll" ? std::string(KX_APPLET_FIXTURES) + "/KxCmdApi.dll"
                                                : std::string(KX_DEVICE_IMAGE) + "/windows/" + name;
    fs::copy_file(source, root_ + "/windows/" + name, fs::copy_options::overwrite_existing);
}

void DeviceRoot::AddAs(const std::string &fixture, const std::string &name) {
    fs::copy_file(std::string(KX_APPLET_FIXTURES) + "/" + fixture, root_ + "/windows/" + name,
                  fs::copy_options::overwrite_existing);
}

void DeviceRoot::AddAllDrivers() {
    for (const char *name : {"radioif.dll", "radiohw.dll", "KxUsbDrv.dll", "KxCmdApi.dll",
                             "mbnlink.dll", "chanmux.dll"})
        Add(name);
}

// ---- the applet ------------------------------------------------------------------------------

Applet::Applet() {
    library_ = dlopen((BinDir() + "/ModemAbout.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library_, nullptr) << dlerror();
    if (library_)
        entry_ = reinterpret_cast<decltype(entry_)>(dlsym(library_, "CPlApplet"));
    host_ = CreateWindowExW(0, u"#32770", u"Settings", WS_VISIBLE, 0, 0, 480, 640, nullptr, nullptr,
                            nullptr, nullptr);
}

Applet::~Applet() {
    if (library_)
        dlclose(library_);
    DestroyWindow(host_);
}

LONG Applet::Send(UINT message, LPARAM lParam1, LPARAM lParam2) {
    return entry_ ? entry_(host_, message, lParam1, lParam2) : -1;
}

std::vector<std::string> PageLines(const std::string &dump) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        if (end == std::string::npos)
            end = dump.size();
        std::string line = dump.substr(pos, end - pos);
        if (line.rfind("SHEET ", 0) != 0)
            lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

// ---- the registry ------------------------------------------------------------------------------

void SetHacMode(DWORD value) {
    EXPECT_TRUE(SUCCEEDED(
        RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"HACMode", value)));
}

void DeleteHacMode() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", 0, 0, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, u"HACMode");
        RegCloseKey(key);
    }
}

bool ReadHacMode(DWORD &value) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", 0, 0, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof(value);
    LONG r =
        RegQueryValueExW(key, u"HACMode", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD);
}

} // namespace applet_test

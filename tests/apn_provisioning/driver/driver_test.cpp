// CarrierCfg.so loaded as the device manager loads it, with the real RIL on
// a scripted AT port and the real configuration manager.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <unistd.h>

#include "at_peer.h"

#include <windows.h>

#include "kx_platform_test.h"
#include "kx_registry_test.h"

namespace {

using namespace std::chrono_literals;

typedef DWORD_PTR (*InitFn)(LPCTSTR, LPCVOID);
typedef BOOL (*DeinitFn)(DWORD_PTR);

std::string BinDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

// The module: registration codes on demand, the operator's name on AT+COPS?.
struct Module {
    std::mutex lock;
    std::string operatorName = "KxTel Mobile";
    std::vector<std::string> Answer(const std::string &command) {
        std::lock_guard<std::mutex> guard(lock);
        if (command == "AT+COPS?")
            return {"\r\n+COPS: 0,0,\"" + operatorName + "\",2\r\n\r\nOK\r\n"};
        return {"\r\nOK\r\n"};
    }
};

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        regFile_ = peer_.Directory() + "/registry.reg";
        setenv("KX_REGISTRY", regFile_.c_str(), 1);
        kxtest::ReloadRegistry();
        peer_.SetResponder([this](const std::string &c) { return module_.Answer(c); });
        peer_.Listen();
    }
    void TearDown() override {
        if (library_)
            Unload();
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
    }
    void Load() {
        library_ = dlopen((BinDirectory() + "/CarrierCfg.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, library_) << dlerror();
        init_ = (InitFn)dlsym(library_, "APN_Init");
        deinit_ = (DeinitFn)dlsym(library_, "APN_Deinit");
        ASSERT_TRUE(init_ && deinit_);
        context_ = init_(u"Drivers\\Active\\17", nullptr);
        EXPECT_EQ(1u, context_);
        ASSERT_TRUE(peer_.WaitForCommands(1)); // AT+CREG=1
    }
    void Unload() {
        EXPECT_TRUE(deinit_(context_));
        dlclose(library_);
        library_ = nullptr;
    }
    void Profile(const std::u16string &subkey, const std::u16string &configName,
                 const std::u16string &apn) {
        HKEY key = nullptr;
        std::u16string path = u"Comm\\CarrierCfg\\" + subkey;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0,
                                                 nullptr, &key, nullptr));
        auto text = [&](const char16_t *name, const std::u16string &v) {
            RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)v.c_str(),
                           DWORD((v.size() + 1) * 2));
        };
        auto number = [&](const char16_t *name, DWORD v) {
            RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, 4);
        };
        text(u"ConfigName", configName);
        text(u"Username", u"kxuser");
        text(u"Password", u"kxpass");
        text(u"Domain", u"");
        number(u"AlwaysOn", 1);
        number(u"BearerInfoValid", 1);
        number(u"GPRSInfoValid", 1);
        number(u"GPRSInfoProtocolType", 2);
        number(u"GPRSInfoL2ProtocolType", 1);
        text(u"GPRSInfoAccessPointName", apn);
        text(u"GPRSInfoAddress", u"");
        number(u"GPRSInfoDataCompression", 1);
        number(u"GPRSInfoHeaderCompression", 1);
        text(u"GPRSInfoParameters", u"");
        RegCloseKey(key);
    }
    // Waits until the debug output holds `text`.
    bool WaitForMessage(const std::string &text, std::chrono::milliseconds limit = 5000ms) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (debug_.Text().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    std::string RegistryFile() {
        std::ifstream in(regFile_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int CopsQueries() {
        int n = 0;
        for (const auto &c : peer_.Commands())
            n += c == "AT+COPS?";
        return n;
    }

    kxtest::AtPeer peer_;
    Module module_;
    kxtest::DebugCapture debug_;
    std::string regFile_;
    void *library_ = nullptr;
    InitFn init_ = nullptr;
    DeinitFn deinit_ = nullptr;
    DWORD_PTR context_ = 0;
};

TEST_F(DriverTest, HomeRegistrationProvisionsAndSettles) {
    Profile(u"Other", u"Other Net", u"other");
    Profile(u"KxTel", u"KxTel \"Web\" & <Co>", u"kxtel.internet");
    Load();
    // Already registered at load: nothing is asked until the status changes.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0, CopsQueries());
    peer_.Send("\r\n+CREG: 5\r\n"); // roaming: nothing
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0, CopsQueries());

    peer_.Send("\r\n+CREG: 1\r\n");
    ASSERT_TRUE(WaitForMessage("CarrierCfg: Applied configuration for KxTel Mobile \r\n"));
    // The escaped document was accepted by the real parser and applied.
    HKEY key = nullptr;
    ASSERT_EQ(
        ERROR_SUCCESS,
        RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      u"Comm\\ConnMgr\\GPRSEntries\\KxTel \"Web\" & <Co>\\DevSpecificCellular", 0,
                      0, &key));
    char16_t apn[32] = {};
    DWORD size = sizeof(apn);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"GPRSInfoAccessPointName", nullptr, nullptr,
                                              (BYTE *)apn, &size));
    EXPECT_EQ(std::u16string(u"kxtel.internet"), apn);
    RegCloseKey(key);
    // CurrentConfig reached the registry file.
    EXPECT_NE(std::string::npos,
              RegistryFile().find("\"CurrentConfig\"=\"KxTel \\\"Web\\\" & <Co>\""));
    // Settled: the RIL session is closed and further changes do nothing.
    for (int i = 0; i < 500 && peer_.Sessions() > 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(0, peer_.Sessions());
    Unload();
}

TEST_F(DriverTest, RejectedDocumentKeepsWatchingAndRetries) {
    Profile(u"KxTel", u"", u"kxtel.internet"); // an entry without a name is refused
    Load();
    peer_.Send("\r\n+CREG: 1\r\n");
    ASSERT_TRUE(WaitForMessage("CarrierCfg: Configuration for KxTel Mobile rejected"));
    EXPECT_EQ(std::string::npos, debug_.Text().find("Applied"));
    EXPECT_EQ(std::string::npos, RegistryFile().find("CurrentConfig"));
    EXPECT_EQ(1, peer_.Sessions()); // still watching

    Profile(u"KxTel", u"KxTel", u"kxtel.internet");
    peer_.Send("\r\n+CREG: 0\r\n\r\n+CREG: 1\r\n");
    ASSERT_TRUE(WaitForMessage("CarrierCfg: Applied configuration for KxTel Mobile \r\n"));
    Unload();
}

TEST_F(DriverTest, UnloadWhileWatching) {
    Profile(u"KxTel", u"KxTel", u"kxtel.internet");
    Load();
    Unload();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(0, peer_.Sessions());
    EXPECT_EQ(std::string::npos, RegistryFile().find("CurrentConfig"));
}

} // namespace

// CarrierCfg under the deterministic scheduler: the settling of the
// provisioning on the RIL thread against the device manager's APN_Deinit
// and a second registration notice.
#include "scheduled_ril.h"

#include <kx_explore_gtest.h>
#include <kx_platform_test.h>
#include <kx_registry_test.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <cfgmgrapi.h>
#include <ril.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" BOOL WINAPI DllMain(HANDLE hInstance, DWORD dwReason, LPVOID lpReserved);
extern "C" DWORD_PTR APN_Init(LPCTSTR pContext, LPCVOID lpvBusContext);
extern "C" BOOL APN_Deinit(DWORD_PTR hDeviceContext);

namespace {

// The configuration manager: records what it is handed.
struct ConfigManager {
    int documents = 0;
    int afterDeinit = 0; // documents handed over once APN_Deinit had returned
    bool deinitReturned = false;
    HRESULT answer = S_OK;
} configManager; // used by the schedule's threads one at a time

const char16_t *Root = u"Comm\\CarrierCfg";

void SetText(HKEY key, const char16_t *name, const std::u16string &text) {
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text.c_str(), DWORD((text.size() + 1) * 2));
}

void SetNumber(HKEY key, const char16_t *name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, 4);
}

// One complete profile, for operators whose name begins "KxTel".
void WriteProfile() {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg\\KxTel", 0, nullptr, 0, 0, nullptr, &key,
                    nullptr);
    SetText(key, u"ConfigName", u"KxTel GPRS");
    for (const char16_t *name :
         {u"Username", u"Password", u"Domain", u"GPRSInfoAddress", u"GPRSInfoParameters"})
        SetText(key, name, u"");
    SetText(key, u"GPRSInfoAccessPointName", u"kxtel.internet");
    for (const char16_t *name :
         {u"AlwaysOn", u"BearerInfoValid", u"GPRSInfoValid", u"GPRSInfoProtocolType",
          u"GPRSInfoL2ProtocolType", u"GPRSInfoDataCompression", u"GPRSInfoHeaderCompression"})
        SetNumber(key, name, 1);
    RegCloseKey(key);
}

std::u16string CurrentConfig() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Root, 0, 0, &key) != ERROR_SUCCESS)
        return u"";
    char16_t buffer[64] = {};
    DWORD size = sizeof buffer - 2;
    if (RegQueryValueExW(key, u"CurrentConfig", nullptr, nullptr, (BYTE *)buffer, &size) !=
        ERROR_SUCCESS)
        buffer[0] = 0;
    RegCloseKey(key);
    return buffer;
}

// The device manager loads the driver and, at a moment of the schedule's
// choosing, unloads it; meanwhile the radio registers on its home network
// twice. The user's view: the operator's entry is applied at most once and
// only while the driver is loaded, CurrentConfig names it when it was
// applied, the RIL instance is closed exactly once, and no document is
// applied once APN_Deinit has returned.
void SettlingAgainstDeinitAndASecondNotice(bool firstAttemptFails) {
    kxtest::DebugCapture quiet; // the driver's debug messages
    kxtest::ReloadRegistry();
    WriteProfile();
    configManager = ConfigManager();
    if (firstAttemptFails)
        configManager.answer = E_FAIL;
    rilsim::Reset("KxTel Mobile");
    int handles = kxtest::OpenHandleCount();
    int threads = kxtest::RunningThreadCount();

    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    DWORD_PTR context = APN_Init(u"Drivers\\Active\\42", nullptr);
    HANDLE network = kxtest::StartThread("network", [] {
        rilsim::NoticeRegistration(RIL_REGSTAT_HOME);
        rilsim::NoticeRegistration(RIL_REGSTAT_HOME);
    });
    HANDLE manager = kxtest::StartThread("device manager", [context] {
        APN_Deinit(context);
        configManager.deinitReturned = true;
    });
    kxtest::JoinThread(network);
    kxtest::JoinThread(manager);
    // The RIL ends an instance closed from its own callback once that
    // callback has returned; the library's unloading waits for that.
    rilsim::AwaitQuiet();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);

    rilsim::Counts ril = rilsim::Seen();
    kxtest::Expect(ril.initialized == 1 && ril.deinitialized == 1 && ril.open == 0,
                   "RIL instances: " + std::to_string(ril.initialized) + " opened, " +
                       std::to_string(ril.deinitialized) + " closed");
    for (const std::string &v : ril.violations)
        kxtest::Expect(false, "the RIL saw " + v);
    kxtest::Expect(configManager.documents <= (firstAttemptFails ? 2 : 1),
                   std::to_string(configManager.documents) + " documents applied");
    kxtest::Expect(configManager.afterDeinit == 0, "a document applied after APN_Deinit returned");
    bool applied = configManager.documents > (firstAttemptFails ? 1 : 0);
    kxtest::Expect(applied == (CurrentConfig() == u"KxTel GPRS"),
                   "CurrentConfig does not tell whether the entry was applied");
    rilsim::Reset("");
    kxtest::Expect(kxtest::OpenHandleCount() == handles, "handles left open");
    kxtest::Expect(kxtest::RunningThreadCount() == threads, "threads left running");
}

TEST(ExploreCarrierCfg, SettlingAgainstDeinitAndASecondNotice) {
    kxtest::ExploreOptions options;
    options.schedules = 300;
    kxtest::ExploreInTest(options, [] { SettlingAgainstDeinitAndASecondNotice(false); });
}

TEST(ExploreCarrierCfg, AFailedAttemptRetriedOnTheSecondNoticeAgainstDeinit) {
    kxtest::ExploreOptions options;
    options.schedules = 300;
    kxtest::ExploreInTest(options, [] { SettlingAgainstDeinitAndASecondNotice(true); });
}

} // namespace

extern "C" HRESULT DMProcessConfigXML(LPCWSTR document, DWORD flags, LPWSTR *result) {
    ++configManager.documents;
    if (configManager.deinitReturned)
        ++configManager.afterDeinit;
    HRESULT answer = configManager.answer;
    configManager.answer = S_OK; // only the first attempt fails
    size_t n = 0;
    while (document[n])
        ++n;
    *result = new WCHAR[n + 1];
    memcpy(*result, document, (n + 1) * sizeof(WCHAR));
    return answer;
}

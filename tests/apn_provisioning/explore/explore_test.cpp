// CarrierCfg under the deterministic scheduler: the settling of the
// provisioning on the RIL thread against the device manager's APN_Deinit
// and a second registration notice.
#include <kx_explore_gtest.h>
#include <kx_platform_test.h>
#include <kx_registry_test.h>
#include <kx_test_radio.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <ril.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>

namespace {

using Init = DWORD_PTR (*)(LPCTSTR, LPCVOID);
using Deinit = BOOL (*)(DWORD_PTR);

std::string LibraryPath() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "CarrierCfg.so";
}

void SetText(HKEY key, const char16_t *name, const std::u16string &text) {
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text.c_str(), DWORD((text.size() + 1) * 2));
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
          u"GPRSInfoL2ProtocolType", u"GPRSInfoDataCompression", u"GPRSInfoHeaderCompression"}) {
        DWORD one = 1;
        RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&one, 4);
    }
    RegCloseKey(key);
}

// What the provisioning left in the registry: CurrentConfig, and whether
// the connection entry exists.
struct Provisioned {
    std::u16string current;
    bool entry = false;
    bool operator==(const Provisioned &o) const { return current == o.current && entry == o.entry; }
};

Provisioned ReadProvisioned() {
    Provisioned p;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg", 0, 0, &key) == ERROR_SUCCESS) {
        char16_t buffer[64] = {};
        DWORD size = sizeof buffer - 2;
        if (RegQueryValueExW(key, u"CurrentConfig", nullptr, nullptr, (BYTE *)buffer, &size) ==
            ERROR_SUCCESS)
            p.current = buffer;
        RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\ConnMgr\\GPRSEntries\\KxTel GPRS", 0, 0, &key) ==
        ERROR_SUCCESS) {
        p.entry = true;
        RegCloseKey(key);
    }
    return p;
}

// The device manager loads the driver and, at a moment of the schedule's
// choosing, deinitialises and unloads it; meanwhile the radio registers on
// its home network twice. The user's view: the operator's entry is applied
// only while the driver is initialised, CurrentConfig names it exactly when
// it exists, the RIL instance is closed exactly once and no RIL callback
// comes after its close, and handles and threads are back after unload.
void SettlingAgainstDeinitAndASecondNotice(const char *firstOperator) {
    kxtest::DebugCapture quiet; // the driver's debug messages
    kxtest::ReloadRegistry();
    WriteProfile();
    auto radio = kxtest::TestRadio::Install();
    if (!kxtest::Expect(radio != nullptr, "no radio"))
        return;
    radio->SetOperator(firstOperator);
    int handles = kxtest::OpenHandleCount();
    int threads = kxtest::RunningThreadCount();

    void *library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!kxtest::Expect(library != nullptr, "CarrierCfg.so does not load"))
        return;
    auto init = reinterpret_cast<Init>(dlsym(library, "APN_Init"));
    auto deinit = reinterpret_cast<Deinit>(dlsym(library, "APN_Deinit"));
    DWORD_PTR context = init(u"Drivers\\Active\\42", nullptr);
    Provisioned atDeinit;
    HANDLE network = kxtest::StartThread("network", [&] {
        radio->NoticeRegistration(RIL_REGSTAT_HOME);
        radio->SetOperator("KxTel Mobile");
        radio->NoticeRegistration(RIL_REGSTAT_HOME);
    });
    HANDLE manager = kxtest::StartThread("device manager", [&] {
        deinit(context);
        atDeinit = ReadProvisioned();
    });
    kxtest::JoinThread(network);
    kxtest::JoinThread(manager);
    // The RIL ends an instance closed from its own callback once that
    // callback has returned; then the library goes.
    radio->AwaitQuiet();
    dlclose(library);

    kxtest::TestRadio::Counts ril = radio->Seen();
    kxtest::Expect(ril.initialized == 1 && ril.deinitialized == 1 && ril.open == 0,
                   "RIL instances: " + std::to_string(ril.initialized) + " opened, " +
                       std::to_string(ril.deinitialized) + " closed");
    for (const std::string &v : ril.violations)
        kxtest::Expect(false, "the RIL saw " + v);
    Provisioned end = ReadProvisioned();
    kxtest::Expect(end == atDeinit, "the registry changed after APN_Deinit returned");
    kxtest::Expect(end.entry == (end.current == u"KxTel GPRS"),
                   "CurrentConfig does not tell whether the entry was applied");
    radio.reset();
    kxtest::Expect(kxtest::OpenHandleCount() == handles, "handles left open");
    kxtest::Expect(kxtest::RunningThreadCount() == threads, "threads left running");
}

TEST(ExploreCarrierCfg, SettlingAgainstDeinitAndASecondNotice) {
    kxtest::ExploreOptions options;
    options.schedules = 300;
    kxtest::ExploreInTest(options, [] { SettlingAgainstDeinitAndASecondNotice("KxTel Mobile"); });
}

TEST(ExploreCarrierCfg, AnUnknownOperatorFirstThenTheHomeOneAgainstDeinit) {
    kxtest::ExploreOptions options;
    options.schedules = 300;
    kxtest::ExploreInTest(options, [] { SettlingAgainstDeinitAndASecondNotice("Other Net"); });
}

} // namespace

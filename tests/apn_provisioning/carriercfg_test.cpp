// CarrierCfg: profile matching, the provisioning document, and the radio
// watch, with a recording RIL and configuration manager.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"

#include <windows.h>

#include "CarrierCfg.h"
#include "cfgmgrapi.h"
#include "kx_platform_test.h"
#include "kx_registry_test.h"
#include "ril.h"

extern "C" BOOL WINAPI DllMain(HANDLE hInstance, DWORD dwReason, LPVOID lpReserved);
extern "C" DWORD_PTR APN_Init(LPCTSTR pContext, LPCVOID lpvBusContext);
extern "C" BOOL APN_Deinit(DWORD_PTR hDeviceContext);
extern "C" DWORD_PTR APN_Open(DWORD_PTR hDeviceContext, DWORD AccessCode, DWORD ShareMode);
extern "C" BOOL APN_Close(DWORD_PTR hOpenContext);
extern "C" BOOL APN_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn,
                              PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut);

namespace {

const char16_t *kRoot = u"Comm\\CarrierCfg";

struct LibraryLoad : ::testing::Environment {
    void SetUp() override { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
    void TearDown() override { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); }
};
const auto *const kLoad = ::testing::AddGlobalTestEnvironment(new LibraryLoad);

std::string Utf8(const std::u16string &s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

HKEY CreateKey(const std::u16string &path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0,
                                             nullptr, &key, nullptr));
    return key;
}

void SetRaw(const std::u16string &path, const char16_t *name, DWORD type, const void *data,
            DWORD size) {
    HKEY key = CreateKey(path);
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, (const BYTE *)data, size));
    RegCloseKey(key);
}

void SetText(const std::u16string &path, const char16_t *name, const std::u16string &text) {
    SetRaw(path, name, REG_SZ, text.c_str(), DWORD((text.size() + 1) * 2));
}

void SetNumber(const std::u16string &path, const char16_t *name, DWORD v) {
    SetRaw(path, name, REG_DWORD, &v, 4);
}

void DeleteValue(const std::u16string &path, const char16_t *name) {
    HKEY key = CreateKey(path);
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

std::u16string Profile(const std::u16string &subkey) {
    return std::u16string(kRoot) + u"\\" + subkey;
}

// A complete profile with distinct values.
void WriteProfile(const std::u16string &subkey, const std::u16string &configName) {
    std::u16string p = Profile(subkey);
    SetText(p, u"ConfigName", configName);
    SetText(p, u"Username", u"user");
    SetText(p, u"Password", u"pass");
    SetText(p, u"Domain", u"");
    SetNumber(p, u"AlwaysOn", 1);
    SetNumber(p, u"BearerInfoValid", 2);
    SetNumber(p, u"GPRSInfoValid", 3);
    SetNumber(p, u"GPRSInfoProtocolType", 4);
    SetNumber(p, u"GPRSInfoL2ProtocolType", 5);
    SetText(p, u"GPRSInfoAccessPointName", u"internet");
    SetText(p, u"GPRSInfoAddress", u"10.0.0.1");
    SetNumber(p, u"GPRSInfoDataCompression", 6);
    SetNumber(p, u"GPRSInfoHeaderCompression", 7);
    SetText(p, u"GPRSInfoParameters", u"params");
}

// CurrentConfig as stored: text and size in bytes; empty size = absent.
struct Stored {
    std::u16string text;
    DWORD size = 0;
    DWORD type = 0;
};

Stored CurrentConfig() {
    Stored s;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRoot, 0, 0, &key) != ERROR_SUCCESS)
        return s;
    char16_t buffer[64] = {};
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(key, u"CurrentConfig", nullptr, &s.type, (BYTE *)buffer, &size) ==
        ERROR_SUCCESS) {
        s.size = size;
        s.text.assign(buffer, size / 2);
    }
    RegCloseKey(key);
    return s;
}

class CarrierCfgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
        fakes::Reset();
        handlesBefore_ = kxtest::OpenHandleCount();
    }
    void TearDown() override {
        // Every key the driver opened was closed.
        EXPECT_EQ(handlesBefore_, kxtest::OpenHandleCount());
        kxtest::ReloadRegistry();
    }
    std::vector<std::u16string> Documents() {
        auto &c = fakes::TheConfigManager();
        std::lock_guard<std::mutex> guard(c.lock);
        return c.documents;
    }
    kxtest::DebugCapture debug_;
    int handlesBefore_ = 0;
};

std::string Msg(const std::string &text) {
    return "CarrierCfg: " + text;
}

TEST_F(CarrierCfgTest, FirstCaseInsensitivePrefixInEnumerationOrderWins) {
    WriteProfile(u"Example Mobile UK Ltd", u"TooLong"); // longer than the operator name
    WriteProfile(u"EXAMPLE MOBILE", u"Upper");
    WriteProfile(u"Example Mobile UK", u"Longer"); // also a prefix, but later
    EXPECT_TRUE(ProvisionForOperator(u"Example Mobile UK"));
    ASSERT_EQ(1u, Documents().size());
    EXPECT_NE(std::u16string::npos, Documents()[0].find(u"<characteristic type=\"Upper\">"));
    EXPECT_EQ((std::vector<std::string>{Msg("Found Example Mobile UK Ltd in registry \r\n"),
                                        Msg("Found EXAMPLE MOBILE in registry \r\n"),
                                        Msg("Found match \r\n"),
                                        Msg("Applied configuration for Example Mobile UK \r\n")}),
              debug_.Messages());
    Stored s = CurrentConfig();
    EXPECT_EQ(REG_SZ, s.type);
    EXPECT_EQ(12u, s.size); // "Upper" and its terminator
    EXPECT_EQ(std::u16string(u"Upper\0", 6), s.text);
    EXPECT_EQ(CFGFLAG_PROCESS | CFGFLAG_METADATA, fakes::TheConfigManager().flags);
}

TEST_F(CarrierCfgTest, NoMatchAndLongSubkeyNamesEndTheSearch) {
    EXPECT_FALSE(ProvisionForOperator(u"Example")); // no root key: no message
    EXPECT_TRUE(debug_.Messages().empty());

    SetText(kRoot, u"CurrentConfig", u"Old");
    WriteProfile(u"Other", u"X");
    EXPECT_FALSE(ProvisionForOperator(u"Example"));
    EXPECT_EQ((std::vector<std::string>{Msg("Current Configuration: Old \r\n"),
                                        Msg("Found Other in registry \r\n"),
                                        Msg("Couldn't find Example in registry\r\n")}),
              debug_.Messages());

    // A 32-character name does not fit the enumeration's 32 characters with
    // its terminator: the search ends there, before the matching subkey.
    debug_.Clear();
    WriteProfile(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", u"Long");
    WriteProfile(u"Example", u"X");
    EXPECT_FALSE(ProvisionForOperator(u"Example"));
    ASSERT_FALSE(debug_.Messages().empty());
    EXPECT_EQ(Msg("Couldn't find Example in registry\r\n"), debug_.Messages().back());
    EXPECT_EQ(3u, debug_.Messages().size());
    EXPECT_TRUE(Documents().empty());
}

TEST_F(CarrierCfgTest, ThirtyOneCharacterSubkeyStillMatches) {
    WriteProfile(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", u"Net");
    EXPECT_TRUE(ProvisionForOperator(u"abcdefghijklmnopqrstuvwxyz01234 and more"));
    EXPECT_EQ(1u, Documents().size());
}

TEST_F(CarrierCfgTest, AlreadyCurrentIsCaseSensitiveAndNeverEmpty) {
    WriteProfile(u"Example", u"Net");
    SetText(kRoot, u"CurrentConfig", u"Net");
    DeleteValue(Profile(u"Example"), u"Password"); // not read when current
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    EXPECT_TRUE(Documents().empty());
    EXPECT_EQ(
        (std::vector<std::string>{Msg("Current Configuration: Net \r\n"),
                                  Msg("Found Example in registry \r\n"), Msg("Found match \r\n")}),
        debug_.Messages());

    // Differing in case only: applied again, replacing the stored entry.
    WriteProfile(u"Example", u"NET");
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    ASSERT_EQ(1u, Documents().size());
    EXPECT_NE(std::u16string::npos, Documents()[0].find(u"<nocharacteristic type=\"Net\"/>"));
    EXPECT_EQ(std::u16string(u"NET\0", 4), CurrentConfig().text);

    // An empty ConfigName is never current: applied every time.
    WriteProfile(u"Example", u"");
    SetText(kRoot, u"CurrentConfig", u"");
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    EXPECT_EQ(3u, Documents().size());
    EXPECT_EQ(2u, CurrentConfig().size);
}

// A CurrentConfig that is not usable as an entry name (not text, too long,
// or text the document cannot carry) names nothing to remove: the profile
// is applied with an empty nocharacteristic, the debug output says why, and
// CurrentConfig becomes the profile's name.
TEST_F(CarrierCfgTest, UnusableCurrentConfigIsTakenAsEmpty) {
    WriteProfile(u"Example", u"Net");
    const DWORD one = 1;
    const char16_t control[] = u"az";
    const std::u16string tooLong(30, u'x');
    struct Case {
        DWORD type;
        const void *data;
        DWORD size;
    } cases[] = {{REG_DWORD, &one, 4},
                 {REG_BINARY, u"Net", 8},
                 {REG_SZ, control, sizeof(control)},
                 {REG_SZ, tooLong.c_str(), DWORD((tooLong.size() + 1) * 2)}};
    for (const Case &c : cases) {
        SetRaw(kRoot, u"CurrentConfig", c.type, c.data, c.size);
        debug_.Clear();
        size_t before = Documents().size();
        EXPECT_TRUE(ProvisionForOperator(u"Example")) << c.type;
        ASSERT_EQ(before + 1, Documents().size()) << c.type;
        EXPECT_NE(std::u16string::npos,
                  Documents().back().find(u"   <nocharacteristic type=\"\"/>   "));
        std::vector<std::string> messages = debug_.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_NE(std::string::npos,
                  messages[0].find(Msg("Current Configuration is not a usable entry name")))
            << messages[0];
        Stored s = CurrentConfig();
        EXPECT_EQ(REG_SZ, s.type);
        EXPECT_EQ(std::u16string(u"Net\0", 4), s.text);
    }
}

TEST_F(CarrierCfgTest, EveryMissingOrOversizedValueStopsTheAttempt) {
    const char16_t *strings[] = {u"ConfigName",
                                 u"Username",
                                 u"Password",
                                 u"Domain",
                                 u"GPRSInfoAccessPointName",
                                 u"GPRSInfoAddress",
                                 u"GPRSInfoParameters"};
    const char16_t *numbers[] = {u"AlwaysOn",
                                 u"BearerInfoValid",
                                 u"GPRSInfoValid",
                                 u"GPRSInfoProtocolType",
                                 u"GPRSInfoL2ProtocolType",
                                 u"GPRSInfoDataCompression",
                                 u"GPRSInfoHeaderCompression"};
    std::vector<const char16_t *> all(std::begin(strings), std::end(strings));
    all.insert(all.end(), std::begin(numbers), std::end(numbers));
    for (const char16_t *name : all) {
        SCOPED_TRACE(Utf8(name));
        for (int oversized = 0; oversized < 2; ++oversized) {
            WriteProfile(u"Example", u"Net");
            if (oversized) {
                bool isString = false;
                for (const char16_t *s : strings)
                    isString = isString || s == name;
                if (isString) // 25 characters and the terminator: 52 bytes
                    SetText(Profile(u"Example"), name, u"ABCDEFGHIJKLMNOPQRSTUVWXY");
                else
                    SetRaw(Profile(u"Example"), name, REG_BINARY, "12345", 5);
            } else {
                DeleteValue(Profile(u"Example"), name);
            }
            debug_.Clear();
            EXPECT_FALSE(ProvisionForOperator(u"Example"));
            ASSERT_FALSE(debug_.Messages().empty());
            EXPECT_EQ(Msg("Found match \r\n"), debug_.Messages().back());
        }
    }
    EXPECT_TRUE(Documents().empty());
    EXPECT_EQ(0u, CurrentConfig().size);

    // 24 characters and the terminator (50 bytes) fit.
    WriteProfile(u"Example", u"ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
}

const char16_t kExpectedDocument[] =
    u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
    u"   <nocharacteristic type=\"Previous\"/>"
    u"   <characteristic type=\"Net\">"
    u"      <parm name=\"DestId\" value=\"{436EF144-B4FB-4863-A041-8F905A62C572}\" />"
    u"      <parm name=\"UserName\" value=\"user\" />"
    u"      <parm name=\"Password\" value=\"pass\" />"
    u"      <parm name=\"Domain\" value=\"\" />"
    u"      <parm name=\"AlwaysOn\" value=\"49\" />"
    u"      <characteristic type=\"DevSpecificCellular\">"
    u"         <parm name=\"BearerInfoValid\" value=\"-1\" />"
    u"         <parm name=\"GPRSInfoValid\" value=\"258\" />"
    u"         <parm name=\"GPRSInfoProtocolType\" value=\"4\" />"
    u"         <parm name=\"GPRSInfoL2ProtocolType\" value=\"5\" />"
    u"         <parm name=\"GPRSInfoAccessPointName\" value=\"internet\" />"
    u"         <parm name=\"GPRSInfoAddress\" value=\"10.0.0.1\" />"
    u"         <parm name=\"GPRSInfoDataCompression\" value=\"6\" />"
    u"         <parm name=\"GPRSInfoHeaderCompression\" value=\"7\" />"
    u"         <parm name=\"GPRSInfoParameters\" value=\"params\" />"
    u"      </characteristic>"
    u"   </characteristic></characteristic></wap-provisioningdoc>";

TEST_F(CarrierCfgTest, DocumentTextWithTypeBlindReads) {
    EXPECT_EQ(986u, std::u16string(GprsEntryTemplate).size());
    WriteProfile(u"Example", u"Net");
    SetText(kRoot, u"CurrentConfig", u"Previous");
    // Sizes decide, not types: a one-character string is its code, a short
    // number fills the low bytes, all 32 bits set is -1.
    SetText(Profile(u"Example"), u"AlwaysOn", u"1");
    SetNumber(Profile(u"Example"), u"BearerInfoValid", 0xFFFFFFFF);
    SetRaw(Profile(u"Example"), u"GPRSInfoValid", REG_BINARY, "\x02\x01", 2);
    EXPECT_TRUE(ProvisionForOperator(u"Example Mobile"));
    ASSERT_EQ(1u, Documents().size());
    EXPECT_EQ(std::u16string(kExpectedDocument), Documents()[0]);
}

TEST_F(CarrierCfgTest, FirstProvisioningRemovesNoNamedEntry) {
    WriteProfile(u"Example", u"Net");
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    ASSERT_EQ(1u, Documents().size());
    EXPECT_NE(std::u16string::npos, Documents()[0].find(u"   <nocharacteristic type=\"\"/>   "));
}

TEST_F(CarrierCfgTest, InsertedTextIsEscaped) {
    WriteProfile(u"Example", u"A&B");
    SetText(kRoot, u"CurrentConfig", u"<\"old\">");
    SetText(Profile(u"Example"), u"Password", u"x\" /><parm name=\"Y");
    SetText(Profile(u"Example"), u"GPRSInfoParameters", u"a\tb\r\nc");
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    ASSERT_EQ(1u, Documents().size());
    const std::u16string d = Documents()[0];
    EXPECT_NE(std::u16string::npos,
              d.find(u"<nocharacteristic type=\"&lt;&quot;old&quot;&gt;\"/>"));
    EXPECT_NE(std::u16string::npos, d.find(u"<characteristic type=\"A&amp;B\">"));
    EXPECT_NE(std::u16string::npos, d.find(u"value=\"x&quot; /&gt;&lt;parm name=&quot;Y\" />"));
    // Tab, carriage return and line feed need no reference: the parser
    // reads each as a space.
    EXPECT_NE(std::u16string::npos, d.find(u"value=\"a\tb\r\nc\" />"));
    // Only the template's own parameters are in the document.
    size_t parms = 0;
    for (size_t at = d.find(u"<parm "); at != std::u16string::npos; at = d.find(u"<parm ", at + 1))
        ++parms;
    EXPECT_EQ(14u, parms);
    // CurrentConfig keeps the name itself, not its escaped form.
    EXPECT_EQ(std::u16string(u"A&B\0", 4), CurrentConfig().text);
}

TEST_F(CarrierCfgTest, WorstCaseDocumentFits) {
    const std::u16string quotes(24, u'"');
    WriteProfile(u"Example", quotes);
    SetText(kRoot, u"CurrentConfig", quotes.substr(0, 23) + u"&");
    for (const char16_t *n : {u"Username", u"Password", u"Domain", u"GPRSInfoAccessPointName",
                              u"GPRSInfoAddress", u"GPRSInfoParameters"})
        SetText(Profile(u"Example"), n, quotes);
    for (const char16_t *n :
         {u"AlwaysOn", u"BearerInfoValid", u"GPRSInfoValid", u"GPRSInfoProtocolType",
          u"GPRSInfoL2ProtocolType", u"GPRSInfoDataCompression", u"GPRSInfoHeaderCompression"})
        SetNumber(Profile(u"Example"), n, 0x80000000u);
    EXPECT_TRUE(ProvisionForOperator(u"Example"));
    ASSERT_EQ(1u, Documents().size());
    EXPECT_EQ(u"</wap-provisioningdoc>", Documents()[0].substr(Documents()[0].size() - 22));
}

TEST_F(CarrierCfgTest, RejectedDocumentIsNotRecordedAsApplied) {
    WriteProfile(u"Example", u"Net");
    SetText(kRoot, u"CurrentConfig", u"Old");
    fakes::TheConfigManager().answer = E_FAIL;
    EXPECT_FALSE(ProvisionForOperator(u"Example"));
    EXPECT_EQ(1u, Documents().size());
    EXPECT_EQ(std::u16string(u"Old\0", 4), CurrentConfig().text);
    std::vector<std::string> m = debug_.Messages();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(Msg("Configuration for Example rejected, error 0x80004005 \r\n"), m.back());
    for (const auto &line : m)
        EXPECT_EQ(std::string::npos, line.find("Applied"));
}

// ---- the radio watch ---------------------------------------------------------------

RILOPERATORNAMES Names(const char *longName, size_t length) {
    RILOPERATORNAMES names;
    memset(&names, 0, sizeof(names));
    names.cbSize = sizeof(names);
    names.dwParams = RIL_PARAM_ON_LONGNAME;
    memcpy(names.szLongName, longName, length);
    return names;
}

class RadioWatchTest : public CarrierCfgTest {
  protected:
    fakes::Ril &ril_ = fakes::TheRil();
    void Notify(DWORD code, const void *data, DWORD size) { ril_.notify(code, data, size, 0); }
    void NotifyStatus(DWORD status, DWORD size = 4) {
        DWORD data[2] = {status, 0};
        Notify(RIL_NOTIFY_REGSTATUSCHANGED, data, size);
    }
    void Result(DWORD code, const void *data, DWORD size) { ril_.result(code, 7, data, size, 0); }
    size_t Queries() {
        std::lock_guard<std::mutex> guard(ril_.lock);
        return ril_.operatorQueries.size();
    }
    size_t Deinits() {
        std::lock_guard<std::mutex> guard(ril_.lock);
        return ril_.deinitialised.size();
    }
};

TEST_F(RadioWatchTest, EntryPoints) {
    EXPECT_EQ(1u, APN_Init(u"Drivers\\Active\\42", nullptr));
    EXPECT_EQ(1, ril_.initCount);
    EXPECT_EQ(1u, ril_.index);
    EXPECT_EQ(RIL_NCLASS_NETWORK, ril_.classes);
    EXPECT_EQ(0u, ril_.param);
    EXPECT_EQ(1u, APN_Open(1, GENERIC_READ, 0));
    EXPECT_EQ(77u, APN_Open(77, 0, 0));
    EXPECT_TRUE(APN_Close(5));
    BYTE out[4] = {9, 9, 9, 9};
    DWORD actual = 3;
    for (DWORD code : {0u, 1u, 0x80002000u})
        EXPECT_FALSE(APN_IOControl(1, code, out, 4, out, 4, &actual));
    EXPECT_EQ(9, out[0]);
    EXPECT_EQ(3u, actual);
    EXPECT_TRUE(APN_Deinit(1));
    EXPECT_EQ(1u, Deinits());
    EXPECT_TRUE(APN_Deinit(1)); // closed once only
    EXPECT_EQ(1u, Deinits());

    // Without a RIL instance the driver loads and stays inert.
    fakes::Reset();
    ril_.initResult = E_FAIL;
    EXPECT_EQ(1u, APN_Init(nullptr, nullptr));
    NotifyStatus(RIL_REGSTAT_HOME);
    EXPECT_EQ(0u, Queries());
    EXPECT_TRUE(APN_Deinit(1));
    EXPECT_EQ(0u, Deinits());
}

TEST_F(RadioWatchTest, OnlyAChangeToHomeAsksForTheOperator) {
    APN_Init(nullptr, nullptr);
    for (DWORD status : {RIL_REGSTAT_ROAMING, RIL_REGSTAT_UNREGISTERED, RIL_REGSTAT_UNKNOWN,
                         RIL_REGSTAT_ATTEMPTING, RIL_REGSTAT_DENIED})
        NotifyStatus(status);
    NotifyStatus(RIL_REGSTAT_HOME, 3);
    NotifyStatus(RIL_REGSTAT_HOME, 8);
    NotifyStatus(RIL_REGSTAT_HOME, 0);
    DWORD home = RIL_REGSTAT_HOME;
    Notify(RIL_NOTIFY_REGSTATUSCHANGED + 1, &home, 4);
    EXPECT_EQ(0u, Queries());
    NotifyStatus(RIL_REGSTAT_HOME);
    ASSERT_EQ(1u, Queries());
    EXPECT_EQ(fakes::TheRil().nextHandle, ril_.operatorQueries[0].first);
    EXPECT_EQ(RIL_OPFORMAT_LONG, ril_.operatorQueries[0].second);
    APN_Deinit(1);
}

// The RIL can report a home registration on its thread before
// RIL_Initialize has handed over the handle: the driver still asks for the
// operator, with the handle, once it has it; a roaming report there asks
// nothing.
TEST_F(RadioWatchTest, HomeRegistrationBeforeTheHandleIsStoredStillAsks) {
    ril_.statusesDuringInit = {RIL_REGSTAT_HOME};
    APN_Init(nullptr, nullptr);
    ASSERT_EQ(1u, Queries());
    EXPECT_EQ(fakes::TheRil().nextHandle, ril_.operatorQueries[0].first);
    EXPECT_EQ(RIL_OPFORMAT_LONG, ril_.operatorQueries[0].second);
    // Later notices are handled as ever.
    NotifyStatus(RIL_REGSTAT_HOME);
    EXPECT_EQ(2u, Queries());
    APN_Deinit(1);

    fakes::Reset();
    ril_.statusesDuringInit = {RIL_REGSTAT_ROAMING, RIL_REGSTAT_ATTEMPTING};
    APN_Init(nullptr, nullptr);
    EXPECT_EQ(0u, Queries());
    APN_Deinit(1);

    fakes::Reset();
    ril_.statusesDuringInit = {RIL_REGSTAT_HOME, RIL_REGSTAT_HOME};
    APN_Init(nullptr, nullptr);
    EXPECT_EQ(1u, Queries()); // one question answers both
    APN_Deinit(1);
}

TEST_F(RadioWatchTest, OnlyAnOkEightyByteAnswerIsProvisioned) {
    WriteProfile(u"Example", u"Net");
    APN_Init(nullptr, nullptr);
    RILOPERATORNAMES names = Names("Example Mobile", 14);
    Result(RIL_RESULT_ERROR, &names, sizeof(names));
    Result(RIL_RESULT_OK, nullptr, sizeof(names));
    Result(RIL_RESULT_OK, &names, sizeof(names) - 1);
    char bigger[81] = {};
    memcpy(bigger, &names, sizeof(names));
    Result(RIL_RESULT_OK, bigger, 81);
    EXPECT_TRUE(debug_.Messages().empty());
    EXPECT_EQ(0u, Deinits());

    // Settles: the instance is closed from within the callback, once.
    Result(RIL_RESULT_OK, &names, sizeof(names));
    EXPECT_EQ(1u, Documents().size());
    EXPECT_EQ(1u, Deinits());
    // Inert afterwards, and unloading does not close it again.
    NotifyStatus(RIL_REGSTAT_HOME);
    EXPECT_EQ(0u, Queries());
    APN_Deinit(1);
    EXPECT_EQ(1u, Deinits());
}

TEST_F(RadioWatchTest, AttemptThatDoesNotSettleKeepsWatching) {
    APN_Init(nullptr, nullptr);
    RILOPERATORNAMES names = Names("Example Mobile", 14);
    Result(RIL_RESULT_OK, &names, sizeof(names)); // no profiles at all
    EXPECT_EQ(0u, Deinits());
    WriteProfile(u"Example", u"Net");
    fakes::TheConfigManager().answer = E_FAIL; // refused: not settled either
    Result(RIL_RESULT_OK, &names, sizeof(names));
    EXPECT_EQ(0u, Deinits());
    NotifyStatus(RIL_REGSTAT_HOME);
    EXPECT_EQ(1u, Queries());
    fakes::TheConfigManager().answer = S_OK;
    Result(RIL_RESULT_OK, &names, sizeof(names));
    EXPECT_EQ(1u, Deinits());
    EXPECT_EQ(std::u16string(u"Net\0", 4), CurrentConfig().text);
}

TEST_F(RadioWatchTest, LongNameIsReadFromItsThirtyTwoBytesOnly) {
    WriteProfile(u"Other", u"X");
    APN_Init(nullptr, nullptr);
    RILOPERATORNAMES names = Names("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32);
    memcpy(names.szShortName, "SHORTNAME", 9); // directly after the long name
    Result(RIL_RESULT_OK, &names, sizeof(names));
    ASSERT_FALSE(debug_.Messages().empty());
    EXPECT_EQ(Msg("Couldn't find ABCDEFGHIJKLMNOPQRSTUVWXYZ012345 in registry\r\n"),
              debug_.Messages().back());
    APN_Deinit(1);
}

TEST_F(RadioWatchTest, SettlingAndUnloadingTogetherCloseTheInstanceOnce) {
    WriteProfile(u"Example", u"Net");
    SetText(kRoot, u"CurrentConfig", u"Net"); // settles at once, without a document
    RILOPERATORNAMES names = Names("Example", 7);
    for (int i = 0; i < 200; ++i) {
        fakes::Reset();
        APN_Init(nullptr, nullptr);
        std::thread radio([&] { Result(RIL_RESULT_OK, &names, sizeof(names)); });
        APN_Deinit(1);
        radio.join();
        ASSERT_EQ(1u, Deinits()) << "iteration " << i;
    }
}

} // namespace

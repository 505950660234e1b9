// Faults of the profile reading found by fuzzing it (fuzz/
// carriercfg_profile_fuzz.cpp), each with the input that showed it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"

#include <windows.h>

#include "CarrierCfg.h"
#include "kx_platform_test.h"
#include "kx_registry_test.h"

namespace {

const std::u16string kProfile = u"Comm\\CarrierCfg\\Op";

void Set(const std::u16string &path, const char16_t *name, DWORD type, const void *data,
         DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, (const BYTE *)data, size));
    RegCloseKey(key);
}

void Text(const char16_t *name, const std::u16string &text) {
    Set(kProfile, name, REG_SZ, text.c_str(), DWORD((text.size() + 1) * 2));
}

void WriteProfile(const std::u16string &configName, const std::u16string &password) {
    Text(u"ConfigName", configName);
    Text(u"Username", u"user");
    Text(u"Password", password);
    Text(u"Domain", u"");
    for (const char16_t *n :
         {u"AlwaysOn", u"BearerInfoValid", u"GPRSInfoValid", u"GPRSInfoProtocolType",
          u"GPRSInfoL2ProtocolType", u"GPRSInfoDataCompression", u"GPRSInfoHeaderCompression"}) {
        DWORD one = 1;
        Set(kProfile, n, REG_DWORD, &one, 4);
    }
    Text(u"GPRSInfoAccessPointName", u"internet");
    Text(u"GPRSInfoAddress", u"");
    Text(u"GPRSInfoParameters", u"");
}

class CarrierCfgRegression : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
        fakes::Reset();
    }
    void TearDown() override { kxtest::ReloadRegistry(); }
    size_t Documents() {
        auto &c = fakes::TheConfigManager();
        std::lock_guard<std::mutex> guard(c.lock);
        return c.documents.size();
    }
    kxtest::DebugCapture debug_;
};

// A control character in a profile string cannot be put into XML in any
// form; the document used to be built anyway and was not well-formed. Now
// nothing is handed over, the attempt is not settled, and the debug output
// says why.
TEST_F(CarrierCfgRegression, TextThatXmlCannotCarryIsNotHandedOver) {
    for (const std::u16string &bad : {std::u16string(u"pa\x0001ss"), std::u16string(u"\xD800x"),
                                      std::u16string(u"x\xDC00"), std::u16string(u"\xFFFE")}) {
        fakes::Reset();
        WriteProfile(u"Entry", bad);
        EXPECT_FALSE(ProvisionForOperator(u"Operator"));
        EXPECT_EQ(0u, Documents());
        EXPECT_NE(std::string::npos, debug_.Text().find("XML cannot carry"));
    }
    // A pair of surrogates is a character like any other; tab, line feed and
    // carriage return are carried as references.
    fakes::Reset();
    WriteProfile(u"Entry", u"\xD83D\xDE00\t\n\r");
    EXPECT_TRUE(ProvisionForOperator(u"Operator"));
    EXPECT_EQ(1u, Documents());
}

// A ConfigName of 25 characters with no terminator (50 bytes) used to be
// applied and stored back as 26 characters, which the next call could not
// read: the profile was applied again at every registration and its
// document never removed the entry applied before.
TEST_F(CarrierCfgRegression, ConfigNameFillingAllItsCharactersIsNotApplied) {
    WriteProfile(u"Entry", u"pass");
    std::u16string full(25, u'N');
    Set(kProfile, u"ConfigName", REG_SZ, full.data(), 50);
    EXPECT_FALSE(ProvisionForOperator(u"Operator"));
    EXPECT_EQ(0u, Documents());

    // 24 characters and the terminator: applied, and current the next time.
    Text(u"ConfigName", std::u16string(24, u'N'));
    EXPECT_TRUE(ProvisionForOperator(u"Operator"));
    EXPECT_EQ(1u, Documents());
    EXPECT_TRUE(ProvisionForOperator(u"Operator"));
    EXPECT_EQ(1u, Documents());
}

} // namespace

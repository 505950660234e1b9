// The configuration manager with well-formed and broken documents, and the
// DWORD registry helpers.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include "cfgmgrapi.h"
#include "kx_registry_test.h"
#include "regext.h"

namespace {

class CfgMgrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
    }
    void TearDown() override { kxtest::ReloadRegistry(); }
};

HRESULT Process(const std::u16string &doc, bool *gotResult = nullptr) {
    LPWSTR out = nullptr;
    HRESULT hr = DMProcessConfigXML(doc.c_str(), CFGFLAG_PROCESS | CFGFLAG_METADATA, &out);
    if (gotResult)
        *gotResult = out != nullptr;
    if (out) {
        EXPECT_EQ(doc, std::u16string(out));
    }
    delete[] out;
    return hr;
}

bool EntryExists(const char16_t *entry) {
    std::u16string path = std::u16string(u"Comm\\ConnMgr\\GPRSEntries\\") + entry;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::u16string ReadText(const char16_t *path, const char16_t *name, DWORD *type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key) != ERROR_SUCCESS)
        return u"<no key>";
    WCHAR text[128] = {};
    DWORD size = sizeof(text) - 2;
    LONG rc = RegQueryValueExW(key, name, nullptr, type, (BYTE *)text, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::u16string(text) : u"<no value>";
}

const std::u16string kEntryDoc =
    u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
    u"   <nocharacteristic type=\"\"/>"
    u"   <characteristic type=\"Example &amp; &quot;Web&quot;\">"
    u"      <parm name=\"DestId\" value=\"{436EF144-B4FB-4863-A041-8F905A62C572}\" />"
    u"      <parm name=\"Password\" value=\"1234\" />"
    u"      <parm name=\"AlwaysOn\" value=\"1\" />"
    u"      <characteristic type=\"DevSpecificCellular\">"
    u"         <parm name=\"GPRSInfoProtocolType\" value=\"-1\" />"
    u"         <parm name=\"GPRSInfoAccessPointName\" value=\"web.&lt;x&gt;\" />"
    u"      </characteristic>"
    u"   </characteristic></characteristic></wap-provisioningdoc>";

TEST_F(CfgMgrTest, AppliesAGprsEntry) {
    bool gotResult = false;
    ASSERT_EQ(S_OK, Process(kEntryDoc, &gotResult));
    EXPECT_TRUE(gotResult);
    const char16_t *entry = u"Comm\\ConnMgr\\GPRSEntries\\Example & \"Web\"";
    DWORD type = 0;
    EXPECT_EQ(u"1234", ReadText(entry, u"Password", &type)); // digits, but text
    EXPECT_EQ(REG_SZ, type);
    DWORD v = 0;
    EXPECT_EQ(S_OK, RegistryGetDWORD(HKEY_LOCAL_MACHINE, entry, u"AlwaysOn", &v));
    EXPECT_EQ(1u, v);
    std::u16string cellular = std::u16string(entry) + u"\\DevSpecificCellular";
    EXPECT_EQ(S_OK,
              RegistryGetDWORD(HKEY_LOCAL_MACHINE, cellular.c_str(), u"GPRSInfoProtocolType", &v));
    EXPECT_EQ(0xFFFFFFFFu, v);
    EXPECT_EQ(u"web.<x>", ReadText(cellular.c_str(), u"GPRSInfoAccessPointName"));
}

TEST_F(CfgMgrTest, ReplacesAndRemovesEntries) {
    ASSERT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<characteristic type=\"Old\"><parm name=\"Stale\" value=\"x\"/>"
                            u"</characteristic></characteristic></wap-provisioningdoc>"));
    ASSERT_TRUE(EntryExists(u"Old"));
    // Replacing an entry drops what the new one does not have.
    ASSERT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<characteristic type=\"old\"><parm name=\"Fresh\" value=\"y\"/>"
                            u"</characteristic></characteristic></wap-provisioningdoc>"));
    EXPECT_EQ(u"<no value>", ReadText(u"Comm\\ConnMgr\\GPRSEntries\\Old", u"Stale"));
    EXPECT_EQ(u"y", ReadText(u"Comm\\ConnMgr\\GPRSEntries\\Old", u"Fresh"));

    ASSERT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<nocharacteristic type=\"OLD\"/><characteristic type=\"New\"/>"
                            u"</characteristic></wap-provisioningdoc>"));
    EXPECT_FALSE(EntryExists(u"Old"));
    EXPECT_TRUE(EntryExists(u"New"));
    // The text is already decoded: a declared encoding changes nothing.
    EXPECT_EQ(S_OK, Process(u"<?xml version=\"1.0\" encoding=\"utf-16\"?>"
                            u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<characteristic type=\"Caf\u00e9\"/>"
                            u"</characteristic></wap-provisioningdoc>"));
    EXPECT_TRUE(EntryExists(u"Caf\u00e9"));
    // Removing an entry that is not there is no failure.
    EXPECT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<nocharacteristic type=\"Nothing\"/>"
                            u"</characteristic></wap-provisioningdoc>"));
}

TEST_F(CfgMgrTest, RefusedDocumentsChangeNothing) {
    ASSERT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<characteristic type=\"Keep\"/></characteristic>"
                            u"</wap-provisioningdoc>"));
    const std::u16string head = u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                                u"<nocharacteristic type=\"Keep\"/>";
    const std::u16string tail = u"</characteristic></wap-provisioningdoc>";
    struct Case {
        std::u16string doc;
        HRESULT expected;
    } cases[] = {
        // Not well-formed: the removal before the fault must not happen.
        {head + u"<characteristic type=\"a\"b\"/>" + tail, CONFIG_E_BAD_XML},
        {head + u"<characteristic type=\"A & B\"/>" + tail, CONFIG_E_BAD_XML},
        {head + u"<characteristic type=\"A\"><parm name=\"x\" value=\"<\"/></characteristic>" +
             tail,
         CONFIG_E_BAD_XML},
        {head + u"<characteristic type=\"A\">" + tail, CONFIG_E_BAD_XML},
        {head + tail + u"<extra/>", CONFIG_E_BAD_XML},
        {u"<!DOCTYPE x [<!ENTITY e \"v\">]>" + head + tail, CONFIG_E_BAD_XML},
        {head + u"\xD800" + tail, CONFIG_E_BAD_XML},
        // Well-formed, but not what the manager knows.
        {u"<wap-provisioningdoc><characteristic type=\"CM_Other\"/></wap-provisioningdoc>",
         CONFIG_E_CSPEXCEPTION},
        {head + u"<parm name=\"x\" value=\"1\"/>" + tail, CONFIG_E_CSPEXCEPTION},
        {head + u"<characteristic type=\"\"/>" + tail, CONFIG_E_CSPEXCEPTION},
        {head + u"<characteristic type=\"..\\Other\"/>" + tail, CONFIG_E_CSPEXCEPTION},
        {head + u"<characteristic type=\"A\"><bogus/></characteristic>" + tail,
         CONFIG_E_CSPEXCEPTION},
        // Names the registry cannot store (its file cannot carry a line
        // break inside a name): refused before anything is removed.
        {head + u"<characteristic type=\"Kx&#10;Net\"/>" + tail, CONFIG_E_CSPEXCEPTION},
        {head +
             u"<characteristic type=\"A\"><parm name=\"x&#13;\" value=\"1\"/>"
             u"</characteristic>" +
             tail,
         CONFIG_E_CSPEXCEPTION},
        {head +
             u"<characteristic type=\"A\"><characteristic type=\"&#10;\"/>"
             u"</characteristic>" +
             tail,
         CONFIG_E_CSPEXCEPTION},
        {u"<other/>", CONFIG_E_CSPEXCEPTION},
    };
    for (const auto &c : cases) {
        bool gotResult = true;
        EXPECT_EQ(c.expected, Process(c.doc, &gotResult));
        EXPECT_FALSE(gotResult);
        EXPECT_TRUE(EntryExists(u"Keep"));
    }
    LPWSTR out = nullptr;
    EXPECT_EQ(E_INVALIDARG, DMProcessConfigXML(nullptr, CFGFLAG_PROCESS, &out));
}

// A line break written as itself in an attribute is read as a space (XML
// attribute normalisation), so the entry gets a name the registry stores.
TEST_F(CfgMgrTest, RawLineBreaksInAnEntryNameBecomeSpaces) {
    ASSERT_EQ(S_OK, Process(u"<wap-provisioningdoc><characteristic type=\"CM_GPRSEntries\">"
                            u"<characteristic type=\"Kx\nNet\tA\r\"/></characteristic>"
                            u"</wap-provisioningdoc>"));
    EXPECT_TRUE(EntryExists(u"Kx Net A "));
}

TEST_F(CfgMgrTest, RegistryDwordHelpers) {
    DWORD v = 5;
    EXPECT_TRUE(
        FAILED(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"HACMode", &v)));
    EXPECT_EQ(5u, v);
    // Setting creates the key.
    ASSERT_EQ(S_OK, RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"\\Software\\RIL\\Audio", u"HACMode", 1));
    EXPECT_EQ(S_OK, RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"hacmode", &v));
    EXPECT_EQ(1u, v);
    // A value that is not a 4-byte REG_DWORD is not read as one.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", 0, 0, &key));
    RegSetValueExW(key, u"Text", 0, REG_SZ, (const BYTE *)u"1", 4);
    RegCloseKey(key);
    v = 7;
    EXPECT_TRUE(FAILED(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"Text", &v)));
    EXPECT_EQ(7u, v);
    EXPECT_EQ(E_INVALIDARG,
              RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"HACMode", nullptr));
}

} // namespace

// The registry's Win32 semantics and its REGEDIT4 file.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include <windows.h>

#include "kx_platform_test.h"
#include "kx_registry_test.h"

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxregXXXXXX";
        dir_ = mkdtemp(pattern);
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
    }
    void TearDown() override {
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
        std::string cmd = "rm -rf " + dir_;
        (void)system(cmd.c_str());
    }
    std::string File(const char *name) const { return dir_ + "/" + name; }
    void UseFile(const std::string &path, const std::string &text) {
        if (!text.empty()) {
            std::ofstream(path, std::ios::binary) << text;
        }
        setenv("KX_REGISTRY", path.c_str(), 1);
        kxtest::ReloadRegistry();
    }
    static std::string Read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> DirEntries() const {
        std::vector<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        }
        closedir(d);
        return names;
    }
    std::string dir_;
};

HKEY Create(HKEY base, const char16_t *path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(base, path, 0, nullptr, 0, 0, nullptr, &key, nullptr));
    return key;
}

void SetString(HKEY key, const char16_t *name, const std::u16string &text) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text.c_str(),
                                            DWORD((text.size() + 1) * 2)));
}

void SetDword(HKEY key, const char16_t *name, DWORD v) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, 4));
}

std::vector<std::u16string> Subkeys(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[64];
        DWORD cch = 64;
        LONG rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(ERROR_SUCCESS, rc);
        EXPECT_EQ(std::u16string(name).size(), cch);
        names.push_back(name);
    }
    return names;
}

TEST_F(RegistryTest, KeysAreCaseInsensitiveAndTolerateLeadingBackslash) {
    DWORD disposition = 0;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg", 0, nullptr, 0,
                                             0, nullptr, &key, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    SetDword(key, u"Value", 7);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"COMM\\carriercfg", 0, nullptr, 0,
                                             0, nullptr, &key, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CARRIERCFG", 0, 0, &key));
    DWORD v = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"VALUE", nullptr, nullptr, (BYTE *)&v, &size));
    EXPECT_EQ(7u, v);
    RegCloseKey(key);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\Other", 0, 0, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"Comm", 0, 0, &key));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\\\X", 0, 0, &key));
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
    HKEY root = Create(HKEY_LOCAL_MACHINE, u"Order");
    for (const char16_t *n : {u"Zulu", u"alpha", u"Mike"})
        RegCloseKey(Create(root, n));
    RegCloseKey(Create(root, u"ALPHA")); // exists already: no new entry
    EXPECT_EQ((std::vector<std::u16string>{u"Zulu", u"alpha", u"Mike"}), Subkeys(root));

    // A name that does not fit the capacity (terminator included) fails.
    WCHAR name[4];
    DWORD cch = 4;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    cch = 5;
    WCHAR fits[5];
    EXPECT_EQ(ERROR_SUCCESS,
              RegEnumKeyExW(root, 0, fits, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(4u, cch);

    SetDword(root, u"b", 1);
    SetDword(root, u"a", 2);
    SetDword(root, u"B", 3); // replaces "b" in place
    WCHAR vname[8];
    DWORD vcch = 8, type = 0, data = 0, size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegEnumValueW(root, 0, vname, &vcch, nullptr, &type, (BYTE *)&data, &size));
    EXPECT_EQ(std::u16string(u"b"), vname);
    EXPECT_EQ(3u, data);
    vcch = 8;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumValueW(root, 2, vname, &vcch, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(root);
}

TEST_F(RegistryTest, QueryHonoursTheByteLimit) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Q");
    SetString(key, u"Text", u"hello"); // 12 bytes with the terminator

    DWORD size = 0, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(REG_SZ, type);

    BYTE buffer[16];
    memset(buffer, 0xAA, sizeof(buffer));
    size = 11;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"Text", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(12u, size);

    size = 12;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Text", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(std::u16string(u"hello"), std::u16string((const char16_t *)buffer));
    EXPECT_EQ(0xAA, buffer[12]); // nothing written past the value

    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExW(key, u"Text", nullptr, nullptr, buffer, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExW(key, u"Missing", nullptr, nullptr, buffer, &size));

    // The default value has an empty or null name.
    SetString(key, nullptr, u"d");
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(4u, size);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeletionAndHandles) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Del\\Entry\\Nested");
    RegCloseKey(key);
    HKEY entry = Create(HKEY_LOCAL_MACHINE, u"Del\\Entry");
    SetDword(entry, u"v", 1);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(entry, u"V"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(entry, u"V"));

    // Deleting removes the subkeys too (Windows CE); a handle still open on
    // the deleted key reports so instead of touching freed storage.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"\\del\\entry"));
    DWORD size = 4, v;
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegQueryValueExW(entry, u"v", nullptr, nullptr, (BYTE *)&v, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(entry, u"v", 0, REG_DWORD, (BYTE *)&v, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(entry));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Del\\Entry\\Nested", 0, 0, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del\\Entry"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""));

    // Open keys count among the process's handles.
    int before = kxtest::OpenHandleCount();
    HKEY counted = Create(HKEY_LOCAL_MACHINE, u"Del");
    EXPECT_EQ(before + 1, kxtest::OpenHandleCount());
    RegCloseKey(counted);
    EXPECT_EQ(before, kxtest::OpenHandleCount());

    // A closed or made-up handle is refused.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(entry));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegQueryValueExW((HKEY)&v, u"v", nullptr, nullptr, nullptr, &size));
}

const char kSample[] = "REGEDIT4\r\n"
                       "\r\n"
                       "; comment\r\n"
                       "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg]\r\n"
                       "\"CurrentConfig\"=\"Say \\\"hi\\\" C:\\\\x\"\r\n"
                       "\r\n"
                       "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\\Zeta]\r\n"
                       "\"AlwaysOn\"=dword:ffffffff\r\n"
                       "\"Blob\"=hex:01,02,\\\r\n"
                       "  03\r\n"
                       "@=\"default\"\r\n"
                       "\r\n"
                       "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\\Alpha]\r\n"
                       "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                       "\"Caf\xc3\xa9\"=\"\xc3\xa9t\xc3\xa9\"\r\n";

TEST_F(RegistryTest, LoadsARegFileInItsOrder) {
    UseFile(File("reg.reg"), kSample);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg", 0, 0, &key));
    EXPECT_EQ((std::vector<std::u16string>{u"Zeta", u"Alpha"}), Subkeys(key));
    WCHAR text[64];
    DWORD size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, u"CurrentConfig", nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(std::u16string(u"Say \"hi\" C:\\x"), text);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg\\Zeta", 0, 0, &key));
    DWORD v = 0, type = 0;
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"AlwaysOn", nullptr, &type, (BYTE *)&v, &size));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(0xFFFFFFFFu, v);
    BYTE blob[8];
    size = sizeof(blob);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Blob", nullptr, &type, blob, &size));
    EXPECT_EQ(REG_BINARY, type);
    ASSERT_EQ(3u, size);
    EXPECT_EQ(3, blob[2]);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg\\Alpha", 0, 0, &key));
    size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, u"CAF\u00c9", nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(std::u16string(u"\u00e9t\u00e9"), text);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SavesEveryChangeAndReloadsTheSame) {
    std::string path = File("saved.reg");
    UseFile(path, kSample);
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg");
    SetString(key, u"CurrentConfig", u"New \"one\"\n"); // a control character goes as hex
    SetDword(key, u"Count", 0x12345678);
    RegCloseKey(key);
    std::string saved = Read(path);
    EXPECT_EQ(0u, saved.find("REGEDIT4\r\n"));
    EXPECT_NE(std::string::npos, saved.find("\"Count\"=dword:12345678"));
    // Nothing but the registry file is left in the folder (no temporaries).
    EXPECT_EQ((std::vector<std::string>{"saved.reg"}), DirEntries());

    kxtest::ReloadRegistry();
    setenv("KX_REGISTRY", path.c_str(), 1);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg", 0, 0, &key));
    EXPECT_EQ((std::vector<std::u16string>{u"Zeta", u"Alpha"}), Subkeys(key));
    WCHAR text[64];
    DWORD size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, u"CurrentConfig", nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(std::u16string(u"New \"one\"\n"), text);
    RegCloseKey(key);
    // A second save of the reloaded registry gives the same text.
    ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(saved, Read(path));
}

TEST_F(RegistryTest, AFileItCannotParseIsNeverOverwritten) {
    std::string path = File("broken.reg");
    const std::string broken = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=bogus:1\n";
    UseFile(path, broken);
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"B");
    SetDword(key, u"v", 1);
    RegCloseKey(key);
    EXPECT_EQ(broken, Read(path));

    // A missing file is created at the first change.
    std::string fresh = File("fresh.reg");
    UseFile(fresh, "");
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Comm\\Empty"));
    EXPECT_NE(std::string::npos, Read(fresh).find("[HKEY_LOCAL_MACHINE\\Comm\\Empty]"));
}

TEST_F(RegistryTest, ConcurrentWritersAndReaders) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                char16_t path[] = u"Conc\\K0";
                path[6] = char16_t(u'0' + t);
                HKEY key = Create(HKEY_LOCAL_MACHINE, path);
                SetDword(key, u"n", DWORD(i));
                DWORD v = 0, size = 4;
                EXPECT_EQ(ERROR_SUCCESS,
                          RegQueryValueExW(key, u"n", nullptr, nullptr, (BYTE *)&v, &size));
                EXPECT_EQ(DWORD(i), v);
                if (i % 50 == 49)
                    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
                RegCloseKey(key);
            }
        });
    }
    for (auto &th : threads)
        th.join();
}

} // namespace

namespace {

// The shipped defaults load, and the profile for the simulated module's
// operator is complete.
TEST_F(RegistryTest, ShippedPlatformRegLoads) {
    UseFile(std::string(KX_SOURCE_DIR) + "/device/platform.reg", "");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm\\CarrierCfg\\KxTel", 0, 0, &key));
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(14u, values);
    RegCloseKey(key);
    // Nothing was written to the shipped file.
    unsetenv("KX_REGISTRY");
    kxtest::ReloadRegistry();
}

} // namespace

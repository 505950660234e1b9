// The registry's Win32 semantics and its REGEDIT4 file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "kx_test_text.h"
#if KX_TEST_HOOKS
#include <dirent.h>
#include <unistd.h>

#include "kx_platform_test.h"
#include "kx_registry_test.h"
#endif

namespace {

// The access asked for: CE takes none (the argument is reserved and must be
// 0); the desktop grants only what is asked.
const REGSAM kAccess = KX_CE_BEHAVIOUR("RegOpenKeyEx (Windows CE 5.0)") ? 0 : KEY_ALL_ACCESS;

class RegistryTest : public ::testing::Test {
  protected:
#if !KX_TEST_HOOKS
    // On Windows the registry lives on between tests: each starts without
    // the keys the tests make.
    void SetUp() override {
        Forget();
    }
    void TearDown() override {
        Forget();
    }
    static void Forget() {
        for (const WCHAR *key :
             {TEXT("Comm"), TEXT("B"), TEXT("Del"), TEXT("Order"), TEXT("Q"), TEXT("Conc")})
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    }
#else
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
    std::string File(const char *name) const {
        return dir_ + "/" + name;
    }
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
#endif
};

HKEY Create(HKEY base, const WCHAR *path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(base, path, 0, nullptr, 0, kAccess, nullptr, &key, nullptr));
    return key;
}

void SetString(HKEY key, const WCHAR *name, const kxtest::WString &text) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text.c_str(),
                                            DWORD((text.size() + 1) * 2)));
}

void SetDword(HKEY key, const WCHAR *name, DWORD v) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&v, 4));
}

std::vector<kxtest::WString> Subkeys(HKEY key) {
    std::vector<kxtest::WString> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[64];
        DWORD cch = 64;
        LONG rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(ERROR_SUCCESS, rc);
        EXPECT_EQ(kxtest::WString(name).size(), cch);
        names.push_back(name);
    }
    return names;
}

TEST_F(RegistryTest, KeysAreCaseInsensitiveAndTolerateLeadingBackslash) {
    DWORD disposition = 0;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg"), 0,
                                             nullptr, 0, kAccess, nullptr, &key, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    SetDword(key, TEXT("Value"), 7);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("COMM\\carriercfg"), 0,
                                             nullptr, 0, kAccess, nullptr, &key, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    RegCloseKey(key);

#if KX_TEST_HOOKS
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Comm\\CARRIERCFG"), 0, kAccess, &key));
#else
    // No document promises a leading backslash; Windows refuses it.
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Comm\\CARRIERCFG"), 0, kAccess, &key));
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CARRIERCFG"), 0, kAccess, &key));
#endif
    DWORD v = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, TEXT("VALUE"), nullptr, nullptr, (BYTE *)&v, &size));
    EXPECT_EQ(7u, v);
    RegCloseKey(key);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\Other"), 0, kAccess, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Comm"), 0, kAccess, &key));
    // An empty path component fails (here ERROR_INVALID_PARAMETER, on
    // Windows ERROR_FILE_NOT_FOUND; no document says which).
    EXPECT_EQ(KX_TEST_HOOKS ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\\\X"), 0, kAccess, &key));
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
    HKEY root = Create(HKEY_LOCAL_MACHINE, TEXT("Order"));
    for (const WCHAR *n : {TEXT("Zulu"), TEXT("alpha"), TEXT("Mike")})
        RegCloseKey(Create(root, n));
    RegCloseKey(Create(root, TEXT("ALPHA"))); // exists already: no new entry
    std::vector<kxtest::WString> names = Subkeys(root);
#if KX_TEST_HOOKS
    // This platform keeps creation order (its REGEDIT4 file keeps its
    // order); Win32 promises no order, so elsewhere only the names count.
    EXPECT_EQ((std::vector<kxtest::WString>{TEXT("Zulu"), TEXT("alpha"), TEXT("Mike")}), names);
#endif
    std::vector<kxtest::WString> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<kxtest::WString>{TEXT("Mike"), TEXT("Zulu"), TEXT("alpha")}), sorted);

    // A name that does not fit the capacity (terminator included) fails.
    const DWORD zulu = DWORD(std::find(names.begin(), names.end(), TEXT("Zulu")) - names.begin());
    WCHAR name[4];
    DWORD cch = 4;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExW(root, zulu, name, &cch, nullptr, nullptr, nullptr, nullptr));
    cch = 5;
    WCHAR fits[5];
    EXPECT_EQ(ERROR_SUCCESS,
              RegEnumKeyExW(root, zulu, fits, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(4u, cch);

    SetDword(root, TEXT("b"), 1);
    SetDword(root, TEXT("a"), 2);
    SetDword(root, TEXT("B"), 3); // replaces "b" (in place here)
    WCHAR vname[8];
    DWORD vcch = 8, type = 0, data = 0, size = 4;
    DWORD index = KX_TEST_HOOKS ? 0 : 2; // without an order: look for it
    for (DWORD i = 0; !KX_TEST_HOOKS && i < 2; ++i) {
        vcch = 8;
        if (RegEnumValueW(root, i, vname, &vcch, nullptr, nullptr, nullptr, nullptr) ==
                ERROR_SUCCESS &&
            lstrcmpiW(vname, TEXT("b")) == 0)
            index = i;
    }
    vcch = 8;
    ASSERT_EQ(ERROR_SUCCESS,
              RegEnumValueW(root, index, vname, &vcch, nullptr, &type, (BYTE *)&data, &size));
    EXPECT_EQ(kxtest::WString(TEXT("b")), vname);
    EXPECT_EQ(3u, data);
    vcch = 8;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumValueW(root, 2, vname, &vcch, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(root);
}

TEST_F(RegistryTest, QueryHonoursTheByteLimit) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("Q"));
    SetString(key, TEXT("Text"), TEXT("hello")); // 12 bytes with the terminator

    DWORD size = 0, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("Text"), nullptr, &type, nullptr, &size));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(REG_SZ, type);

    BYTE buffer[16];
    memset(buffer, 0xAA, sizeof(buffer));
    size = 11;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExW(key, TEXT("Text"), nullptr, nullptr, buffer, &size));
    EXPECT_EQ(12u, size);

    size = 12;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("Text"), nullptr, nullptr, buffer, &size));
    EXPECT_EQ(kxtest::WString(TEXT("hello")), kxtest::WString((const WCHAR *)buffer));
    EXPECT_EQ(0xAA, buffer[12]); // nothing written past the value

    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExW(key, TEXT("Text"), nullptr, nullptr, buffer, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExW(key, TEXT("Missing"), nullptr, nullptr, buffer, &size));

    // The default value has an empty or null name.
    SetString(key, nullptr, TEXT("d"));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT(""), nullptr, nullptr, buffer, &size));
    EXPECT_EQ(4u, size);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeletionAndHandles) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("Del\\Entry\\Nested"));
    RegCloseKey(key);
    HKEY entry = Create(HKEY_LOCAL_MACHINE, TEXT("Del\\Entry"));
    SetDword(entry, TEXT("v"), 1);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(entry, TEXT("V")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(entry, TEXT("V")));

    // A handle still open on a deleted key reports so instead of touching
    // freed storage.
#if KX_CE_BEHAVIOUR("RegDeleteKey (Windows CE 5.0)")
    // CE deletes the subkeys too.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("\\del\\entry")));
#else
    // The desktop deletes only a key without subkeys.
    EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("del\\entry")));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("del\\entry\\nested")));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("del\\entry")));
#endif
    DWORD size = 4, v;
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegQueryValueExW(entry, TEXT("v"), nullptr, nullptr, (BYTE *)&v, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(entry, TEXT("v"), 0, REG_DWORD, (BYTE *)&v, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(entry));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Del\\Entry\\Nested"), 0, kAccess, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("Del\\Entry")));
    // Deleting the root fails (CE: ERROR_INVALID_PARAMETER, the desktop:
    // ERROR_ACCESS_DENIED; the documentation promises only the failure).
    EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("")));

#if KX_TEST_HOOKS
    // Open keys count among the process's handles.
    int before = kxtest::OpenHandleCount();
    HKEY counted = Create(HKEY_LOCAL_MACHINE, TEXT("Del"));
    EXPECT_EQ(before + 1, kxtest::OpenHandleCount());
    RegCloseKey(counted);
    EXPECT_EQ(before, kxtest::OpenHandleCount());
#endif

    // A closed or made-up handle is refused.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(entry));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegQueryValueExW((HKEY)&v, TEXT("v"), nullptr, nullptr, nullptr, &size));
}

#if KX_TEST_HOOKS // the registry's REGEDIT4 file is this platform's
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
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Comm\\CarrierCfg"), 0, kAccess, &key));
    EXPECT_EQ((std::vector<kxtest::WString>{TEXT("Zeta"), TEXT("Alpha")}), Subkeys(key));
    WCHAR text[64];
    DWORD size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, TEXT("CurrentConfig"), nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(kxtest::WString(TEXT("Say \"hi\" C:\\x")), text);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg\\Zeta"), 0, kAccess, &key));
    DWORD v = 0, type = 0;
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, TEXT("AlwaysOn"), nullptr, &type, (BYTE *)&v, &size));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(0xFFFFFFFFu, v);
    BYTE blob[8];
    size = sizeof(blob);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("Blob"), nullptr, &type, blob, &size));
    EXPECT_EQ(REG_BINARY, type);
    ASSERT_EQ(3u, size);
    EXPECT_EQ(3, blob[2]);
    RegCloseKey(key);

    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg\\Alpha"), 0, kAccess, &key));
    size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, TEXT("CAF\u00c9"), nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(kxtest::WString(TEXT("\u00e9t\u00e9")), text);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SavesEveryChangeAndReloadsTheSame) {
    std::string path = File("saved.reg");
    UseFile(path, kSample);
    HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg"));
    SetString(key, TEXT("CurrentConfig"), TEXT("New \"one\"\n")); // a control character goes as hex
    SetDword(key, TEXT("Count"), 0x12345678);
    RegCloseKey(key);
    std::string saved = Read(path);
    EXPECT_EQ(0u, saved.find("REGEDIT4\r\n"));
    EXPECT_NE(std::string::npos, saved.find("\"Count\"=dword:12345678"));
    // Nothing but the registry file is left in the folder (no temporaries).
    EXPECT_EQ((std::vector<std::string>{"saved.reg"}), DirEntries());

    kxtest::ReloadRegistry();
    setenv("KX_REGISTRY", path.c_str(), 1);
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Comm\\CarrierCfg"), 0, kAccess, &key));
    EXPECT_EQ((std::vector<kxtest::WString>{TEXT("Zeta"), TEXT("Alpha")}), Subkeys(key));
    WCHAR text[64];
    DWORD size = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, TEXT("CurrentConfig"), nullptr, nullptr, (BYTE *)text, &size));
    EXPECT_EQ(kxtest::WString(TEXT("New \"one\"\n")), text);
    RegCloseKey(key);
    // A second save of the reloaded registry gives the same text.
    ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(saved, Read(path));
}

TEST_F(RegistryTest, AFileItCannotParseIsNeverOverwritten) {
    std::string path = File("broken.reg");
    const std::string broken = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=bogus:1\n";
    UseFile(path, broken);
    HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("B"));
    SetDword(key, TEXT("v"), 1);
    RegCloseKey(key);
    EXPECT_EQ(broken, Read(path));

    // A missing file is created at the first change.
    std::string fresh = File("fresh.reg");
    UseFile(fresh, "");
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, TEXT("Comm\\Empty")));
    EXPECT_NE(std::string::npos, Read(fresh).find("[HKEY_LOCAL_MACHINE\\Comm\\Empty]"));
}

#endif

TEST_F(RegistryTest, ConcurrentWritersAndReaders) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                WCHAR path[] = TEXT("Conc\\K0");
                path[6] = WCHAR(TEXT('0') + t);
                HKEY key = Create(HKEY_LOCAL_MACHINE, path);
                SetDword(key, TEXT("n"), DWORD(i));
                DWORD v = 0, size = 4;
                EXPECT_EQ(ERROR_SUCCESS,
                          RegQueryValueExW(key, TEXT("n"), nullptr, nullptr, (BYTE *)&v, &size));
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

#if KX_TEST_HOOKS
// The shipped defaults load, and the profile for the simulated module's
// operator is complete.
TEST_F(RegistryTest, ShippedPlatformRegLoads) {
    UseFile(std::string(KX_SOURCE_DIR) + "/device/platform.reg", "");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Comm\\CarrierCfg\\KxTel"), 0,
                                           kAccess, &key));
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
#endif

} // namespace

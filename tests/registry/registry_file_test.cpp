// The registry file is the user's: what the registry refuses, what a save
// keeps, and that whatever it writes reads back the same. The file behind
// the registry (KX_REGISTRY) is this platform's own, so these tests run on
// it alone (not in the Wine lane).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>

#include "kx_registry_test.h"

namespace {

class RegistryFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxregfileXXXXXX";
        dir_ = mkdtemp(pattern);
        chmod(dir_.c_str(), 0777); // for the scenarios run as an ordinary user
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
    }
    void TearDown() override {
        unsetenv("KX_REGISTRY");
        kxtest::ReloadRegistry();
        std::string cmd = "chmod -R u+rwx " + dir_ + "; rm -rf " + dir_;
        (void)system(cmd.c_str());
    }
    std::string File(const char *name) const { return dir_ + "/" + name; }
    static void Write(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void Use(const std::string &path) {
        setenv("KX_REGISTRY", path.c_str(), 1);
        kxtest::ReloadRegistry();
    }
    static mode_t Mode(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    // A change: HKLM\Changed\v = n.
    static LONG Change(DWORD n) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Changed", 0, nullptr, 0, 0, nullptr, &key,
                                  nullptr);
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegSetValueExW(key, u"v", 0, REG_DWORD, (const BYTE *)&n, 4);
        RegCloseKey(key);
        return rc;
    }
    static bool Exists(const char16_t *path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    static std::vector<std::u16string> Subkeys(HKEY key) {
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            WCHAR name[300];
            DWORD length = 300;
            if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            names.push_back(name);
        }
        return names;
    }
    // Runs `scenario` in a child process as an ordinary user (root reads and
    // writes whatever it likes, so permissions only show without it).
    static void AsOrdinaryUser(const std::function<void()> &scenario) {
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(2);
            kxtest::ReloadRegistry();
            scenario();
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the scenario failed in the child (its messages are above)";
    }
    std::string dir_;
};

const char kUserFile[] = "REGEDIT4\n"
                         "\n"
                         "[HKEY_LOCAL_MACHINE\\Profiles\\Kx]\n"
                         "\"Password\"=\"secret\"\n";

// Unreadable, a folder, a pipe: refused with one message, never written,
// and the registry's status says so.
TEST_F(RegistryFileTest, AFileItCannotReadIsRefusedAndNeverWritten) {
    std::string path = File("locked.reg");
    Write(path, kUserFile);
    chmod(path.c_str(), 0000);
    AsOrdinaryUser([&] {
        Use(path);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ERROR_CANTREAD, kxtest::RegistryFileStatus());
        EXPECT_EQ(ERROR_SUCCESS, Change(1)); // the registry works in memory
        EXPECT_EQ(ERROR_SUCCESS, Change(2));
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, said.find("cannot be read")) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "one message: " << said;
        EXPECT_EQ(ERROR_CANTREAD, kxtest::RegistryFileStatus());
    });
    chmod(path.c_str(), 0600);
    EXPECT_EQ(kUserFile, Read(path));

    // A folder and a named pipe (a stand-in for any device: a registry that
    // wrote one would replace it with a file).
    std::string folder = File("folder.reg");
    mkdir(folder.c_str(), 0755);
    std::string pipe = File("pipe.reg");
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    for (const std::string &p : {folder, pipe}) {
        Use(p);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ERROR_SUCCESS, Change(1));
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, said.find(p)) << said;
        EXPECT_EQ(ERROR_CANTREAD, kxtest::RegistryFileStatus()) << p;
    }
    struct stat st;
    EXPECT_EQ(0, stat(folder.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, stat(pipe.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A file that does not parse is refused as well: empty registry, error
// status, the file as it was.
TEST_F(RegistryFileTest, AFileThatDoesNotParseFailsTheStatus) {
    std::string path = File("broken.reg");
    const std::string broken = kUserFile + std::string("\"Count\"=bogus:1\n");
    Write(path, broken);
    Use(path);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ERROR_BADDB, kxtest::RegistryFileStatus());
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, said.find("line 5")) << said;
    EXPECT_FALSE(Exists(u"Profiles\\Kx"));
    EXPECT_EQ(ERROR_SUCCESS, Change(1));
    EXPECT_EQ(broken, Read(path));
}

// An empty file is an empty registry: nothing in it can be lost, so the
// first change writes a whole registry file there (and the load said that
// it was empty).
TEST_F(RegistryFileTest, AnEmptyFileIsAnEmptyRegistry) {
    std::string path = File("empty.reg");
    Write(path, "");
    chmod(path.c_str(), 0640);
    Use(path);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, said.find("is empty")) << said;
    EXPECT_EQ(ERROR_SUCCESS, Change(7));
    EXPECT_EQ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Changed]\r\n\"v\"=dword:00000007\r\n",
              Read(path));
    EXPECT_EQ(0640u, Mode(path));
}

// A read-only file is never written, and said so once; that is no failure.
TEST_F(RegistryFileTest, AReadOnlyFileIsNotWritten) {
    std::string path = File("readonly.reg");
    Write(path, kUserFile);
    chmod(path.c_str(), 0444);
    Use(path);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ERROR_SUCCESS, Change(1));
    EXPECT_EQ(ERROR_SUCCESS, Change(2));
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, said.find("read-only")) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "once: " << said;
    EXPECT_EQ(kUserFile, Read(path));
    EXPECT_EQ(0444u, Mode(path));
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());
    EXPECT_TRUE(Exists(u"Profiles\\Kx"));
}

// A save keeps the mode (a file of passwords stays 0600) and a symbolic link
// (the file it leads to is replaced, atomically, in its own folder).
TEST_F(RegistryFileTest, ASaveKeepsModeAndSymbolicLink) {
    std::string real = File("real.reg");
    Write(real, kUserFile);
    chmod(real.c_str(), 0600);
    mkdir(File("links").c_str(), 0755);
    std::string link = File("links/registry.reg");
    ASSERT_EQ(0, symlink("../real.reg", link.c_str()));
    Use(link);
    ASSERT_EQ(ERROR_SUCCESS, Change(3));
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(std::string::npos, Read(real).find("\"v\"=dword:00000003"));
    EXPECT_EQ(0600u, Mode(real));
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());
    // No temporary file is left in either folder.
    EXPECT_EQ(0, system(("test $(ls -A " + dir_ + " | wc -l) -eq 2").c_str()));
    EXPECT_EQ(0, system(("test $(ls -A " + File("links") + " | wc -l) -eq 1").c_str()));

    // A link to a file not made yet: the file is made where it leads.
    std::string dangling = File("links/new.reg");
    ASSERT_EQ(0, symlink("../made.reg", dangling.c_str()));
    Use(dangling);
    ASSERT_EQ(ERROR_SUCCESS, Change(4));
    ASSERT_EQ(0, lstat(dangling.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(std::string::npos, Read(File("made.reg")).find("\"v\"=dword:00000004"));
}

// A save by root keeps the owner of a file that belongs to someone else.
TEST_F(RegistryFileTest, ASaveKeepsTheOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can make a file that belongs to another user";
    std::string path = File("theirs.reg");
    Write(path, kUserFile);
    ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
    Use(path);
    ASSERT_EQ(ERROR_SUCCESS, Change(6));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(65534u, st.st_gid);
    EXPECT_NE(std::string::npos, Read(path).find("\"v\"=dword:00000006"));
}

// A save that fails (the folder is read-only) is said once however many
// changes follow, fails the status, and leaves the file alone; once saving
// works again, the next save stores everything and the status recovers.
TEST_F(RegistryFileTest, AFailedSaveIsReportedOnceAndFailsTheStatus) {
    std::string folder = File("locked");
    mkdir(folder.c_str(), 0777);
    std::string path = folder + "/registry.reg";
    Write(path, kUserFile);
    chmod(path.c_str(), 0666);
    chmod(folder.c_str(), 0555);
    AsOrdinaryUser([&] {
        Use(path);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ERROR_SUCCESS, Change(1));
        EXPECT_EQ(ERROR_SUCCESS, Change(2));
        EXPECT_EQ(ERROR_SUCCESS, Change(3));
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, said.find("cannot save")) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "once: " << said;
        EXPECT_EQ(ERROR_CANTWRITE, kxtest::RegistryFileStatus());
        EXPECT_EQ(kUserFile, Read(path));
    });
    // The same in this process, the folder writable again at the end.
    Use(path);
    chmod(folder.c_str(), 0777);
    ASSERT_EQ(ERROR_SUCCESS, Change(5));
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());
    EXPECT_NE(std::string::npos, Read(path).find("\"v\"=dword:00000005"));
}

// A save keeps the file's comments, blank lines, line ends, the order of
// its sections and values and the text of unchanged values; new values go
// after their siblings, new keys after their older siblings' sections, and
// only keys with values (or no subkeys) get a section.
TEST_F(RegistryFileTest, ASaveKeepsCommentsOrderAndText) {
    const std::string original = "REGEDIT4\n"
                                 "; The handheld's registry, edited by hand.\n"
                                 "\n"
                                 "; Profiles: first match wins.\n"
                                 "[HKLM\\Comm\\CarrierCfg\\Zeta]\n"
                                 "\"ConfigName\"=\"Zeta Net\"   \n"
                                 "; the APN\n"
                                 "\"Blob\"=hex:01,02,\\\n"
                                 "  03\n"
                                 "\n"
                                 "[HKEY_CURRENT_USER\\Settings]\n"
                                 "\"Theme\"=dword:1\n"
                                 "\n"
                                 "; the driver's own key, after its profiles\n"
                                 "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg]\n"
                                 "\"CurrentConfig\"=\"Zeta Net\"\n"
                                 "\"Gone\"=dword:2\n"
                                 "; the end\n";
    std::string path = File("edited.reg");
    Write(path, original);
    Use(path);

    HKEY cfg = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg", 0, 0, &cfg));
    const char16_t name[] = u"Alpha Net";
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(cfg, u"CurrentConfig", 0, REG_SZ, (const BYTE *)name, sizeof(name)));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(cfg, u"Gone"));
    HKEY alpha = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(cfg, u"Alpha\\Deep", 0, nullptr, 0, 0, nullptr, &alpha, nullptr));
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(alpha, u"On", 0, REG_DWORD, (const BYTE *)&one, 4));
    RegCloseKey(alpha);
    HKEY empty = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(cfg, u"Empty", 0, nullptr, 0, 0, nullptr, &empty, nullptr));
    RegCloseKey(empty);
    RegCloseKey(cfg);

    const std::string expected = "REGEDIT4\n"
                                 "; The handheld's registry, edited by hand.\n"
                                 "\n"
                                 "; Profiles: first match wins.\n"
                                 "[HKLM\\Comm\\CarrierCfg\\Zeta]\n"
                                 "\"ConfigName\"=\"Zeta Net\"   \n"
                                 "; the APN\n"
                                 "\"Blob\"=hex:01,02,\\\n"
                                 "  03\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\\Alpha\\Deep]\n"
                                 "\"On\"=dword:00000001\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\\Empty]\n"
                                 "\n"
                                 "[HKEY_CURRENT_USER\\Settings]\n"
                                 "\"Theme\"=dword:1\n"
                                 "\n"
                                 "; the driver's own key, after its profiles\n"
                                 "[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg]\n"
                                 "\"CurrentConfig\"=\"Alpha Net\"\n"
                                 "; the end\n";
    EXPECT_EQ(expected, Read(path));

    // Read back, the keys come in the order they had.
    kxtest::ReloadRegistry();
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\CarrierCfg", 0, 0, &cfg));
    EXPECT_EQ((std::vector<std::u16string>{u"Zeta", u"Alpha", u"Empty"}), Subkeys(cfg));
    RegCloseKey(cfg);
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(expected, Read(path));
}

// A comment that ends in a backslash is still one line: the value below it
// used to be read as part of the comment, and so was lost at the next save.
TEST_F(RegistryFileTest, ACommentEndingInABackslashEndsAtItsLine) {
    std::string path = File("comment.reg");
    const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n"
                             "; files go to C:\\\n"
                             "\"Kept\"=dword:00000001\n";
    Write(path, text);
    Use(path);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &key));
    DWORD v = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Kept", nullptr, nullptr, (BYTE *)&v, &size));
    EXPECT_EQ(1u, v);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(text, Read(path));
}

// A load creates a key where it is first mentioned. When a deletion takes
// away that mention in a file whose sections are out of tree order, the
// save mentions the key in its place again, so the next load enumerates the
// keys in the same order.
TEST_F(RegistryFileTest, AfterADeletionTheKeysKeepTheirOrder) {
    std::string path = File("order.reg");
    Write(path, "REGEDIT4\n\n"
                "[HKEY_LOCAL_MACHINE\\P\\X\\C]\n\"c\"=dword:1\n\n"
                "[HKEY_LOCAL_MACHINE\\P\\Y]\n\"y\"=dword:1\n\n"
                "[HKEY_LOCAL_MACHINE\\P\\X]\n\"x\"=dword:1\n");
    Use(path);
    HKEY p = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"P", 0, 0, &p));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), Subkeys(p));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(p, u"X\\C"));
    RegCloseKey(p);
    kxtest::ReloadRegistry();
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"P", 0, 0, &p));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), Subkeys(p)) << Read(path);
    RegCloseKey(p);
    EXPECT_NE(std::string::npos, Read(path).find("[HKEY_LOCAL_MACHINE\\P\\X]\n\"x\"=dword:1"));
}

// Any name the registry accepts reads back as it was; a name with a line
// break, which the file cannot carry, is refused.
TEST_F(RegistryFileTest, EveryAcceptedNameReadsBackTheSame) {
    std::string path = File("names.reg");
    Use(path);
    const std::u16string names[] = {u"quote\"back\\slash",
                                    u"]bracket[",
                                    u"; not a comment",
                                    u"@",
                                    u"-minus",
                                    u" spaces \t",
                                    u"caf\u00e9 \u4e2d \U0001F600",
                                    std::u16string(1, char16_t(0xD800)) + u"lone",
                                    u"x" + std::u16string(1, char16_t(0xDC00)),
                                    u"ctl\x01\x1f",
                                    u"end\\"};
    for (const auto &n : names) {
        std::u16string keyName = n;
        for (auto &c : keyName) {
            if (c == u'\\')
                c = u'/'; // a backslash divides key paths
        }
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0,
                                                 0, nullptr, &key, nullptr));
        DWORD v = 9;
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, n.c_str(), 0, REG_DWORD, (const BYTE *)&v, 4));
        RegCloseKey(key);
    }
    for (const char16_t *bad : {u"line\nfeed", u"carriage\rreturn"}) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExW(HKEY_LOCAL_MACHINE, bad, 0, nullptr, 0,
                                                           0, nullptr, &key, nullptr));
        DWORD v = 1;
        EXPECT_EQ(ERROR_INVALID_PARAMETER,
                  RegSetValueExW(HKEY_LOCAL_MACHINE, bad, 0, REG_DWORD, (const BYTE *)&v, 4));
    }
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());

    kxtest::ReloadRegistry();
    EXPECT_EQ(ERROR_SUCCESS, kxtest::RegistryFileStatus());
    std::vector<std::u16string> keys = Subkeys(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(std::size(names), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        std::u16string keyName = names[i];
        for (auto &c : keyName) {
            if (c == u'\\')
                c = u'/';
        }
        EXPECT_EQ(keyName, keys[i]) << i;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys[i].c_str(), 0, 0, &key));
        WCHAR value[64] = {};
        DWORD length = 64;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegEnumValueW(key, 0, value, &length, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(names[i], std::u16string(value, length)) << i;
        RegCloseKey(key);
    }
}

// A version 5 file stays one: text values written since read back as they
// were written.
TEST_F(RegistryFileTest, AVersionFiveFileKeepsItsForm) {
    std::string path = File("v5.reg");
    Write(path, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                "\"Path\"=hex(2):25,00,58,00,25,00,00,00\r\n");
    Use(path);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &key));
    const char16_t text[] = u"%Y%\u00e9";
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, u"More", 0, REG_EXPAND_SZ, (const BYTE *)text, sizeof(text)));
    RegCloseKey(key);
    EXPECT_EQ(0u, Read(path).find("Windows Registry Editor Version 5.00\r\n"));
    kxtest::ReloadRegistry();
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &key));
    BYTE data[64];
    DWORD size = sizeof(data), type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"More", nullptr, &type, data, &size));
    EXPECT_EQ(REG_EXPAND_SZ, type);
    EXPECT_EQ(std::u16string(text, 5), std::u16string((const char16_t *)data, size / 2));
    RegCloseKey(key);
}

} // namespace

// A .reg file with a NUL character is not loaded (found by fuzzing the
// reader, fuzz/reg_reader_fuzz.cpp): the NUL used to stay inside a value's
// name, giving a value that RegEnumValueW lists but no call can name, and
// "dword:" followed by a NUL read as 0.
#include <windows.h>

#include <kx_registry_test.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(RegistryNul, AFileWithANulCharacterIsNotLoadedNorOverwritten) {
    char pattern[] = "/tmp/kxregnulXXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string path = dir + "/nul.reg";
    const char raw[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Nul]\n\"\0\"=dword:\0\n\"ok\"=dword:1\n";
    const std::string text(raw, sizeof(raw) - 1);
    std::ofstream(path, std::ios::binary) << text;
    setenv("KX_REGISTRY", path.c_str(), 1);
    kxtest::ReloadRegistry();

    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Nul", 0, 0, &key));
    // A change stays in memory: the file is left as it was.
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Other", 0, nullptr, 0, 0,
                                             nullptr, &created, nullptr));
    DWORD one = 1;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(created, u"v", 0, REG_DWORD, (const BYTE *)&one, 4));
    RegCloseKey(created);
    std::ifstream in(path, std::ios::binary);
    std::stringstream now;
    now << in.rdbuf();
    EXPECT_EQ(now.str(), text);

    unsetenv("KX_REGISTRY");
    kxtest::ReloadRegistry();
    unlink(path.c_str());
    rmdir(dir.c_str());
}

} // namespace

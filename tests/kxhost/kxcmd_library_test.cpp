#include <kxhost/kxcmd_library.h>

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

namespace {

std::string BinDirectory() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/'));
}

TEST(KxCmdLibrary, LoadsTheElevenExportsAndUnloadsForGood) {
    kxcmd::Api api;
    std::string error;
    ASSERT_TRUE(api.Load(BinDirectory() + "/KxCmdApi.so", &error)) << error;
    for (void *slot :
         {reinterpret_cast<void *>(api.Open), reinterpret_cast<void *>(api.Close),
          reinterpret_cast<void *>(api.Reopen), reinterpret_cast<void *>(api.Logon),
          reinterpret_cast<void *>(api.Logoff), reinterpret_cast<void *>(api.ConnectionState),
          reinterpret_cast<void *>(api.ChannelRate),
          reinterpret_cast<void *>(api.GetSignalStrength), reinterpret_cast<void *>(api.Send),
          reinterpret_cast<void *>(api.Receive), reinterpret_cast<void *>(api.Abort)})
        EXPECT_NE(slot, nullptr);
    EXPECT_TRUE(api.Unload());
    EXPECT_EQ(api.library, nullptr);
}

TEST(KxCmdLibrary, ALibraryWithoutTheExportsLeavesNothingBound) {
    kxcmd::Api api;
    std::string error;
    EXPECT_FALSE(api.Load(BinDirectory() + "/no-such-KxCmdApi.so", &error));
    EXPECT_NE(error.find("no-such-KxCmdApi.so"), std::string::npos) << error;
    // The C library exports none of them.
    error.clear();
    EXPECT_FALSE(api.Load("libc.so.6", &error));
    EXPECT_EQ(error, "libc.so.6 does not export KxCmdOpen");
    EXPECT_EQ(api.library, nullptr);
    EXPECT_EQ(api.Open, nullptr);
    EXPECT_EQ(api.Abort, nullptr);
}

} // namespace

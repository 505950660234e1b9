// KxCmdApi linked directly, as a program that imports it: the library is
// built at load, opens against the scripted module and closes.
#include "KxCmdApi.h"
#include "fake_module.h"

#include <kx_platform_test.h>

#include <gtest/gtest.h>

TEST(LinkedKxCmdApi, OpensQueriesAndCloses) {
    kxtest::SetTimeScale(0.05);
    kxtest::FakeModule module;
    ASSERT_TRUE(KxCmdOpen());
    EXPECT_FALSE(KxCmdOpen());
    EXPECT_EQ(module.CountOf(0, 0x22), 2u);
    EXPECT_TRUE(KxCmdClose());
    EXPECT_EQ(module.CountOf(0, 0x23), 2u);
    EXPECT_FALSE(module.control->IsOpen());
}

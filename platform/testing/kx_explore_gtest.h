// GoogleTest glue of the explorer (kx_explore.h): explores a scenario in the
// running test and fails the test with the first failing schedule, its
// failure and its replay line.
#pragma once

#include "kx_explore.h"

#include <gtest/gtest.h>

namespace kxtest {

// "Suite.Name" of the running test.
inline std::string CurrentTestFilter() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
}

// Explores `scenario` for the running test; a failing schedule fails the
// test. Returns the result for figures.
inline ExploreResult ExploreInTest(ExploreOptions options, const std::function<void()> &scenario) {
    if (options.test.empty())
        options.test = CurrentTestFilter();
    ExploreResult result = Explore(options, scenario);
    EXPECT_TRUE(result.passed) << "schedule " << DescribeSpec(result.failing) << " failed after "
                               << result.schedules << " schedules:\n"
                               << result.failure << "\nreplay: " << result.replay;
    ::testing::Test::RecordProperty("schedules", result.schedules);
    printf("[ explored ] %s\n", result.Summary().c_str());
    return result;
}

} // namespace kxtest

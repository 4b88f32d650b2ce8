// The decimal reading behind the provider's "trace_level" setting.
#include "../harness/plugin_host.h"
#include "../internal/wide_string.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

int32_t read(const std::string& text) {
    return wideToInt32(wide(text).c_str());
}

TEST(WideToInt32, ReadsLeadingBlanksASignAndDigitsUpToTheFirstOther) {
    EXPECT_EQ(0, read(""));
    EXPECT_EQ(0, read("abc"));
    EXPECT_EQ(0, read("-"));
    EXPECT_EQ(12, read(" \t+12abc"));
    EXPECT_EQ(-7, read("-007"));
    EXPECT_EQ(3, read("3 4"));
    EXPECT_EQ(0, read("- 5"));
}

TEST(WideToInt32, SaturatesBeyondThe32BitRange) {
    EXPECT_EQ(INT32_MAX, read("2147483647"));
    EXPECT_EQ(INT32_MAX, read("2147483648"));
    EXPECT_EQ(INT32_MAX, read("4294967297")); // wraps to 1 in 32 bits
    EXPECT_EQ(INT32_MAX, read("99999999999999999999999999999999"));
    EXPECT_EQ(INT32_MIN, read("-2147483648"));
    EXPECT_EQ(INT32_MIN, read("-2147483649"));
    EXPECT_EQ(INT32_MIN, read("-99999999999999999999999999999999"));
}

} // namespace

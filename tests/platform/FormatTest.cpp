// printf-style formatting into strings of any length.
#include <gtest/gtest.h>
#include "ZQPlatform/Format.h"

namespace {

TEST(StringWithFormat, FormatsShortAndLongTexts) {
    EXPECT_EQ(platform::stringWithFormat("%s:%d %.0f", "总流量", 7, 1234.6), "总流量:7 1235");
    EXPECT_EQ(platform::stringWithFormat("%s", ""), "");
    std::string longText(5000, 'x');
    EXPECT_EQ(platform::stringWithFormat("[%s]", longText.c_str()), "[" + longText + "]");
}

} // namespace

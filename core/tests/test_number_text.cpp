#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ovelin/number_text.hpp"

TEST(NumberText, ShortestTextThatReadsBack) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::string>> cases{
        {12.0, "12.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {12.35, "12.35"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {-0.00012, "-0.00012"},
        {1.5e16, "1.5e+16"},
        {1e16, "1e+16"},
        {9999999999999998.0, "9999999999999998.0"},
        {123456789012345.6, "123456789012345.6"},
        {1e100, "1e+100"},
        {-2.5e-308, "-2.5e-308"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::nan(""), "nan"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(ovelin::number_text(value), text) << text;
}

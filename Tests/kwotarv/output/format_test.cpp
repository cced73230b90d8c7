// Values as the reports write them.
#include <gtest/gtest.h>

#include "output/format.hpp"

namespace {

using namespace kwotarv;

TEST(Text, Units)
{
    EXPECT_EQ(FormatHundredths(1209), "12.09");
    EXPECT_EQ(FormatHundredths(5), "0.05");
    EXPECT_EQ(FormatHundredths(4294967276u), "42949672.76"); // a wrapped negative offset
    EXPECT_EQ(FormatTenths(455), "45.5");
    EXPECT_EQ(FormatTenths(-5), "-0.5");
    EXPECT_EQ(FormatTenths(-1280), "-128.0");
    EXPECT_EQ(FormatTenths(INT32_MIN), "-214748364.8");
    EXPECT_EQ(FormatSignedHundredths(1260), "12.60");
    EXPECT_EQ(FormatSignedHundredths(-5), "-0.05");
    EXPECT_EQ(FormatSignedHundredths(INT32_MIN), "-21474836.48");
}

} // namespace

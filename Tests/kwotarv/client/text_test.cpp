// Hex input, control-code names and UTF-16 text as the client reads them.
#include <gtest/gtest.h>

#include "client/protocol_names.hpp"
#include "client/text.hpp"
#include "output/format.hpp"

namespace {

using namespace kwotarv;

TEST(Text, HexInput)
{
    EXPECT_EQ(ParseHexBytes("05000000"), (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(ParseHexBytes("0x05 00:FF"), (std::vector<uint8_t>{5, 0, 0xFF}));
    EXPECT_EQ(ParseHexBytes(""), std::vector<uint8_t>{});
    EXPECT_FALSE(ParseHexBytes("123").has_value());
    EXPECT_FALSE(ParseHexBytes("1 23").has_value());
    EXPECT_FALSE(ParseHexBytes("zz").has_value());
    EXPECT_EQ(ParseControlCode("ioctl_hwm_get_fans"), 0x222414u);
    EXPECT_EQ(ParseControlCode("0x222410"), 0x222410u);
    EXPECT_EQ(ParseControlCode("2237456"), 0x222410u);
    EXPECT_FALSE(ParseControlCode("0x1FFFFFFFF").has_value());
}

TEST(Text, Utf16)
{
    const std::vector<uint8_t> degree = {0xB0, 0x00, 'C', 0, 0, 0, 'x', 0};
    EXPECT_EQ(Utf16LeToUtf8(degree), "\u00B0C");
    const std::vector<uint8_t> pair = {0x3D, 0xD8, 0x00, 0xDE}; // U+1F600
    EXPECT_EQ(Utf16LeToUtf8(pair), "\U0001F600");
    const std::vector<uint8_t> lone = {0x3D, 0xD8, 'a', 0};
    EXPECT_EQ(Utf16LeToUtf8(lone), "\uFFFDa");
    EXPECT_EQ(DisplayWidth("\u00B0C"), 2u);
    EXPECT_EQ(PadRight("\u00B0", 3), "\u00B0  ");
}

} // namespace

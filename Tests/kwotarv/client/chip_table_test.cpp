// The chip table: the NCT6776 fan count format, and which chips' counts are speeds.
#include <gtest/gtest.h>

#include <ostream>

#include "client/chip_table.hpp"
#include "kwotarv_public.h"

namespace {

using namespace kwotarv;

struct Rpm {
    uint16_t value;
    uint32_t rpm;
};

void PrintTo(const Rpm& c, std::ostream* os)
{
    *os << std::hex << "0x" << c.value;
}

class FanRpmTest : public ::testing::TestWithParam<Rpm> {};

TEST_P(FanRpmTest, Nct6776CountFormat)
{
    EXPECT_EQ(Nct6776FanRpm(GetParam().value), GetParam().rpm);
}

INSTANTIATE_TEST_SUITE_P(
    Fans, FanRpmTest,
    ::testing::Values(Rpm{0x1C04, 1500},    // count 0x1C << 5 | 4 = 900
                      Rpm{0x2305, 1200},    // count 1125
                      Rpm{0x0000, 0},       // count 0
                      Rpm{0xFF1F, 0},       // every count bit set: no reading
                      Rpm{0xFFFF, 0},       // the same, with the unused low-byte bits set
                      Rpm{0xFE1F, 165},     // 0xFE << 5 | 0x1F = 8159 is still a reading
                      Rpm{0x00E1, 1350000}, // only bits 4-0 of the low byte count: 1
                      Rpm{0x0001, 1350000}, Rpm{0x0100, 42187})); // 32: 1350000 / 32

TEST(FanRpm, OnlyTheNct6776CountsAreSpeeds)
{
    EXPECT_EQ(FanRpm(ChipByCode(CHIP_NCT6776), 0x1C04), 1500u);
    EXPECT_FALSE(FanRpm(ChipByCode(CHIP_NCT5523D), 0x1C04).has_value());
    EXPECT_FALSE(FanRpm(ChipByCode(CHIP_W83627HF), 0x1C04).has_value());
    EXPECT_FALSE(FanRpm(nullptr, 0x1C04).has_value());
    EXPECT_EQ(ChipByDescription("Nuvoton NCT5523D/6106D Hardware Monitor"),
              ChipByCode(CHIP_NCT5523D));
    EXPECT_EQ(ChipByDescription("Winbond W83627DHG Hardware Monitor"), ChipByCode(CHIP_W83627DHG));
}

// A chip is the one whose description the text is, not one whose name the text contains.
TEST(ChipTable, OnlyAnExactDescriptionIdentifiesAChip)
{
    for (const char* text : {"Nuvoton NCT6776", "Nuvoton NCT6776 Hardware Monitor ",
                             "nuvoton nct6776 hardware monitor", "W83627HF", ""})
        EXPECT_EQ(ChipByDescription(text), nullptr) << text;
    EXPECT_EQ(ChipByCode(CHIP_NONE), nullptr);
    EXPECT_EQ(ChipName(ChipByDescription("Something Else"), "unknown"), "unknown");
}

} // namespace

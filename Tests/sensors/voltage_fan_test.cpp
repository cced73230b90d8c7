// Voltage and fan readings against the chip models: fixed input scaling per chip and register,
// the divider/offset arithmetic with its 32-bit wrap-around, slot ownership, skipped channels,
// channels beyond the arrays' room, and the port traffic each reading costs.
#include <cstring>
#include <limits>
#include <string>
#include <vector>
#include <ostream>
#include <gtest/gtest.h>

#include "channel_builder.hpp"
#include "sensors_board.hpp"
#include "sim_fixture.hpp"

#include "sensors/sensors.h"

using kwo::test::ChannelRecord;
using sim::hw::ChipKind;
using sim::hw::PortAccess;

namespace {

// ---- ScaleVoltageInput --------------------------------------------------------------------

struct ScaleCase {
    const char* name;
    ULONG chipType;
    USHORT low;
    ULONG raw;
    ULONG expected;
};

void PrintTo(const ScaleCase& c, std::ostream* os)
{
    *os << c.name;
}

class ScaleVoltageInputTest : public SimTest, public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(ScaleVoltageInputTest, ScalesByChipAndLowByte)
{
    const ScaleCase& c = GetParam();
    DEVICE_EXTENSION ext{};
    ext.ChipType = c.chipType;
    ULONG value = c.raw;
    ScaleVoltageInput(&ext, c.low, &value);
    EXPECT_EQ(value, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScaleVoltageInputTest,
    ::testing::Values(ScaleCase{"Nct5523_02_doubled", CHIP_NCT5523D, 0x02, 100, 200},
                      ScaleCase{"Nct5523_08_doubled", CHIP_NCT5523D, 0x08, 100, 200},
                      ScaleCase{"Nct5523_05_unchanged", CHIP_NCT5523D, 0x05, 100, 100},
                      ScaleCase{"Nct5523_23_unchanged", CHIP_NCT5523D, 0x23, 186, 186},
                      ScaleCase{"Dhg_22_doubled", CHIP_W83627DHG, 0x22, 204, 408},
                      ScaleCase{"Dhg_51_doubled", CHIP_W83627DHG, 0x51, 7, 14},
                      ScaleCase{"Dhg_24_unchanged", CHIP_W83627DHG, 0x24, 7, 7},
                      ScaleCase{"Nct6776_50_doubled", CHIP_NCT6776, 0x50, 9, 18},
                      ScaleCase{"Hf_23_84of50", CHIP_W83627HF, 0x23, 186, 312},
                      ScaleCase{"Hf_23_truncates", CHIP_W83627HF, 0x23, 1, 1}, // 84 / 50
                      ScaleCase{"Hf_50_50of33", CHIP_W83627HF, 0x50, 99, 150},
                      ScaleCase{"Hf_22_unchanged", CHIP_W83627HF, 0x22, 100, 100},
                      ScaleCase{"Hf_51_unchanged", CHIP_W83627HF, 0x51, 100, 100},
                      ScaleCase{"Hf_23_multiplication_wraps", CHIP_W83627HF, 0x23, 0x80000000u, 0},
                      ScaleCase{"ChipNone_unchanged", CHIP_NONE, 0x22, 5, 5},
                      ScaleCase{"UnknownChip_unchanged", 3, 0x23, 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

class ScaleVoltageInputArguments : public SimTest {};

TEST_F(ScaleVoltageInputArguments, MissingArgumentsAreIgnored)
{
    ULONG value = 100;
    ScaleVoltageInput(nullptr, 0x22, &value);
    EXPECT_EQ(value, 100u);
    DEVICE_EXTENSION ext{};
    ext.ChipType = CHIP_W83627DHG;
    ScaleVoltageInput(&ext, 0x22, nullptr); // must not crash
}

// ---- SampleVoltages: one channel, table-driven ---------------------------------------------

struct VoltageCase {
    const char* name;
    ChipKind chip;
    ULONG regIndex;
    uint8_t raw; // content of the 8-bit voltage register
    ULONG r1;
    ULONG r2;
    LONG offset;
    ULONG expected;
    uint64_t registerReads = 1; // a skipped channel does not touch the chip
};

void PrintTo(const VoltageCase& c, std::ostream* os)
{
    *os << c.name;
}

class VoltageReadingTest : public SimTest, public ::testing::WithParamInterface<VoltageCase> {};

TEST_P(VoltageReadingTest, ConvertsOneChannel)
{
    const VoltageCase& c = GetParam();
    auto ext = kwo::test::NewExtension();
    sim::hw::SuperIo& chip = kwo::test::InstallAndDetect(*ext, c.chip);
    const USHORT reg = ext->VoltageRegs[c.regIndex];
    chip.SetRegister(reg, c.raw);
    kwo::test::AttachVoltages(
        *ext, kwo::test::BuildChannelList(
                  SENSOR_KIND_VOLTAGE,
                  {{.regIndex = c.regIndex, .r1 = c.r1, .r2 = c.r2, .offset = c.offset}}));

    SampleVoltages(ext.get());

    EXPECT_EQ(ext->Voltages[0], c.expected);
    EXPECT_EQ(chip.HwmReadCount(reg), c.registerReads);
    kwo::test::FreeLists(*ext);
}

constexpr ULONG kTwoTo31 = 0x80000000u;

INSTANTIATE_TEST_SUITE_P(
    Table, VoltageReadingTest,
    ::testing::Values(
        // W83627DHG, register 0x0022 (index 2): doubled, 408 * 8 / 10.
        VoltageCase{"DhgDoubledInput", ChipKind::W83627DHG, 2, 204, 0, 0, 0, 326},
        // W83627HF, register 0x0023 (index 3): 186 * 84 / 50 = 312, * 16 / 10.
        VoltageCase{"HfScaledInput", ChipKind::W83627HF, 3, 186, 0, 0, 0, 499},
        // W83627HF, register 0x0022: not doubled on this chip.
        VoltageCase{"HfRegister22NotDoubled", ChipKind::W83627HF, 2, 100, 0, 0, 0, 160},
        // W83627HF, register 0x0550 (index 7): 99 * 50 / 33 = 150, * 16 / 10.
        VoltageCase{"HfRegister550Scaled", ChipKind::W83627HF, 7, 99, 0, 0, 0, 240},
        // NCT6776, register 0x0551 (index 8): the bank is not consulted, doubled.
        VoltageCase{"Nct6776Register551Doubled", ChipKind::NCT6776, 8, 50, 0, 0, 0, 80},
        // NCT5523D, index 1 is register 0x0002: doubled.
        VoltageCase{"Nct5523Register02Doubled", ChipKind::NCT5523D, 1, 100, 0, 0, 0, 160},
        // NCT5523D, index 6 is register 0x0001 (table order): not scaled.
        VoltageCase{"Nct5523Index6IsRegister01", ChipKind::NCT5523D, 6, 100, 0, 0, 0, 80},
        // Divider on an unscaled input (0x0020): (56 + 10) * 227 * 8 / 100.
        VoltageCase{"Divider", ChipKind::W83627DHG, 0, 227, 56, 10, 0, 1198},
        VoltageCase{"DividerWithNegativeOffset", ChipKind::W83627DHG, 0, 227, 56, 10, -1, 1098},
        // A raw 0 reads 0 whatever the offset and divider.
        VoltageCase{"ZeroRawIgnoresOffset", ChipKind::W83627DHG, 0, 0, 56, 10, 5, 0},
        // raw 1: 8 / 10 truncates to 0; the offset still applies because raw was not 0.
        VoltageCase{"TruncatesToZero", ChipKind::W83627DHG, 0, 1, 0, 0, 0, 0},
        VoltageCase{"OffsetAfterTruncation", ChipKind::W83627DHG, 0, 1, 0, 0, 2, 200},
        // (3000000 + 1000) * 255 * 8 wraps to 1827072704 before the division by 10000.
        VoltageCase{"ProductWrapsBeforeDivision", ChipKind::W83627DHG, 0, 255, 3000000, 1000, 0,
                    182707},
        // 80 - 100 wraps to a large unsigned value.
        VoltageCase{"NegativeResultWraps", ChipKind::W83627DHG, 0, 100, 0, 0, -1, 4294967276u},
        // R1 is not used without R2.
        VoltageCase{"R1IgnoredWithoutR2", ChipKind::W83627DHG, 0, 100, 1000, 0, 0, 80},
        // R2 * 10 wraps to 0: the channel is skipped (and its register not read, see below).
        VoltageCase{"DivisorWrapsToZero", ChipKind::W83627DHG, 0, 100, 1, kTwoTo31, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- SampleVoltages: the list and the slots ------------------------------------------------

class VoltageSlotsTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ext = kwo::test::NewExtension();
        chip = &kwo::test::InstallAndDetect(*ext, ChipKind::W83627DHG);
        for (ULONG i = 0; i < 9; ++i)
            chip->SetRegister(ext->VoltageRegs[i], static_cast<uint8_t>(10 * (i + 1)));
    }
    void TearDown() override
    {
        kwo::test::FreeLists(*ext);
        SimTest::TearDown();
    }
    // Expected reading of an undivided channel on register index i of the W83627DHG.
    ULONG Plain(ULONG i) const
    {
        ULONG raw = 10 * (i + 1);
        if (i == 2 || i == 3 || i == 7 || i == 8)
            raw *= 2;
        return raw * 8 / 10;
    }

    std::unique_ptr<DEVICE_EXTENSION> ext;
    sim::hw::SuperIo* chip = nullptr;
};

TEST_F(VoltageSlotsTest, UnconfiguredSlotsReadZeroAfterEveryReading)
{
    kwo::test::AttachVoltages(
        *ext, kwo::test::BuildChannelList(SENSOR_KIND_VOLTAGE,
                                          {{.regIndex = 4}, {.regIndex = 0}, {.regIndex = 6}}));
    for (ULONG& v : ext->Voltages)
        v = 0xDEADBEEF;

    SampleVoltages(ext.get());

    EXPECT_EQ(ext->Voltages[0], Plain(4));
    EXPECT_EQ(ext->Voltages[1], Plain(0));
    EXPECT_EQ(ext->Voltages[2], Plain(6));
    for (int i = 3; i < 9; ++i)
        EXPECT_EQ(ext->Voltages[i], 0u) << "slot " << i;
}

TEST_F(VoltageSlotsTest, FailingChannelIsSkippedAndTheOthersAreRead)
{
    kwo::test::AttachVoltages(
        *ext, kwo::test::BuildChannelList(
                  SENSOR_KIND_VOLTAGE,
                  {{.regIndex = 0}, {.regIndex = 1, .r2 = kTwoTo31}, {.regIndex = 4}}));
    ext->Voltages[1] = 0xDEADBEEF;

    SampleVoltages(ext.get());

    EXPECT_EQ(ext->Voltages[0], Plain(0));
    EXPECT_EQ(ext->Voltages[1], 0u);
    EXPECT_EQ(ext->Voltages[2], Plain(4));
    EXPECT_EQ(chip->HwmReadCount(ext->VoltageRegs[1]), 0u);
}

TEST_F(VoltageSlotsTest, RegisterIndexOutsideTheTableReadsZeroWithoutTouchingTheChip)
{
    kwo::test::AttachVoltages(
        *ext,
        kwo::test::BuildChannelList(SENSOR_KIND_VOLTAGE,
                                    {{.regIndex = 9}, {.regIndex = 0xFFFFFFFF}, {.regIndex = 5}}));
    sim::hw::Current().ports.StartTrace();

    SampleVoltages(ext.get());

    EXPECT_EQ(ext->Voltages[0], 0u);
    EXPECT_EQ(ext->Voltages[1], 0u);
    EXPECT_EQ(ext->Voltages[2], Plain(5));
    EXPECT_EQ(sim::hw::Current().ports.Trace().size(), 6u); // one 8-bit read
}

TEST_F(VoltageSlotsTest, ChannelsBeyondNineAreNotRead)
{
    kwo::test::AttachVoltages(*ext, kwo::test::BuildNumberedList(SENSOR_KIND_VOLTAGE, 12, 9, u"V"));
    std::memset(ext->Fans, 0x77, sizeof(ext->Fans));
    sim::hw::Current().ports.StartTrace();

    SampleVoltages(ext.get());

    for (ULONG i = 0; i < 9; ++i)
        EXPECT_EQ(ext->Voltages[i], Plain(i)) << "slot " << i;
    for (ULONG f : ext->Fans)
        EXPECT_EQ(f, 0x77777777u) << "the array after Voltages was written";
    EXPECT_EQ(sim::hw::Current().ports.Trace().size(), 9u * 6u);
}

TEST_F(VoltageSlotsTest, CountAboveTheListIsBoundedByTheList)
{
    kwo::test::AttachVoltages(
        *ext, kwo::test::BuildChannelList(SENSOR_KIND_VOLTAGE, {{.regIndex = 1}}, 4));
    ext->VoltageCount = 4; // disagrees with the list: records 1..3 are empty

    SampleVoltages(ext.get());

    EXPECT_EQ(ext->Voltages[0], Plain(1));
    EXPECT_EQ(chip->HwmReadCount(ext->VoltageRegs[0]), 0u) << "an empty record was read";
}

TEST_F(VoltageSlotsTest, WithoutAListTheArrayIsLeftAlone)
{
    for (ULONG& v : ext->Voltages)
        v = 1234;
    sim::hw::Current().ports.StartTrace();

    SampleVoltages(ext.get());
    SampleVoltages(nullptr);

    for (ULONG v : ext->Voltages)
        EXPECT_EQ(v, 1234u);
    EXPECT_TRUE(sim::hw::Current().ports.Trace().empty());
}

TEST_F(VoltageSlotsTest, OneChannelCostsOneBankedByteRead)
{
    kwo::test::AttachVoltages(
        *ext, kwo::test::BuildChannelList(SENSOR_KIND_VOLTAGE, {{.regIndex = 7}})); // 0x0550
    chip->SetRegister(0x0550, 0x42);
    auto& bus = sim::hw::Current().ports;
    bus.StartTrace();

    SampleVoltages(ext.get());

    using kwo::test::kHwmDataPort;
    using kwo::test::kHwmIndexPort;
    EXPECT_EQ(bus.Trace(), (std::vector<PortAccess>{
                               PortAccess::Write(kHwmIndexPort, 0x4E),
                               PortAccess::Write(kHwmDataPort, 0x05),
                               PortAccess::Write(kHwmIndexPort, 0x50),
                               PortAccess::Read(kHwmDataPort, 0x42),
                               PortAccess::Write(kHwmIndexPort, 0x4E),
                               PortAccess::Write(kHwmDataPort, 0x00),
                           }));
    EXPECT_EQ(ext->Voltages[0], 0x42u * 2 * 8 / 10);
}

// ---- SampleFans ----------------------------------------------------------------------------

using FanTest = kwo::test::SensorBoardTest;

TEST_F(FanTest, RegisterPairGivesTheRawCount)
{
    sim::hw::SuperIo& chip = Board(ChipKind::NCT6776);
    chip.SetRegister(0x065A, 0x0A);
    chip.SetRegister(0x065B, 0x14);
    chip.SetRegister(0x0656, 0xFF);
    chip.SetRegister(0x0657, 0xFF);
    kwo::test::AttachFans(
        *ext, kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.regIndex = 2}, {.regIndex = 0}}));

    SampleFans(ext.get());

    EXPECT_EQ(ext->Fans[0], 2580u); // 0x0A14
    EXPECT_EQ(ext->Fans[1], 0xFFFFu);
    EXPECT_EQ(ext->Fans[2], 0u);
    EXPECT_EQ(chip.HwmReadCount(0x065A), 1u);
    EXPECT_EQ(chip.HwmReadCount(0x065B), 1u);
}

TEST_F(FanTest, ZeroHighByteReadsZeroAndSkipsTheLowRegister)
{
    sim::hw::SuperIo& chip = Board(ChipKind::NCT6776);
    chip.SetRegister(0x0656, 0x00);
    chip.SetRegister(0x0657, 0x99);
    kwo::test::AttachFans(*ext, kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.regIndex = 0}}));
    auto& bus = sim::hw::Current().ports;
    bus.StartTrace();

    SampleFans(ext.get());

    EXPECT_EQ(ext->Fans[0], 0u);
    EXPECT_EQ(chip.HwmReadCount(0x0657), 0u);
    EXPECT_EQ(bus.Trace().size(), 6u);
}

TEST_F(FanTest, Nct5523TableOrder)
{
    sim::hw::SuperIo& chip = Board(ChipKind::NCT5523D);
    chip.SetRegister(0x0034, 0x01);
    chip.SetRegister(0x0035, 0x02);
    kwo::test::AttachFans(*ext, kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.regIndex = 2}}));

    SampleFans(ext.get());

    EXPECT_EQ(ext->Fans[0], 0x0102u);
}

TEST_F(FanTest, ChipWithoutFanTableTouchesNeitherChipNorArray)
{
    Board(ChipKind::W83627HF);
    ASSERT_EQ(ext->FanRegs, nullptr);
    kwo::test::AttachFans(*ext, kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.regIndex = 0}}));
    for (ULONG& f : ext->Fans)
        f = 0xABCD;
    auto& bus = sim::hw::Current().ports;
    bus.StartTrace();

    SampleFans(ext.get());

    EXPECT_TRUE(bus.Trace().empty());
    for (ULONG f : ext->Fans)
        EXPECT_EQ(f, 0xABCDu);
}

TEST_F(FanTest, IndexOutsideTheFanTableReadsZero)
{
    sim::hw::SuperIo& chip = Board(ChipKind::NCT5523D);
    chip.SetRegister(0x0030, 0x05);
    kwo::test::AttachFans(
        *ext, kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.regIndex = 3}, {.regIndex = 0}}));
    ext->Fans[0] = 99;

    SampleFans(ext.get());

    EXPECT_EQ(ext->Fans[0], 0u);
    EXPECT_EQ(ext->Fans[1], 0x0500u);
}

TEST_F(FanTest, ChannelsBeyondFiveAreNotRead)
{
    sim::hw::SuperIo& chip = Board(ChipKind::NCT6776);
    for (USHORT reg = 0x0656; reg <= 0x065F; ++reg)
        chip.SetRegister(reg, 0x11);
    kwo::test::AttachFans(*ext, kwo::test::BuildNumberedList(SENSOR_KIND_FAN, 7, 5, u"F"));
    std::memset(ext->ChipDesc, 0x33, sizeof(ext->ChipDesc));

    SampleFans(ext.get());

    for (ULONG f : ext->Fans)
        EXPECT_EQ(f, 0x1111u);
    for (WCHAR c : ext->ChipDesc)
        EXPECT_EQ(c, 0x3333) << "the field after Fans was written";
    EXPECT_EQ(chip.HwmReadCount(0x0656), 1u) << "the sixth channel (index 0 again) was read";
}

TEST_F(FanTest, WithoutAListTheArrayIsLeftAlone)
{
    Board(ChipKind::NCT6776);
    ext->Fans[4] = 7;
    SampleFans(ext.get());
    SampleFans(nullptr);
    EXPECT_EQ(ext->Fans[4], 7u);
}

} // namespace

// Temperature readings: the register form (1/256 degree to tenths, truncating toward zero),
// offsets, the two outside sources and who may use them, the processor source's checks (TjMax,
// reading-valid bit, a processor without the thermal status register), and slot ownership.
#include <string>
#include <vector>
#include <ostream>
#include <gtest/gtest.h>

#include "channel_builder.hpp"
#include "kernel/debug/debug.hpp"
#include "sensors_board.hpp"
#include "sim_fixture.hpp"

#include "sensors/sensors.h"

using kwo::test::ChannelRecord;
using sim::hw::ChipKind;

namespace {

constexpr ULONG kNct6776WordTempIndex = 3; // 0x0073, 16 bits wide on the NCT6776
constexpr ULONG kByteTempIndex = 0;        // 0x0027, 8 bits wide

class TemperatureTest : public kwo::test::SensorBoardTest {
  protected:
    void Channels(const std::vector<ChannelRecord>& records)
    {
        kwo::test::AttachTemperatures(*ext,
                                      kwo::test::BuildChannelList(SENSOR_KIND_TEMPERATURE, records));
    }
    sim::hw::Cpu& Cpu() { return sim::hw::Current().cpu; }
    sim::hw::PciBus& Pci() { return sim::hw::Current().pci; }
};

// ---- register form -----------------------------------------------------------------------

struct RegisterFormCase {
    const char* name;
    uint16_t word; // the 16-bit register's content
    LONG offset;
    LONG expected;
};

void PrintTo(const RegisterFormCase& c, std::ostream* os)
{
    *os << c.name;
}

class RegisterFormTest : public TemperatureTest,
                         public ::testing::WithParamInterface<RegisterFormCase> {};

TEST_P(RegisterFormTest, ConvertsToTenths)
{
    const RegisterFormCase& c = GetParam();
    Board(ChipKind::NCT6776).SetWord(0x0073, c.word);
    Channels({{.regIndex = kNct6776WordTempIndex, .offset = c.offset}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegisterFormTest,
    ::testing::Values(RegisterFormCase{"Plus25_5", 0x1980, 0, 255},
                      RegisterFormCase{"Plus25", 0x1900, 0, 250},
                      RegisterFormCase{"Minus10", 0xF600, 0, -100},
                      RegisterFormCase{"MinusHalf", 0xFF80, 0, -5},
                      RegisterFormCase{"MinusQuarterTruncatesToZero", 0xFFC0, 0, 0},
                      RegisterFormCase{"PlusQuarterTruncatesToZero", 0x0040, 0, 0},
                      RegisterFormCase{"Minus1_25TruncatesToMinus1", 0xFEC0, 0, -10},
                      RegisterFormCase{"Minus128", 0x8000, 0, -1280},
                      RegisterFormCase{"Plus127_5", 0x7F80, 0, 1275},
                      RegisterFormCase{"OffsetUp", 0x1900, 3, 280},
                      RegisterFormCase{"OffsetDown", 0x1900, -5, 200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TemperatureTest, ByteRegisterMovesToTheHighByte)
{
    Board(ChipKind::W83627DHG).SetRegister(0x0027, 0x19);
    Channels({{.regIndex = kByteTempIndex}, {.regIndex = kByteTempIndex, .offset = -30}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 250);
    EXPECT_EQ(ext->Temperatures[1], -50);
}

TEST_F(TemperatureTest, Nct5523HalfDegreeFromTheSharedRegister)
{
    sim::hw::SuperIo& c = Board(ChipKind::NCT5523D);
    c.SetWord(0x0010, 0x1980);
    c.SetWord(0x0011, 0x1900);
    Channels({{.regIndex = 0}, {.regIndex = 1}});

    SampleTemperaturesNct5523(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 255);
    EXPECT_EQ(ext->Temperatures[1], 250);
}

// ---- slots -------------------------------------------------------------------------------

TEST_F(TemperatureTest, OneChannelLeavesSlotOneZeroAndSlotTwoIsAlwaysZero)
{
    Board(ChipKind::W83627DHG).SetRegister(0x0027, 0x20);
    Channels({{.regIndex = kByteTempIndex}});
    ext->Temperatures[1] = 77;
    ext->Temperatures[2] = 88;

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 320);
    EXPECT_EQ(ext->Temperatures[1], 0);
    EXPECT_EQ(ext->Temperatures[2], 0);
}

TEST_F(TemperatureTest, ChannelsAfterTheSecondAreNotRead)
{
    sim::hw::SuperIo& c = Board(ChipKind::W83627DHG);
    Channels({{.regIndex = 0}, {.regIndex = 0}, {.regIndex = 4}, {.regIndex = 5}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(c.HwmReadCount(0x0075), 0u);
    EXPECT_EQ(c.HwmReadCount(0x0077), 0u);
    EXPECT_EQ(ext->Temperatures[2], 0);
}

TEST_F(TemperatureTest, WithoutTablesNothingChangesWithoutListAllIsCleared)
{
    Board(ChipKind::W83627DHG);
    ext->Temperatures[0] = 5;
    ext->Temperatures[2] = 6;
    SampleTemperatures(ext.get()); // no list: cleared
    EXPECT_EQ(ext->Temperatures[0], 0);
    EXPECT_EQ(ext->Temperatures[2], 0);

    ext->TempRegs = nullptr; // no profile: untouched
    ext->Temperatures[0] = 5;
    SampleTemperatures(ext.get());
    SampleTemperaturesNct5523(ext.get());
    SampleTemperatures(nullptr);
    EXPECT_EQ(ext->Temperatures[0], 5);
}

TEST_F(TemperatureTest, EmptyListWithTheFlagSetReadsNothing)
{
    Board(ChipKind::W83627DHG);
    kwo::test::AttachTemperatures(*ext,
                                  kwo::test::BuildChannelList(SENSOR_KIND_TEMPERATURE, {}, 2));
    ext->HasTemp1 = 1;
    ext->HasTemp2 = 1;
    auto& bus = sim::hw::Current().ports;
    bus.StartTrace();

    SampleTemperatures(ext.get());

    EXPECT_TRUE(bus.Trace().empty());
    EXPECT_EQ(ext->Temperatures[0], 0);
}

TEST_F(TemperatureTest, FunctionIndexOutsideTheSourcesReadsTheRegister)
{
    Board(ChipKind::W83627DHG).SetRegister(0x0027, 0x10);
    Channels({{.regIndex = 0, .functionIndex = 2}, {.regIndex = 0, .functionIndex = -1}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 160);
    EXPECT_EQ(ext->Temperatures[1], 160);
    EXPECT_EQ(Cpu().MsrReadCount(sim::hw::kMsrThermStatus), 0u);
    EXPECT_EQ(Pci().TotalReadCount(), 0u);
}

// ---- processor source ---------------------------------------------------------------------

TEST_F(TemperatureTest, ProcessorSourceReadsDistanceBelowTjMax)
{
    Board(ChipKind::NCT6776);
    Cpu().SetThermalStatus(0x88390000);
    Channels({{.tjMax = 100, .functionIndex = 0}});
    sim::debug::Clear();

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 430);
    EXPECT_EQ(
        sim::debug::Lines(),
        std::vector<std::string>{"thermal_status:0x88390000, dsr:57, tjmax:100, ulValue:43\n"});
}

TEST_F(TemperatureTest, ProcessorSourceWithoutValidReadingGivesOffsetOnly)
{
    Board(ChipKind::NCT6776);
    Cpu().SetThermalStatus(0x08390000);
    Channels({{.tjMax = 100, .offset = 4, .functionIndex = 0}});
    sim::debug::Clear();

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 40);
    EXPECT_TRUE(sim::debug::Lines().empty());
}

TEST_F(TemperatureTest, ZeroTjMaxDoesNotReadTheRegister)
{
    Board(ChipKind::NCT6776);
    Cpu().SetThermalStatus(0x88390000);
    Channels({{.tjMax = 0, .offset = 1, .functionIndex = 0},
              {.tjMax = 100, .offset = -2, .functionIndex = 0}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 10);
    EXPECT_EQ(ext->Temperatures[1], -20);
    EXPECT_EQ(Cpu().MsrReadCount(sim::hw::kMsrThermStatus), 0u);
}

TEST_F(TemperatureTest, SecondChannelUsesTheFirstChannelsTjMax)
{
    Board(ChipKind::NCT6776).SetWord(0x0073, 0x2000);
    Cpu().SetThermalStatus(0x880A0000); // 10 below TjMax
    Channels({{.regIndex = kNct6776WordTempIndex, .tjMax = 90}, {.tjMax = 50, .functionIndex = 0}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 320);
    EXPECT_EQ(ext->Temperatures[1], 800); // (90 - 10) * 10
}

struct MissingSensorCase {
    const char* name;
    uint32_t maxLeaf;
    bool digitalThermalSensor;
};

void PrintTo(const MissingSensorCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProcessorWithoutThermalStatusTest : public TemperatureTest,
                                          public ::testing::WithParamInterface<MissingSensorCase> {
};

TEST_P(ProcessorWithoutThermalStatusTest, SourceFailsWithoutReadingTheMsr)
{
    const MissingSensorCase& c = GetParam();
    Board(ChipKind::NCT6776);
    Cpu().SetMaxLeaf(c.maxLeaf);
    Cpu().SetDigitalThermalSensor(c.digitalThermalSensor);
    Channels({{.tjMax = 100, .offset = 3, .functionIndex = 0}});
    sim::debug::Clear();

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 30);
    EXPECT_EQ(Cpu().MsrReadCount(sim::hw::kMsrThermStatus), 0u);
    EXPECT_TRUE(sim::debug::Lines().empty());
    // The fixture fails the test if the simulator saw a read of a missing MSR.
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessorWithoutThermalStatusTest,
                         ::testing::Values(MissingSensorCase{"NoSensorBit", 0x0B, false},
                                           MissingSensorCase{"NoLeafSix", 5, true},
                                           MissingSensorCase{"OnlyLeafZero", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TemperatureTest, ProcessorSourceRejectsMissingArguments)
{
    Board(ChipKind::NCT6776);
    Cpu().SetThermalStatus(0x88390000);
    LONG value = 42;
    EXPECT_FALSE(ReadCpuThermalStatus(nullptr, &value));
    EXPECT_FALSE(ReadCpuThermalStatus(ext.get(), nullptr));
    EXPECT_FALSE(ReadCpuThermalStatus(ext.get(), &value)); // no temperature list
    EXPECT_EQ(value, 42);
    EXPECT_EQ(Cpu().MsrReadCount(sim::hw::kMsrThermStatus), 0u);
}

TEST_F(TemperatureTest, ReadMsrSplitsTheHalvesAndIgnoresMissingPointers)
{
    Cpu().SetMsr(0x123, 0x1122334455667788ull);
    ULONG high = 0, low = 0;
    ReadMsr(0x123, &high, &low);
    EXPECT_EQ(high, 0x11223344u);
    EXPECT_EQ(low, 0x55667788u);
    ReadMsr(0x123, nullptr, &low);
    ReadMsr(0x123, &high, nullptr);
    EXPECT_EQ(Cpu().MsrReadCount(0x123), 1u);
}

// ---- northbridge source --------------------------------------------------------------------

struct NorthbridgeCase {
    const char* name;
    uint32_t value;
    LONG expected;
};

void PrintTo(const NorthbridgeCase& c, std::ostream* os)
{
    *os << c.name;
}

class NorthbridgeTest : public TemperatureTest,
                        public ::testing::WithParamInterface<NorthbridgeCase> {};

TEST_P(NorthbridgeTest, ConvertsEighthsToTenths)
{
    const NorthbridgeCase& c = GetParam();
    Pci().AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    Pci().SetConfigDword(0, 0x18, 3, 0xA4, c.value);
    DEVICE_EXTENSION ext{};
    LONG value = -1;

    EXPECT_TRUE(ReadNorthbridgeTemperature(&ext, &value));
    EXPECT_EQ(value, c.expected);
    EXPECT_EQ(Pci().ReadCount(0, 0x18, 3), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, NorthbridgeTest,
                         ::testing::Values(NorthbridgeCase{"FourEighths", 0x2D800000, 455},
                                           NorthbridgeCase{"SevenEighths", 0x2DE00000, 458},
                                           NorthbridgeCase{"Zero", 0, 0},
                                           NorthbridgeCase{"OneEighth", 0x00200000, 1},
                                           NorthbridgeCase{"TwoEighths", 0x00400000, 2},
                                           NorthbridgeCase{"ThreeEighths", 0x00600000, 3},
                                           NorthbridgeCase{"FiveEighths", 0x00A00000, 6},
                                           NorthbridgeCase{"SixEighths", 0x00C00000, 7},
                                           NorthbridgeCase{"LowBitsIgnored", 0x011FFFFF, 10},
                                           NorthbridgeCase{"Highest", 0xFFE00000, 2558}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TemperatureTest, NorthbridgeAbsentReadsZeroDegrees)
{
    DEVICE_EXTENSION e{};
    LONG value = -1;
    EXPECT_TRUE(ReadNorthbridgeTemperature(&e, &value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(ReadNorthbridgeTemperature(nullptr, &value));
    EXPECT_FALSE(ReadNorthbridgeTemperature(&e, nullptr));
}

TEST_F(TemperatureTest, PciConfigDwordUsesTheSlotLayout)
{
    Pci().AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    Pci().SetConfigDword(0, 0x18, 3, 0xA4, 0xCAFEF00D);
    EXPECT_EQ(ReadPciConfigDword(0, 0x18, 3, 0xA4), 0xCAFEF00Du);
    // Device and function are masked to their fields: 0x38 is device 0x18, 11 function 3.
    EXPECT_EQ(ReadPciConfigDword(0, 0x38, 11, 0xA4), 0xCAFEF00Du);
    EXPECT_EQ(ReadPciConfigDword(0, 0x18, 2, 0xA4), 0u);
}

TEST_F(TemperatureTest, BothChannelsMayUseTheNorthbridgeOnOtherChips)
{
    Board(ChipKind::W83627DHG);
    Pci().AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    Pci().SetConfigDword(0, 0x18, 3, 0xA4, 0x2D800000);
    Channels({{.functionIndex = 1}, {.offset = 1, .functionIndex = 1}});

    SampleTemperatures(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 455);
    EXPECT_EQ(ext->Temperatures[1], 465);
    EXPECT_EQ(Pci().ReadCount(0, 0x18, 3), 2u);
}

TEST_F(TemperatureTest, Nct5523SecondChannelAlwaysReadsItsRegister)
{
    sim::hw::SuperIo& c = Board(ChipKind::NCT5523D);
    c.SetWord(0x0010, 0x1E00); // entry 0: 30 degrees
    Pci().AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    Pci().SetConfigDword(0, 0x18, 3, 0xA4, 0x2D800000);
    // The second channel names the northbridge and has no RegIndex: entry 0 is read.
    Channels({{.regIndex = 3}, {.functionIndex = 1}});

    SampleTemperaturesNct5523(ext.get());

    EXPECT_EQ(ext->Temperatures[1], 300);
    EXPECT_EQ(Pci().TotalReadCount(), 0u);
}

TEST_F(TemperatureTest, Nct5523FirstChannelMayUseASource)
{
    Board(ChipKind::NCT5523D);
    Pci().AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    Pci().SetConfigDword(0, 0x18, 3, 0xA4, 0x2DE00000);
    Channels({{.functionIndex = 1}});

    SampleTemperaturesNct5523(ext.get());

    EXPECT_EQ(ext->Temperatures[0], 458);
}

} // namespace

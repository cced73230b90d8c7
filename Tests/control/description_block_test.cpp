// The description built at start: the chip's text, the voltage list and its bounds, battery-
// voltage monitoring, the "ChipDesc" and "VoltageList" registry values, and the info block,
// compared byte for byte with layouts written out here from the published format.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "sim_fixture.hpp"
// Driver headers last: the host build's kernel seam renames a few C library routines.
#include "channel_builder.hpp"
#include "chip/chip.h"
#include "control/control.h"

namespace {

using kwo::test::BuildChannelList;
using kwo::test::ChannelRecord;
using Bytes = std::vector<uint8_t>;

const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";

void Put16(Bytes& bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutText(Bytes& bytes, size_t at, const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); ++i)
        Put16(bytes, at + 2 * i, static_cast<uint16_t>(text[i]));
}

Bytes TextBytes(const std::u16string& text, size_t size)
{
    Bytes bytes(size, 0);
    PutText(bytes, 0, text);
    return bytes;
}

// The info block as the format describes it: header, description, the voltage record holding
// the list's units up to and including its NUL, one record per temperature name, and one more
// zero record counted in Size.
Bytes ExpectedBlock(const std::u16string& description, const std::optional<std::u16string>& list,
                    const std::vector<std::u16string>& temperatureNames)
{
    const size_t groups = 1 + temperatureNames.size();
    const uint32_t size = static_cast<uint32_t>(272 + 132 * (groups + 1));
    Bytes bytes(size, 0);
    Put32(bytes, 0, size);
    PutText(bytes, 12, description);
    Put32(bytes, 268, static_cast<uint32_t>(groups));
    Put16(bytes, 272, 1);
    if (list)
        PutText(bytes, 276, *list); // the NUL after it is already zero
    for (size_t i = 0; i < temperatureNames.size(); ++i) {
        const size_t record = 272 + 132 * (i + 1);
        Put16(bytes, record, static_cast<uint16_t>(2 + i));
        PutText(bytes, record + 4, temperatureNames[i]);
        Put32(bytes, record + 68, 1);
    }
    return bytes;
}

std::u16string ListText(const std::vector<std::u16string>& names)
{
    std::u16string text;
    for (const auto& name : names)
        text += name + u" ";
    return text;
}

class DescriptionTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ext_ = std::make_unique<DEVICE_EXTENSION>();
        ext_->ChipType = CHIP_NCT6776;
    }

    void TearDown() override
    {
        FreeChannelList(&ext_->VoltageChannels);
        FreeChannelList(&ext_->TempChannels);
        if (ext_->ChipInfo != nullptr)
            ExFreePoolWithTag(ext_->ChipInfo, KWO_TAG_CHIP_INFO);
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
        SimTest::TearDown();
    }

    // An NCT6776 (or another chip) answering at its usual ports with the VBAT control register
    // holding `vbatControl`.
    sim::hw::SuperIo& InstallChip(sim::hw::ChipKind kind, uint16_t vbatRegister,
                                  uint8_t vbatControl)
    {
        auto& chip = sim::hw::Current().InstallSuperIo(sim::hw::SuperIoConfig::For(kind));
        chip.SetRegister(vbatRegister, vbatControl);
        ext_->HwmBase = chip.HwmBase();
        return chip;
    }

    void SetVoltages(const std::vector<ChannelRecord>& records, std::optional<ULONG> capacity = {})
    {
        ext_->VoltageChannels = BuildChannelList(SENSOR_KIND_VOLTAGE, records, capacity);
        ext_->VoltageCount = ext_->VoltageChannels->Count;
    }

    void SetTemperatures(const std::vector<ChannelRecord>& records)
    {
        ext_->TempChannels = BuildChannelList(SENSOR_KIND_TEMPERATURE, records);
        ext_->TempCount = ext_->TempChannels->Count;
        ext_->HasTemp1 = ext_->TempCount > 0;
        ext_->HasTemp2 = ext_->TempCount > 1;
    }

    Bytes BlockBytes() const
    {
        const auto* block = reinterpret_cast<const uint8_t*>(ext_->ChipInfo);
        return Bytes(block, block + ext_->ChipInfo->Size);
    }

    Bytes VoltageListBytes() const
    {
        const auto* list = reinterpret_cast<const uint8_t*>(ext_->VoltageList);
        return Bytes(list, list + sizeof(ext_->VoltageList));
    }

    static std::optional<sim::registry::Value> Published(const char* name)
    {
        return sim::registry::GetValue(kServiceKey, name);
    }

    std::unique_ptr<DEVICE_EXTENSION> ext_;
};

// ---- description texts -------------------------------------------------------------------------

struct ChipCase {
    ULONG chipType;
    std::u16string text;
};

std::ostream& operator<<(std::ostream& out, const ChipCase& c)
{
    return out << "chip type " << c.chipType;
}

class ChipDescriptionTest : public DescriptionTest,
                            public ::testing::WithParamInterface<ChipCase> {};

TEST_P(ChipDescriptionTest, TextInFieldRegistryAndBlock)
{
    const ChipCase& c = GetParam();
    ext_->ChipType = c.chipType;

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    const Bytes desc = TextBytes(c.text, 256);
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(ext_->ChipDesc),
                    reinterpret_cast<uint8_t*>(ext_->ChipDesc) + 256),
              desc);
    const auto published = Published("ChipDesc");
    ASSERT_TRUE(published);
    EXPECT_EQ(published->type, sim::registry::kRegSz);
    EXPECT_EQ(published->data, desc) << "always the whole 256-byte field";
    EXPECT_EQ(BlockBytes(), ExpectedBlock(c.text, std::nullopt, {}));
}

INSTANTIATE_TEST_SUITE_P(
    ChipTypes, ChipDescriptionTest,
    ::testing::Values(ChipCase{CHIP_W83627DHG, u"Winbond W83627DHG Hardware Monitor"},
                      ChipCase{CHIP_W83627HF, u"Winbond W83627HF Hardware Monitor"},
                      ChipCase{CHIP_NCT6776, u"Nuvoton NCT6776 Hardware Monitor"},
                      ChipCase{CHIP_NCT5523D, u"Nuvoton NCT5523D/6106D Hardware Monitor"},
                      ChipCase{CHIP_NONE, u"Nuvoton NCT6776 Hardware Monitor"},
                      ChipCase{3, u"Nuvoton NCT6776 Hardware Monitor"},
                      ChipCase{0xFFFFFFFF, u"Nuvoton NCT6776 Hardware Monitor"}));

// ---- the voltage list and battery-voltage monitoring
// ---------------------------------------------

TEST_F(DescriptionTest, DefaultNameAndVbatListAndEnableMonitoring)
{
    auto& chip = InstallChip(sim::hw::ChipKind::NCT6776, 0x005D, 0x40);
    SetVoltages({{.name = std::nullopt}, {.name = u"VBAT"}});
    ASSERT_EQ(ext_->VoltageChannels->Channels[0].NameSize, 16u);
    ASSERT_EQ(ext_->VoltageChannels->Channels[1].NameSize, 10u);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    const std::u16string list = u"Voltage VBAT ";
    EXPECT_EQ(VoltageListBytes(), TextBytes(list, 128));
    const auto published = Published("VoltageList");
    ASSERT_TRUE(published);
    EXPECT_EQ(published->type, sim::registry::kRegMultiSz);
    EXPECT_EQ(published->data, TextBytes(list, 28)) << "ListUnits 14: the names and one NUL";
    EXPECT_TRUE(ext_->VbatMonitor);
    EXPECT_EQ(chip.HwmWriteCount(0x005D), 1u) << "monitoring switched on once";
    EXPECT_EQ(chip.Register(0x005D), 0x41);
    EXPECT_FALSE(chip.SequenceOpen());
    EXPECT_EQ(BlockBytes(), ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", list, {}));
}

TEST_F(DescriptionTest, NoVoltageListPublishesAnEmptyValue)
{
    auto& chip = InstallChip(sim::hw::ChipKind::NCT6776, 0x005D, 0x40);
    std::memset(ext_->VoltageList, 0xAB, sizeof(ext_->VoltageList));

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(VoltageListBytes(), Bytes(128, 0));
    const auto published = Published("VoltageList");
    ASSERT_TRUE(published);
    EXPECT_EQ(published->type, sim::registry::kRegMultiSz);
    EXPECT_TRUE(published->data.empty());
    EXPECT_FALSE(ext_->VbatMonitor);
    EXPECT_EQ(chip.HwmOperationCount(), 0u);
    EXPECT_EQ(BlockBytes(), ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", std::nullopt, {}));
}

TEST_F(DescriptionTest, ListWithoutChannelsIsOneNul)
{
    SetVoltages({}, 3);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(VoltageListBytes(), Bytes(128, 0));
    EXPECT_EQ(Published("VoltageList")->data, Bytes(2, 0));
}

struct VbatCase {
    std::vector<std::u16string> names;
    bool vbat;
};

std::ostream& operator<<(std::ostream& out, const VbatCase& c)
{
    return out << c.names.size() << " names, VBAT " << (c.vbat ? "listed" : "absent");
}

class VbatDetectionTest : public DescriptionTest, public ::testing::WithParamInterface<VbatCase> {};

TEST_P(VbatDetectionTest, CaseSensitiveAnywhereInTheList)
{
    const VbatCase& c = GetParam();
    auto& chip = InstallChip(sim::hw::ChipKind::NCT5523D, 0x0318, 0xA4);
    ext_->ChipType = CHIP_NCT5523D;
    std::vector<ChannelRecord> records;
    for (const auto& name : c.names)
        records.push_back({.name = name});
    SetVoltages(records);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(ext_->VbatMonitor != FALSE, c.vbat);
    EXPECT_EQ(chip.Register(0x0318), c.vbat ? 0xA5 : 0xA4);
    EXPECT_EQ(chip.HwmWriteCount(0x0318), c.vbat ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, VbatDetectionTest,
    ::testing::Values(VbatCase{{u"VBAT"}, true}, VbatCase{{u"+3.3V", u"VBATX"}, true},
                      VbatCase{{u"Battery VBAT2", u"+5V"}, true}, VbatCase{{u"vbat"}, false},
                      VbatCase{{u"VB", u"AT"}, false}, VbatCase{{u"VBA", u"T"}, false},
                      VbatCase{{u"+12V", u"+5V"}, false}));

TEST_F(DescriptionTest, VbatMonitorIsNeverCleared)
{
    auto& chip = InstallChip(sim::hw::ChipKind::NCT6776, 0x005D, 0x00);
    ext_->VbatMonitor = TRUE;
    SetVoltages({{.name = u"+12V"}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_TRUE(ext_->VbatMonitor);
    EXPECT_EQ(chip.HwmOperationCount(), 0u) << "no VBAT channel: the chip is not touched";
}

TEST_F(DescriptionTest, ChipWithoutVbatControlStillRecordsTheChannel)
{
    auto& chip = InstallChip(sim::hw::ChipKind::W83627HF, 0x005D, 0x00);
    ext_->ChipType = CHIP_W83627HF;
    SetVoltages({{.name = u"VBAT"}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_TRUE(ext_->VbatMonitor);
    EXPECT_EQ(chip.HwmOperationCount(), 0u);
}

// ---- names that do not fit
// -------------------------------------------------------------------------

TEST_F(DescriptionTest, ListCutAtTheLastChannelThatFits)
{
    auto& chip = InstallChip(sim::hw::ChipKind::NCT6776, 0x005D, 0x40);
    // 17 characters and a space each: three fit (54 units), a fourth would need 72 + NUL.
    SetVoltages({{.name = u"Voltage Channel 1"},
                 {.name = u"Voltage Channel 2"},
                 {.name = u"Voltage Channel 3"},
                 {.name = u"Voltage Channel 4"},
                 {.name = u"VBAT"}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    const std::u16string list =
        ListText({u"Voltage Channel 1", u"Voltage Channel 2", u"Voltage Channel 3"});
    EXPECT_EQ(VoltageListBytes(), TextBytes(list, 128));
    EXPECT_EQ(Published("VoltageList")->data, TextBytes(list, 2 * (list.size() + 1)));
    // Battery monitoring follows what is published: the VBAT channel was cut off.
    EXPECT_FALSE(ext_->VbatMonitor);
    EXPECT_EQ(chip.HwmOperationCount(), 0u);
    EXPECT_EQ(BlockBytes(), ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", list, {}));
}

TEST_F(DescriptionTest, ListFillingAllSixtyFourUnits)
{
    // Seven names of eight characters, each with its space: 63 units and the NUL.
    std::vector<std::u16string> names;
    std::vector<ChannelRecord> records;
    for (char16_t i = u'1'; i <= u'7'; ++i) {
        names.push_back(std::u16string(u"Channel") + i);
        records.push_back({.name = names.back()});
    }
    SetVoltages(records);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    const std::u16string list = ListText(names);
    ASSERT_EQ(list.size(), 63u);
    EXPECT_EQ(VoltageListBytes(), TextBytes(list, 128));
    EXPECT_EQ(Published("VoltageList")->data.size(), 128u);
    EXPECT_EQ(BlockBytes(), ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", list, {}));
}

TEST_F(DescriptionTest, OneUnitTooManyDropsTheLastName)
{
    std::vector<ChannelRecord> records;
    for (char16_t i = u'1'; i <= u'6'; ++i)
        records.push_back({.name = std::u16string(u"Channel") + i});
    records.push_back({.name = u"Channel7+"});
    SetVoltages(records);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(Published("VoltageList")->data.size(), 2u * (6 * 9 + 1));
    EXPECT_EQ(ext_->VoltageList[6 * 9 - 1], u' ');
    EXPECT_EQ(ext_->VoltageList[6 * 9], 0);
}

TEST_F(DescriptionTest, FirstNameTooLongLeavesAnEmptyList)
{
    SetVoltages({{.name = std::u16string(70, u'x')}, {.name = u"VBAT"}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(VoltageListBytes(), Bytes(128, 0));
    EXPECT_EQ(Published("VoltageList")->data, Bytes(2, 0));
    EXPECT_FALSE(ext_->VbatMonitor);
}

TEST_F(DescriptionTest, NamesWithoutRoomForATerminator)
{
    // NameSize 0 and 1 hold no character; a name filling its whole buffer has no terminator and
    // is read up to the buffer's end only.
    SetVoltages({{.name = u"AB", .nameSize = 0},
                 {.name = u"CD", .nameSize = 1},
                 {.name = u"VBATTERY", .nameSize = 8},
                 {.name = u"EF", .nameSize = 3}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    const std::u16string list = u"  VBAT E ";
    EXPECT_EQ(VoltageListBytes(), TextBytes(list, 128));
    EXPECT_TRUE(ext_->VbatMonitor);
}

TEST_F(DescriptionTest, LongTemperatureNameCutToItsField)
{
    const std::u16string longName = u"Processor Package Temperature Sensor"; // 36 units
    SetTemperatures({{.name = longName, .functionIndex = 0}, {.name = u"Board"}});

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(BlockBytes(), ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", std::nullopt,
                                          {longName.substr(0, 32), u"Board"}));
    EXPECT_EQ(ext_->ChipInfo->Groups[1].u.Temperature.Attribute, 1u);
}

// ---- the info block ----------------------------------------------------------------------------

struct BlockCase {
    std::vector<std::u16string> temperatures;
    uint32_t size;
    std::vector<std::u16string> inBlock;
};

std::ostream& operator<<(std::ostream& out, const BlockCase& c)
{
    return out << c.temperatures.size() << " temperature channels";
}

class InfoBlockTest : public DescriptionTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(InfoBlockTest, BytesForEachTemperatureCount)
{
    const BlockCase& c = GetParam();
    ext_->ChipType = CHIP_W83627DHG;
    SetVoltages({{.name = u"Vcore"}, {.name = u"+12V"}});
    std::vector<ChannelRecord> records;
    for (const auto& name : c.temperatures)
        records.push_back({.name = name, .regIndex = 1});
    if (!records.empty())
        SetTemperatures(records);

    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    ASSERT_NE(ext_->ChipInfo, nullptr);
    EXPECT_EQ(ext_->ChipInfo->Size, c.size);
    EXPECT_EQ(BlockBytes(),
              ExpectedBlock(u"Winbond W83627DHG Hardware Monitor", u"Vcore +12V ", c.inBlock));
    const auto held = sim::pool::Outstanding();
    const auto block = std::find_if(held.begin(), held.end(),
                                    [&](const auto& a) { return a.address == ext_->ChipInfo; });
    ASSERT_NE(block, held.end());
    EXPECT_EQ(sim::pool::TagText(block->tag), "Cinf");
    EXPECT_EQ(block->poolType, NonPagedPool);
    EXPECT_EQ(block->size, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    TemperatureCounts, InfoBlockTest,
    ::testing::Values(BlockCase{{}, 536, {}}, BlockCase{{u"CPU"}, 668, {u"CPU"}},
                      BlockCase{{u"CPU", u"System", u"Aux"}, 800, {u"CPU", u"System"}}));

TEST_F(DescriptionTest, FlagsWithoutChannelsAddNoRecord)
{
    ext_->HasTemp1 = 1;
    ext_->HasTemp2 = 1;
    EXPECT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);
    EXPECT_EQ(ext_->ChipInfo->Size, 536u);

    SetTemperatures({{.name = u"CPU"}});
    ext_->HasTemp2 = 1;
    EXPECT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);
    EXPECT_EQ(BlockBytes(),
              ExpectedBlock(u"Nuvoton NCT6776 Hardware Monitor", std::nullopt, {u"CPU"}));
}

TEST_F(DescriptionTest, SecondBuildReplacesTheBlock)
{
    SetTemperatures({{.name = u"CPU"}});
    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);
    ASSERT_EQ(ext_->ChipInfo->Size, 668u);

    FreeChannelList(&ext_->TempChannels);
    ext_->HasTemp1 = ext_->HasTemp2 = 0;
    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_EQ(ext_->ChipInfo->Size, 536u);
    EXPECT_EQ(sim::pool::OutstandingCount("Cinf"), 1u) << "the first block is freed";
}

TEST_F(DescriptionTest, BlockAllocationFailureKeepsWhatWasPublished)
{
    auto& chip = InstallChip(sim::hw::ChipKind::NCT6776, 0x005D, 0x40);
    SetVoltages({{.name = u"VBAT"}});
    sim::pool::FailTag("Cinf");

    EXPECT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(ext_->ChipInfo, nullptr);
    EXPECT_TRUE(ext_->VbatMonitor);
    EXPECT_EQ(chip.Register(0x005D), 0x41);
    EXPECT_EQ(Published("ChipDesc")->data.size(), 256u);
    EXPECT_EQ(Published("VoltageList")->data, TextBytes(u"VBAT ", 12));

    // A block from an earlier start is not left behind either.
    sim::pool::ClearFaults();
    ASSERT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);
    sim::pool::FailTag("Cinf");
    EXPECT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext_->ChipInfo, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount("Cinf"), 0u);
}

TEST_F(DescriptionTest, FailedRegistryWritesDoNotStopTheBuild)
{
    sim::registry::FailWrite(kServiceKey, "ChipDesc", STATUS_ACCESS_DENIED);
    SetVoltages({{.name = u"+5V"}});

    EXPECT_EQ(BuildDescriptionBlock(ext_.get()), STATUS_SUCCESS);

    EXPECT_FALSE(Published("ChipDesc"));
    EXPECT_EQ(Published("VoltageList")->data, TextBytes(u"+5V ", 10));
    EXPECT_NE(ext_->ChipInfo, nullptr);
}

TEST_F(DescriptionTest, NullExtension)
{
    EXPECT_EQ(BuildDescriptionBlock(nullptr), STATUS_INVALID_PARAMETER);
}

} // namespace

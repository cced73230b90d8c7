// The seven device-control codes through the simulated user-mode path: reply lengths and
// layouts, statuses, malformed input, too-short outputs (which read no sensor), the overflow
// replies that report the size needed, the access check of the two write-access codes, and
// requests after removal has begun.
#include <algorithm>
#include <string>
#include <vector>
#include <ostream>
#include <gtest/gtest.h>

#include "control_fixture.hpp"

#include "control/control.h"

using namespace kwo::test;
using sim::io::IoctlResult;

namespace {

constexpr uint8_t kUntouched = sim::io::kCallerBufferFill;

bool UntouchedFrom(const IoctlResult& r, size_t offset)
{
    return std::all_of(r.output.begin() + offset, r.output.end(),
                       [](uint8_t b) { return b == kUntouched; });
}

// ---- temperatures -------------------------------------------------------------------------

TEST_F(ControlTest, TemperatureReplyIsZeroThenTheFirstTwoChannels)
{
    auto h = dev->Open();
    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_TEMPERATURES, {}, 16);

    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 12u);
    EXPECT_EQ(I32(r.output, 0), 0);
    EXPECT_EQ(I32(r.output, 4), kTemp0);
    EXPECT_EQ(I32(r.output, 8), kTemp1);
    EXPECT_TRUE(UntouchedFrom(r, 12));
}

TEST_F(ControlTest, TemperatureReplyOnNct5523UsesItsVariant)
{
    dev.reset();
    dev.emplace(sim::hw::ChipKind::NCT5523D);
    dev->Chip().SetWord(0x0010, 0x1E00);
    sim::hw::Current().pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    sim::hw::Current().pci.SetConfigDword(0, 0x18, 3, 0xA4, 0x2D800000);
    dev->SetTemperatures(
        BuildChannelList(SENSOR_KIND_TEMPERATURE, {{.functionIndex = 1}, {.functionIndex = 1}}));
    auto h = dev->Open();

    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_TEMPERATURES, {}, 12);

    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(I32(r.output, 4), 455); // first channel: the northbridge
    EXPECT_EQ(I32(r.output, 8), 300); // second channel: register entry 0, never a source
    EXPECT_EQ(sim::hw::Current().pci.TotalReadCount(), 1u);
}

// ---- voltages -----------------------------------------------------------------------------

struct VoltageLengthCase {
    const char* name;
    ULONG channels;     // voltage channels configured (0: no list)
    ULONG outputLength; // caller's buffer
    ULONG expected;     // bytes returned
};

void PrintTo(const VoltageLengthCase& c, std::ostream* os)
{
    *os << c.name;
}

class VoltageLengthTest : public ControlTest,
                          public ::testing::WithParamInterface<VoltageLengthCase> {};

TEST_P(VoltageLengthTest, ReplyLength)
{
    const VoltageLengthCase& c = GetParam();
    for (USHORT i = 0; i < 7; ++i)
        dev->Chip().SetRegister(static_cast<USHORT>(0x0020 + i), static_cast<uint8_t>(10 + i));
    dev->SetVoltages(c.channels ? BuildNumberedList(SENSOR_KIND_VOLTAGE, c.channels, 9, u"V")
                                : nullptr);
    auto h = dev->Open();

    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, c.outputLength);

    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, c.expected);
    const DEVICE_EXTENSION& ext = dev->Ext();
    EXPECT_EQ(0, std::memcmp(r.output.data(), ext.Voltages, c.expected));
    EXPECT_TRUE(UntouchedFrom(r, c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, VoltageLengthTest,
    ::testing::Values(VoltageLengthCase{"Exactly20WithThree", 3, 20, 20},
                      VoltageLengthCase{"Exactly20WithNine", 9, 20, 20},
                      VoltageLengthCase{"Exactly20WithNone", 0, 20, 20},
                      VoltageLengthCase{"TwentyFourWithThree", 3, 24, 12},
                      VoltageLengthCase{"TwentyTwoWithNineCutsTheSixth", 9, 22, 22},
                      VoltageLengthCase{"TwentyFourWithNone", 0, 24, 0},
                      VoltageLengthCase{"LargeWithNine", 9, 100, 36},
                      VoltageLengthCase{"LargeWithTwelveIsBoundedToNine", 12, 100, 36},
                      VoltageLengthCase{"TwentyOneWithSix", 6, 21, 21}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlTest, VoltageReplyCarriesFreshReadings)
{
    auto h = dev->Open();
    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, 20);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(U32(r.output, 0), kVolt0);
    EXPECT_EQ(U32(r.output, 4), kVolt1);
    EXPECT_EQ(U32(r.output, 8), kVolt2);
    EXPECT_EQ(U32(r.output, 12), 0u);
    EXPECT_EQ(U32(r.output, 16), 0u);

    dev->Chip().SetRegister(0x0021, 250);
    r = h.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, 20);
    EXPECT_EQ(U32(r.output, 4), 200u);
}

// ---- chip description and info ------------------------------------------------------------

TEST_F(ControlTest, ChipDescriptionIsDescriptionAndVoltageList)
{
    auto h = dev->Open();
    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHIP_DESC, {}, 400);

    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 384u);
    const DEVICE_EXTENSION& ext = dev->Ext();
    EXPECT_EQ(0, std::memcmp(r.output.data(), ext.ChipDesc, 256));
    EXPECT_EQ(0, std::memcmp(r.output.data() + 256, ext.VoltageList, 128));
    EXPECT_TRUE(UntouchedFrom(r, 384));
}

TEST_F(ControlTest, ChipInfoIsTheBlockAsStored)
{
    auto h = dev->Open();
    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, 1000);

    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 800u);
    const std::vector<uint8_t> block = dev->ChipInfoBytes();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), r.output.begin()));
    EXPECT_TRUE(UntouchedFrom(r, 800));

    dev->SetChipInfo(0);
    r = h.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, 536);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 536u);
}

TEST_F(ControlTest, ChipInfoWithoutBlockIsNotReady)
{
    dev->DropChipInfo();
    auto h = dev->Open();

    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, 1000);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(UntouchedFrom(r, 0));

    // The absent-buffer check still comes first.
    r = h.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, 0);
    EXPECT_EQ(r.status, STATUS_BUFFER_ALL_ZEROS);
    EXPECT_EQ(r.information, 0u);
}

// ---- fans ---------------------------------------------------------------------------------

TEST_F(ControlTest, FanReplyIsAlwaysFiveSlots)
{
    auto h = dev->Open(sim::io::kGenericRead); // an any-access code
    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 32);

    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 20u);
    EXPECT_EQ(U32(r.output, 0), kFan0);
    EXPECT_EQ(U32(r.output, 4), kFan1);
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(U32(r.output, 4 * i), 0u);
    EXPECT_TRUE(UntouchedFrom(r, 20));
}

// ---- short outputs and malformed input: table --------------------------------------------

struct ShortCase {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
    NTSTATUS status;
    ULONG information;
    std::optional<uint32_t> sizeReported; // first four bytes of the reply
};

void PrintTo(const ShortCase& c, std::ostream* os)
{
    *os << c.name;
}

class ShortOrMalformedTest : public ControlTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortOrMalformedTest, ReadsNoSensor)
{
    const ShortCase& c = GetParam();
    auto h = dev->Open();
    const uint64_t before = PortOps();
    const uint64_t pciBefore = sim::hw::Current().pci.TotalReadCount();

    IoctlResult r = h.DeviceIoControl(c.code, c.input, c.outputLength);

    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    if (c.sizeReported) {
        ASSERT_GE(r.output.size(), 4u);
        EXPECT_EQ(U32(r.output, 0), *c.sizeReported);
        EXPECT_TRUE(UntouchedFrom(r, 4));
    } else {
        EXPECT_TRUE(UntouchedFrom(r, 0));
    }
    EXPECT_EQ(PortOps(), before) << "a sensor was read";
    EXPECT_EQ(sim::hw::Current().pci.TotalReadCount(), pciBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShortOrMalformedTest,
    ::testing::Values(
        ShortCase{"Temperatures11", IOCTL_HWM_GET_TEMPERATURES, {}, 11, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"Temperatures0", IOCTL_HWM_GET_TEMPERATURES, {}, 0, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"Voltages19", IOCTL_HWM_GET_VOLTAGES, {}, 19, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"Fans10", IOCTL_HWM_GET_FANS, {}, 10, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"ChipDesc383", IOCTL_HWM_GET_CHIP_DESC, {}, 383, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"ChipInfoNoBuffer", IOCTL_HWM_GET_CHIP_INFO, {}, 0, STATUS_BUFFER_ALL_ZEROS, 0},
        ShortCase{"ChipInfo4", IOCTL_HWM_GET_CHIP_INFO, {}, 4, STATUS_BUFFER_OVERFLOW, 4, 800},
        ShortCase{"ChipInfo799", IOCTL_HWM_GET_CHIP_INFO, {}, 799, STATUS_BUFFER_OVERFLOW, 4, 800},
        ShortCase{"ChipInfo3", IOCTL_HWM_GET_CHIP_INFO, {}, 3, STATUS_BUFFER_OVERFLOW, 0},
        ShortCase{"ChipInfoInputOnly",
                  IOCTL_HWM_GET_CHIP_INFO,
                  {1, 2, 3, 4, 5, 6, 7, 8},
                  0,
                  STATUS_BUFFER_OVERFLOW,
                  0},
        ShortCase{"NamesInput8",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {1, 0, 0, 0, 0, 0, 0, 0},
                  1000,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"NamesInput3",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {1, 0, 0},
                  1000,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{
            "NamesNoInput", IOCTL_HWM_GET_CHANNEL_NAMES, {}, 1000, STATUS_INVALID_PARAMETER, 0},
        ShortCase{"ValuesInput5",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {1, 0, 0, 0, 0},
                  100,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"NamesSelector0",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {0, 0, 0, 0},
                  1000,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"NamesSelector6",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {6, 0, 0, 0},
                  1000,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"ValuesSelector0",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {0, 0, 0, 0},
                  100,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"ValuesSelector6",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {6, 0, 0, 0},
                  100,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"ValuesSelectorHuge",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {0, 0, 0, 0x80},
                  100,
                  STATUS_INVALID_PARAMETER,
                  0},
        // Names of the three voltages need 192 bytes; values of the three temperatures 12.
        ShortCase{"NamesShort",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {1, 0, 0, 0},
                  191,
                  STATUS_BUFFER_OVERFLOW,
                  4,
                  192},
        ShortCase{"NamesShortFour",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {4, 0, 0, 0},
                  4,
                  STATUS_BUFFER_OVERFLOW,
                  4,
                  192},
        ShortCase{"NamesOutputBelowFour",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {1, 0, 0, 0},
                  3,
                  STATUS_BUFFER_OVERFLOW,
                  0},
        ShortCase{"NamesNoOutput",
                  IOCTL_HWM_GET_CHANNEL_NAMES,
                  {1, 0, 0, 0},
                  0,
                  STATUS_BUFFER_OVERFLOW,
                  0},
        ShortCase{"ValuesShort",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {4, 0, 0, 0},
                  11,
                  STATUS_BUFFER_OVERFLOW,
                  4,
                  12},
        ShortCase{"ValuesShortFans",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {5, 0, 0, 0},
                  7,
                  STATUS_BUFFER_OVERFLOW,
                  4,
                  8},
        ShortCase{"ValuesNoOutput",
                  IOCTL_HWM_GET_CHANNEL_VALUES,
                  {1, 0, 0, 0},
                  0,
                  STATUS_BUFFER_OVERFLOW,
                  0},
        ShortCase{"UnknownCode",
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS),
                  {},
                  64,
                  STATUS_INVALID_PARAMETER,
                  0},
        ShortCase{"UnknownCodeNoBuffers", 0x00220000, {}, 0, STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- names and values ---------------------------------------------------------------------

TEST_F(ControlTest, NamesOfEachSelector)
{
    auto h = dev->Open();
    struct Expect {
        uint32_t selector;
        std::vector<std::u16string> names;
    };
    const Expect table[] = {
        {HWM_SELECT_VOLTAGES, {u"VCore", u"VIN1", u"VBAT"}},
        {HWM_SELECT_TEMPERATURE1, {u"CPU Temp"}},
        {HWM_SELECT_TEMPERATURE2, {u"System"}},
        {HWM_SELECT_TEMPERATURES, {u"CPU Temp", u"System", u"Aux"}},
        {HWM_SELECT_FANS, {u"CPU Fan", u"SYS Fan"}},
    };
    for (const Expect& e : table) {
        const uint64_t before = PortOps();
        IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_NAMES, Selector(e.selector), 1024);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "selector " << e.selector;
        ASSERT_EQ(r.information, 64u * e.names.size()) << "selector " << e.selector;
        for (size_t i = 0; i < e.names.size(); ++i) {
            EXPECT_TRUE(SlotText(r.output, i) == e.names[i]) << "selector " << e.selector;
            // Zero padding after the text, up to the slot's end.
            for (size_t b = 2 * e.names[i].size(); b < 64; ++b)
                EXPECT_EQ(r.output[64 * i + b], 0) << "selector " << e.selector << " slot " << i;
        }
        EXPECT_TRUE(UntouchedFrom(r, 64 * e.names.size()));
        EXPECT_EQ(PortOps(), before) << "the names request read a sensor";
    }
}

TEST_F(ControlTest, LongNameFillsItsSlotWithoutTerminator)
{
    const std::u16string longName(40, u'x');
    dev->SetFans(BuildChannelList(SENSOR_KIND_FAN, {{.name = longName}, {.name = u"B"}}));
    auto h = dev->Open();

    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_NAMES, Selector(5), 128);

    ASSERT_EQ(r.information, 128u);
    EXPECT_TRUE(SlotText(r.output, 0) == std::u16string(32, u'x'));
    EXPECT_TRUE(SlotText(r.output, 1) == u"B");
}

TEST_F(ControlTest, EmptyGroupsAreInvalid)
{
    dev->SetTemperatures(BuildChannelList(SENSOR_KIND_TEMPERATURE, {{.name = u"Only"}}));
    dev->SetFans(nullptr);
    auto h = dev->Open();

    for (ULONG code : {IOCTL_HWM_GET_CHANNEL_NAMES, IOCTL_HWM_GET_CHANNEL_VALUES}) {
        IoctlResult r = h.DeviceIoControl(code, Selector(HWM_SELECT_TEMPERATURE2), 64);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, 0u);
        r = h.DeviceIoControl(code, Selector(HWM_SELECT_FANS), 64);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, 0u);
    }
}

TEST_F(ControlTest, ValuesOfEachSelector)
{
    auto h = dev->Open();
    struct Expect {
        uint32_t selector;
        std::vector<uint32_t> values;
    };
    const Expect table[] = {
        {HWM_SELECT_VOLTAGES, {kVolt0, kVolt1, kVolt2}},
        {HWM_SELECT_TEMPERATURE1, {static_cast<uint32_t>(kTemp0)}},
        {HWM_SELECT_TEMPERATURE2, {static_cast<uint32_t>(kTemp1)}},
        {HWM_SELECT_TEMPERATURES,
         {static_cast<uint32_t>(kTemp0), static_cast<uint32_t>(kTemp1), 0}},
        {HWM_SELECT_FANS, {kFan0, kFan1}},
    };
    for (const Expect& e : table) {
        IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, Selector(e.selector), 64);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "selector " << e.selector;
        ASSERT_EQ(r.information, 4u * e.values.size()) << "selector " << e.selector;
        for (size_t i = 0; i < e.values.size(); ++i)
            EXPECT_EQ(U32(r.output, 4 * i), e.values[i]) << "selector " << e.selector;
        EXPECT_TRUE(UntouchedFrom(r, 4 * e.values.size()));
    }
}

TEST_F(ControlTest, ValuesReadOnlyTheirGroup)
{
    auto h = dev->Open();
    sim::hw::SuperIo& chip = dev->Chip();
    chip.ClearRecords();

    h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, Selector(HWM_SELECT_FANS), 8);

    EXPECT_EQ(chip.HwmReadCount(0x0656), 1u);
    EXPECT_EQ(chip.HwmReadCount(0x0020), 0u);
    EXPECT_EQ(chip.HwmReadCount(0x0073), 0u);
}

TEST_F(ControlTest, CountsBeyondTheArraysAreBoundedForNamesAndValuesAlike)
{
    dev->SetVoltages(BuildNumberedList(SENSOR_KIND_VOLTAGE, 12, 9, u"Volt"));
    dev->SetTemperatures(BuildNumberedList(SENSOR_KIND_TEMPERATURE, 5, 9, u"Temp"));
    dev->SetFans(BuildNumberedList(SENSOR_KIND_FAN, 8, 5, u"Fan"));
    auto h = dev->Open();

    const struct {
        uint32_t selector;
        ULONG room;
    } groups[] = {{HWM_SELECT_VOLTAGES, 9}, {HWM_SELECT_TEMPERATURES, 3}, {HWM_SELECT_FANS, 5}};
    for (const auto& g : groups) {
        IoctlResult names =
            h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_NAMES, Selector(g.selector), 2048);
        IoctlResult values =
            h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, Selector(g.selector), 256);
        EXPECT_EQ(names.status, STATUS_SUCCESS);
        EXPECT_EQ(values.status, STATUS_SUCCESS);
        EXPECT_EQ(names.information, 64u * g.room) << "selector " << g.selector;
        EXPECT_EQ(values.information, 4u * g.room) << "selector " << g.selector;
    }
    // The size reported for a short buffer is the bounded one too.
    IoctlResult r =
        h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_NAMES, Selector(HWM_SELECT_VOLTAGES), 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U32(r.output, 0), 9u * 64u);
}

// ---- access check and lifetime -------------------------------------------------------------

TEST_F(ControlTest, WriteAccessCodesNeedAWritableHandle)
{
    auto readOnly = dev->Open(sim::io::kGenericRead);
    const uint64_t before = PortOps();

    for (ULONG code : {IOCTL_HWM_GET_TEMPERATURES, IOCTL_HWM_GET_VOLTAGES}) {
        IoctlResult r = readOnly.DeviceIoControl(code, {}, 64);
        EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(UntouchedFrom(r, 0));
    }
    EXPECT_EQ(PortOps(), before) << "a refused request reached the driver";

    // The any-access codes work on the same handle.
    for (ULONG code : {IOCTL_HWM_GET_FANS, IOCTL_HWM_GET_CHIP_DESC, IOCTL_HWM_GET_CHIP_INFO})
        EXPECT_EQ(readOnly.DeviceIoControl(code, {}, 1024).status, STATUS_SUCCESS);
    EXPECT_EQ(readOnly.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, Selector(1), 64).status,
              STATUS_SUCCESS);

    auto writable = dev->Open(sim::io::kFileWriteData);
    EXPECT_EQ(writable.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, 20).status, STATUS_SUCCESS);
}

TEST_F(ControlTest, RequestsAfterRemovalBeganAreRefusedUntouched)
{
    auto h = dev->Open();
    DEVICE_EXTENSION& ext = dev->Ext();
    ASSERT_EQ(IoAcquireRemoveLock(&ext.RemoveLock, &ext), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ext.RemoveLock, &ext);
    const uint64_t before = PortOps();

    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, 20);

    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(PortOps(), before);
}

TEST_F(ControlTest, CreateAndCloseSucceed)
{
    sim::io::OpenResult open = sim::io::OpenDevice(u"\\Device\\KwoTarv", sim::io::kGenericRead);
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(open.handle.Close(), STATUS_SUCCESS);
}

} // namespace

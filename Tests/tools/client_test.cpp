// The tool's client side against a scripted device: the size protocol of the names, values and
// info requests, empty groups, failures that must not spoil the output, and the decoding of
// replies (info block, fan speeds, text).
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "commands.hpp"
#include "hwm_client.hpp"
#include "info_block.hpp"
#include "kwotarv_public.h"
#include "report.hpp"
#include "text.hpp"

namespace {

using namespace kwotarv;

std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> Utf16Slot(const std::string& ascii, size_t slot)
{
    std::vector<uint8_t> bytes(slot, 0);
    for (size_t i = 0; i < ascii.size() && 2 * i + 1 < slot; ++i)
        bytes[2 * i] = static_cast<uint8_t>(ascii[i]);
    return bytes;
}

// A device that answers the names and values requests per selector the way the driver's
// protocol says: a too-short buffer gets STATUS_BUFFER_OVERFLOW with the size needed in the
// first four bytes; an empty group STATUS_INVALID_PARAMETER.
class ScriptedDevice : public Device {
  public:
    std::map<uint32_t, std::vector<std::string>> names;
    std::map<uint32_t, std::vector<uint32_t>> values;
    std::map<uint32_t, uint32_t> failing; // code -> status to fail every request with
    std::string description = "Nuvoton NCT6776 Hardware Monitor";
    std::vector<uint8_t> chipInfo;
    struct Call {
        uint32_t code;
        uint32_t selector;
        uint32_t outputLength;
    };
    std::vector<Call> calls;

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        const uint32_t selector = input.size() == 4 ? ReadLe32(input, 0) : 0;
        calls.push_back({code, selector, outputLength});
        if (auto f = failing.find(code); f != failing.end())
            return {f->second, 0, {}};
        std::vector<uint8_t> reply;
        switch (code) {
        case IOCTL_HWM_GET_CHIP_DESC: {
            reply = Utf16Slot(description, 256);
            auto list = Utf16Slot("VCORE ", 128);
            reply.insert(reply.end(), list.begin(), list.end());
            break;
        }
        case IOCTL_HWM_GET_CHIP_INFO:
            reply = chipInfo;
            break;
        case IOCTL_HWM_GET_CHANNEL_NAMES:
            if (names[selector].empty())
                return {kStatusInvalidParameter, 0, {}};
            for (const auto& name : names[selector]) {
                auto slot = Utf16Slot(name, 64);
                reply.insert(reply.end(), slot.begin(), slot.end());
            }
            break;
        case IOCTL_HWM_GET_CHANNEL_VALUES:
            if (values[selector].empty())
                return {kStatusInvalidParameter, 0, {}};
            for (uint32_t v : values[selector]) {
                auto bytes = Le32(v);
                reply.insert(reply.end(), bytes.begin(), bytes.end());
            }
            break;
        default:
            return {kStatusInvalidParameter, 0, {}};
        }
        if (outputLength < reply.size()) {
            if (outputLength < 4)
                return {kStatusBufferOverflow, 0, {}};
            return {kStatusBufferOverflow, 4, Le32(static_cast<uint32_t>(reply.size()))};
        }
        return {kStatusSuccess, reply.size(), reply};
    }
};

TEST(HwmClient, NamesAndValuesAreFetchedWithAProbeFirst)
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE", "+12V"};
    device.values[HWM_SELECT_VOLTAGES] = {100, 1209};
    HwmClient client(device);
    EXPECT_EQ(client.GetChannelNames(HWM_SELECT_VOLTAGES),
              (std::vector<std::string>{"VCORE", "+12V"}));
    EXPECT_EQ(client.GetChannelValues(HWM_SELECT_VOLTAGES), (std::vector<uint32_t>{100, 1209}));
    ASSERT_EQ(device.calls.size(), 4u);
    EXPECT_EQ(device.calls[0].outputLength, 4u);   // probe
    EXPECT_EQ(device.calls[1].outputLength, 128u); // two names
    EXPECT_EQ(device.calls[2].outputLength, 4u);   // probe
    EXPECT_EQ(device.calls[3].outputLength, 8u);   // two values
}

TEST(HwmClient, OneValueFitsTheProbe)
{
    ScriptedDevice device;
    device.values[HWM_SELECT_FANS] = {2580};
    HwmClient client(device);
    EXPECT_EQ(client.GetChannelValues(HWM_SELECT_FANS), (std::vector<uint32_t>{2580}));
    EXPECT_EQ(device.calls.size(), 1u);
}

TEST(HwmClient, EmptyGroupIsNotAFailure)
{
    ScriptedDevice device;
    HwmClient client(device);
    EXPECT_TRUE(client.GetChannelNames(HWM_SELECT_FANS).empty());
    Readings readings = client.ReadAll();
    EXPECT_TRUE(readings.errors.empty());
    EXPECT_TRUE(readings.fans.empty());
}

TEST(HwmClient, OverflowWithoutTheSizeIsAProtocolError)
{
    // A driver that answers the probe with STATUS_BUFFER_OVERFLOW but no size.
    class NoSize : public Device {
      public:
        Reply Control(uint32_t, std::span<const uint8_t>, uint32_t) override
        {
            return {kStatusBufferOverflow, 0, {}};
        }
    } device;
    HwmClient client(device);
    EXPECT_THROW(client.GetChipInfo(), RequestError);
}

TEST(HwmClient, ImplausibleSizeIsRefused)
{
    class Huge : public Device {
      public:
        Reply Control(uint32_t, std::span<const uint8_t>, uint32_t) override
        {
            return {kStatusBufferOverflow, 4, Le32(0x7FFFFFFF)};
        }
    } device;
    HwmClient client(device);
    try {
        client.GetChannelNames(HWM_SELECT_VOLTAGES);
        FAIL() << "accepted a 2 GiB reply";
    } catch (const RequestError& error) {
        EXPECT_NE(std::string(error.what()).find("implausible"), std::string::npos);
    }
}

TEST(HwmClient, FailedGroupIsReportedAndTheOthersStillRead)
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE"};
    device.values[HWM_SELECT_VOLTAGES] = {100};
    device.names[HWM_SELECT_FANS] = {"CPU Fan"};
    device.values[HWM_SELECT_FANS] = {0x1C04};
    device.failing[IOCTL_HWM_GET_CHIP_DESC] = 0xC0000056; // STATUS_DELETE_PENDING
    Readings readings = HwmClient(device).ReadAll();
    ASSERT_EQ(readings.errors.size(), 1u);
    EXPECT_NE(readings.errors[0].find("IOCTL_HWM_GET_CHIP_DESC failed with 0xC0000056 "
                                      "STATUS_DELETE_PENDING"),
              std::string::npos)
        << readings.errors[0];
    EXPECT_FALSE(readings.description.has_value());
    ASSERT_EQ(readings.voltages.size(), 1u);
    ASSERT_EQ(readings.fans.size(), 1u);
    // Without the description the chip is unknown, so the count is not turned into a speed.
    EXPECT_FALSE(readings.fans[0].rpm.has_value());

    const auto json = ReadingsJson(readings);
    EXPECT_TRUE(json["description"].is_null());
    EXPECT_EQ(json["errors"].size(), 1u);
    EXPECT_EQ(json["voltages"][0]["volts"], 1.0);
}

TEST(HwmClient, MismatchedNameAndValueCountsAreReported)
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE", "+12V"};
    device.values[HWM_SELECT_VOLTAGES] = {100};
    Readings readings = HwmClient(device).ReadAll();
    ASSERT_EQ(readings.errors.size(), 1u);
    EXPECT_NE(readings.errors[0].find("2 voltages names but 1 values"), std::string::npos);
    EXPECT_EQ(readings.voltages.size(), 1u);
}

TEST(HwmClient, TemperaturesAfterTheSecondAreNotReadings)
{
    ScriptedDevice device;
    device.names[HWM_SELECT_TEMPERATURES] = {"CPU", "System", "Aux"};
    device.values[HWM_SELECT_TEMPERATURES] = {450, static_cast<uint32_t>(-5), 0};
    Readings readings = HwmClient(device).ReadAll();
    ASSERT_EQ(readings.temperatures.size(), 3u);
    EXPECT_EQ(readings.temperatures[0].tenths, 450);
    EXPECT_EQ(readings.temperatures[1].tenths, -5);
    EXPECT_FALSE(readings.temperatures[2].tenths.has_value());
}

// ---- the read loop ---------------------------------------------------------------------------

ScriptedDevice OneVoltage()
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE"};
    device.values[HWM_SELECT_VOLTAGES] = {112};
    return device;
}

TEST(ReadLoop, TerminalRedrawMovesBackOverThePreviousReading)
{
    ScriptedDevice device = OneVoltage();
    ReadOptions options;
    options.count = 3;
    options.terminal = true;
    std::ostringstream out, err;
    EXPECT_EQ(RunRead(device, options, out, err), kExitSuccess);
    const std::string text = out.str();
    const size_t first = text.find("\x1b[");
    ASSERT_NE(first, std::string::npos);
    const auto lines = std::count(text.begin(), text.begin() + first, '\n');
    // Up as many lines as the reading took, back to column 0, clear to the end of the screen.
    const std::string back = "\x1b[" + std::to_string(lines) + "A\r\x1b[J";
    EXPECT_EQ(text.substr(first, back.size()), back);
    EXPECT_NE(text.find(back + "Reading 2 of 3\n"), std::string::npos);
    EXPECT_NE(text.find(back + "Reading 3 of 3\n"), std::string::npos);
    EXPECT_EQ(err.str(), "");
}

ScriptedDevice ThreeGroups()
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE", "+12V"};
    device.values[HWM_SELECT_VOLTAGES] = {112, 1200};
    device.names[HWM_SELECT_TEMPERATURES] = {"CPU", "System", "Aux"};
    device.values[HWM_SELECT_TEMPERATURES] = {455, 301, 0};
    device.names[HWM_SELECT_FANS] = {"CPU fan"};
    device.values[HWM_SELECT_FANS] = {0x1234};
    return device;
}

// The calls a reading made since `from`, counted by code.
std::map<uint32_t, size_t> CallsSince(const ScriptedDevice& device, size_t from)
{
    std::map<uint32_t, size_t> counts;
    for (size_t i = from; i < device.calls.size(); ++i)
        ++counts[device.calls[i].code];
    return counts;
}

// --watch: the first reading learns the description, names and reply sizes (12 requests: the
// one fan's value fits the probe); every later one sends one values request per group, of exactly the size learnt.
TEST(ReadLoop, RepeatedReadingsSendOnlyTheValuesRequests)
{
    ScriptedDevice device = ThreeGroups();
    HwmClient client(device);
    const Readings first = client.ReadAll();
    EXPECT_TRUE(first.errors.empty());
    EXPECT_EQ(device.calls.size(), 1u + 4 + 4 + 3);

    for (int tick = 0; tick < 3; ++tick) {
        const size_t before = device.calls.size();
        device.values[HWM_SELECT_VOLTAGES][0] = 113 + tick;
        const Readings readings = client.ReadAll();
        EXPECT_TRUE(readings.errors.empty());
        EXPECT_EQ(CallsSince(device, before),
                  (std::map<uint32_t, size_t>{{IOCTL_HWM_GET_CHANNEL_VALUES, 3}}));
        for (size_t i = before; i < device.calls.size(); ++i)
            EXPECT_EQ(device.calls[i].outputLength,
                      4 * device.values[device.calls[i].selector].size());
        // The same readings as a fresh client would give.
        ASSERT_EQ(readings.voltages.size(), 2u);
        EXPECT_EQ(readings.voltages[0].hundredths, 113u + tick);
        EXPECT_EQ(readings.voltages[1].name, "+12V");
        EXPECT_EQ(readings.description, first.description);
        ASSERT_EQ(readings.temperatures.size(), 3u);
        EXPECT_EQ(readings.temperatures[2].tenths, std::nullopt);
        ASSERT_EQ(readings.fans.size(), 1u);
        EXPECT_EQ(readings.fans[0].rpm, first.fans[0].rpm);
    }
}

// A failed request means the device may have changed: the reading after it asks for
// everything again, and the one after that is back to the values alone.
TEST(ReadLoop, FailedRequestMakesTheNextReadingLearnAgain)
{
    ScriptedDevice device = ThreeGroups();
    HwmClient client(device);
    client.ReadAll();

    device.failing[IOCTL_HWM_GET_CHANNEL_VALUES] = 0xC0000001;
    size_t before = device.calls.size();
    EXPECT_EQ(client.ReadAll().errors.size(), 3u);
    EXPECT_EQ(device.calls.size() - before, 3u);

    // The board now has a second fan.
    device.failing.clear();
    device.names[HWM_SELECT_FANS].push_back("Case fan");
    device.values[HWM_SELECT_FANS].push_back(0x2000);
    before = device.calls.size();
    const Readings relearnt = client.ReadAll();
    EXPECT_TRUE(relearnt.errors.empty());
    EXPECT_EQ(relearnt.fans.size(), 2u);
    EXPECT_EQ(device.calls.size() - before, 1u + 3 * 4);

    before = device.calls.size();
    EXPECT_EQ(client.ReadAll().fans.size(), 2u);
    EXPECT_EQ(device.calls.size() - before, 3u);
}

// A first reading with a failure keeps nothing: each reading asks for everything until one
// succeeds.
TEST(ReadLoop, ReadingWithAFailureIsNotKept)
{
    ScriptedDevice device = ThreeGroups();
    device.failing[IOCTL_HWM_GET_CHIP_DESC] = 0xC0000001;
    HwmClient client(device);
    client.ReadAll();
    size_t before = device.calls.size();
    EXPECT_EQ(client.ReadAll().errors.size(), 1u);
    EXPECT_EQ(device.calls.size() - before, 1u + 4 + 4 + 3);
}

TEST(ReadLoop, FailedRequestGivesExitOneAndStillValidJson)
{
    ScriptedDevice device = OneVoltage();
    device.failing[IOCTL_HWM_GET_CHANNEL_VALUES] = 0xC0000001;
    ReadOptions options;
    options.json = true;
    std::ostringstream out, err;
    EXPECT_EQ(RunRead(device, options, out, err), kExitFailure);
    const auto json = nlohmann::json::parse(out.str());
    EXPECT_TRUE(json["voltages"].empty());
    EXPECT_EQ(json["errors"].size(), 1u);
    EXPECT_NE(err.str().find("IOCTL_HWM_GET_CHANNEL_VALUES (voltages) failed with 0xC0000001 "
                             "STATUS_UNSUCCESSFUL"),
              std::string::npos)
        << err.str();
}

TEST(ReadLoop, InfoWithAFailingBlockRequestStillPrintsTheRest)
{
    class NoRegistry : public Backend {
      public:
        Device& Open() override { throw ToolError("unused", kExitFailure); }
        std::optional<std::vector<PublishedValue>> PublishedValues() override
        {
            return std::nullopt;
        }
        bool Finish(std::ostream&) override { return true; }
    } backend;
    ScriptedDevice device = OneVoltage();
    device.failing[IOCTL_HWM_GET_CHIP_INFO] = 0xC0000010;
    std::ostringstream out, err;
    EXPECT_EQ(RunInfo(device, backend, true, out, err), kExitFailure);
    const auto json = nlohmann::json::parse(out.str());
    EXPECT_EQ(json["description"], "Nuvoton NCT6776 Hardware Monitor");
    EXPECT_EQ(json["voltage_list"], "VCORE ");
    EXPECT_TRUE(json["info_block"].is_null());
    EXPECT_TRUE(json["registry"].is_null());
}

// ---- fan speeds ---------------------------------------------------------------------------------

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
    EXPECT_EQ(FanRpm(ChipFamily::NCT6776, 0x1C04), 1500u);
    EXPECT_FALSE(FanRpm(ChipFamily::NCT5523D, 0x1C04).has_value());
    EXPECT_FALSE(FanRpm(ChipFamily::W83627HF, 0x1C04).has_value());
    EXPECT_FALSE(FanRpm(ChipFamily::Unknown, 0x1C04).has_value());
    EXPECT_EQ(ChipFromDescription("Nuvoton NCT5523D/6106D Hardware Monitor"), ChipFamily::NCT5523D);
    EXPECT_EQ(ChipFromDescription("Winbond W83627DHG Hardware Monitor"), ChipFamily::W83627DHG);
}

// ---- info block ---------------------------------------------------------------------------------

std::vector<uint8_t> InfoBlockBytes(uint32_t groups, const std::string& voltages,
                                    const std::vector<std::string>& temperatures)
{
    const uint32_t size = 272 + 132 * (groups + 1);
    std::vector<uint8_t> block(size, 0);
    auto put32 = [&](size_t offset, uint32_t v) {
        auto bytes = Le32(v);
        std::copy(bytes.begin(), bytes.end(), block.begin() + offset);
    };
    auto putText = [&](size_t offset, const std::string& text) {
        for (size_t i = 0; i < text.size(); ++i)
            block[offset + 2 * i] = static_cast<uint8_t>(text[i]);
    };
    put32(0, size);
    putText(12, "Winbond W83627HF Hardware Monitor");
    put32(268, groups);
    block[272] = 1;
    putText(276, voltages);
    for (size_t t = 0; t < temperatures.size(); ++t) {
        const size_t record = 272 + 132 * (t + 1);
        block[record] = static_cast<uint8_t>(t + 2);
        putText(record + 4, temperatures[t]);
        put32(record + 68, 1);
    }
    return block;
}

TEST(InfoBlockDecode, ThreeGroups)
{
    InfoBlock decoded = DecodeInfoBlock(InfoBlockBytes(3, "VCORE +12V ", {"CPU", "System"}));
    EXPECT_TRUE(decoded.problems.empty());
    EXPECT_EQ(decoded.size, 800u);
    EXPECT_EQ(decoded.description, "Winbond W83627HF Hardware Monitor");
    ASSERT_EQ(decoded.groups.size(), 3u);
    EXPECT_EQ(decoded.groups[0].names, (std::vector<std::string>{"VCORE", "+12V"}));
    EXPECT_EQ(decoded.groups[1].names, std::vector<std::string>{"CPU"});
    EXPECT_EQ(decoded.groups[1].attribute, 1u);
    EXPECT_EQ(decoded.groups[2].kind, 3);
}

TEST(InfoBlockDecode, LayoutFaultsAreReported)
{
    auto block = InfoBlockBytes(1, "VCORE ", {});
    block[536 - 1] = 0x7F; // the trailing record must be zero
    EXPECT_EQ(DecodeInfoBlock(block).problems.size(), 1u);

    auto wrongSize = InfoBlockBytes(2, "VCORE ", {"CPU"});
    wrongSize[0] = 0x18; // Size 536 for two groups, 668 bytes returned
    wrongSize[1] = 0x02;
    EXPECT_EQ(DecodeInfoBlock(wrongSize).problems.size(), 2u);

    EXPECT_EQ(DecodeInfoBlock(std::vector<uint8_t>(100, 0)).problems.size(), 1u);
}

// ---- text
// ----------------------------------------------------------------------------------------

TEST(Text, Units)
{
    EXPECT_EQ(FormatHundredths(1209), "12.09");
    EXPECT_EQ(FormatHundredths(5), "0.05");
    EXPECT_EQ(FormatHundredths(4294967276u), "42949672.76"); // a wrapped negative offset
    EXPECT_EQ(FormatTenths(455), "45.5");
    EXPECT_EQ(FormatTenths(-5), "-0.5");
    EXPECT_EQ(FormatTenths(-1280), "-128.0");
    EXPECT_EQ(FormatTenths(INT32_MIN), "-214748364.8");
}

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

TEST(Report, RegistryValuesInJson)
{
    PublishedValue dword{"ChipsetType", 4, Le32(6)};
    EXPECT_EQ(RegistryValueJson(dword), 6);
    PublishedValue multi{"VoltageList", 7, Utf16Slot("VCORE ", 14)};
    EXPECT_EQ(RegistryValueJson(multi), nlohmann::ordered_json::array({"VCORE "}));
    PublishedValue empty{"VoltageList", 7, {}};
    EXPECT_TRUE(RegistryValueJson(empty).empty());
    PublishedValue binary{"X", 3, {0xAB, 0x01}};
    EXPECT_EQ(RegistryValueJson(binary), "ab01");
}

} // namespace

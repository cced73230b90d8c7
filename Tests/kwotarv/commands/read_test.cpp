// The read loop against a scripted device: redrawing on a terminal, repeated readings that send
// only the values requests, failures that make the next reading learn again, and output that
// stays valid when a request fails; info with a failing block request.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "client/hwm_client.hpp"
#include "client/scripted_device.hpp"
#include "commands/info.hpp"
#include "commands/read.hpp"
#include "kwotarv_public.h"

namespace {

using namespace kwotarv;
using namespace kwotarvtest;

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

// --watch: the first reading learns the description, names, limits and reply sizes (15
// requests: each group's limits probe is answered as by a driver without limits, and the one
// fan's value fits the probe); every later one sends one values request per group, of exactly
// the size learnt.
TEST(ReadLoop, RepeatedReadingsSendOnlyTheValuesRequests)
{
    ScriptedDevice device = ThreeGroups();
    HwmClient client(device);
    const Readings first = client.ReadAll();
    EXPECT_TRUE(first.errors.empty());
    EXPECT_EQ(device.calls.size(), 1u + 5 + 5 + 4);

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
    EXPECT_EQ(device.calls.size() - before, 1u + 3 * 5);

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
    EXPECT_EQ(device.calls.size() - before, 1u + 5 + 5 + 4);
}

TEST(ReadLoop, FailedRequestGivesExitOneAndStillValidJson)
{
    ScriptedDevice device = OneVoltage();
    device.failing[IOCTL_HWM_GET_CHANNEL_VALUES] = 0xC0000001;
    ReadOptions options;
    options.format = OutputFormat::Json;
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
    EXPECT_EQ(RunInfo(device, backend, InfoOptions{true}, out, err), kExitFailure);
    const auto json = nlohmann::json::parse(out.str());
    EXPECT_EQ(json["description"], "Nuvoton NCT6776 Hardware Monitor");
    EXPECT_EQ(json["voltage_list"], "VCORE ");
    EXPECT_TRUE(json["info_block"].is_null());
    EXPECT_TRUE(json["registry"].is_null());
}

} // namespace

// The client against a scripted device: the size protocol of the names, values and info
// requests, empty groups, and failures that must not spoil the other groups.
#include <gtest/gtest.h>

#include "client/hwm_client.hpp"
#include "client/scripted_device.hpp"
#include "kwotarv_public.h"
#include "output/readings_report.hpp"

namespace {

using namespace kwotarv;
using namespace kwotarvtest;

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

} // namespace

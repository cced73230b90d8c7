// Channel limits from the driver's request and the verdict on each reading: the sentinel, open
// sides, the boundaries, a standing fan, and a driver that predates the request.
#include <gtest/gtest.h>

#include "client/channel_state.hpp"
#include "client/hwm_client.hpp"
#include "client/scripted_device.hpp"
#include "kwotarv_public.h"

namespace {

using kwotarv::ChannelLimits;
using kwotarv::ChannelState;
using kwotarvtest::ScriptedDevice;

constexpr int32_t kNone = HWM_LIMIT_NONE;

TEST(ChannelState, VerdictAgainstLimitsAndTheirBoundaries)
{
    const struct {
        int64_t value;
        ChannelLimits limits;
        ChannelState state;
    } table[] = {
        {1200, {}, ChannelState::Ok},
        {1140, {1140, 1260}, ChannelState::Ok}, // a limit itself is in range
        {1260, {1140, 1260}, ChannelState::Ok},
        {1139, {1140, 1260}, ChannelState::Low},
        {1261, {1140, 1260}, ChannelState::High},
        {-101, {-100, std::nullopt}, ChannelState::Low}, // signed tenths of a degree
        {5000000000, {std::nullopt, 2147483647}, ChannelState::High},
    };
    for (const auto& c : table)
        EXPECT_EQ(kwotarv::Judge(c.value, c.limits), c.state) << c.value;
    EXPECT_EQ(kwotarv::LimitsFromDriver(kNone, 850), (ChannelLimits{std::nullopt, 850}));
    EXPECT_EQ(kwotarv::LimitsFromDriver(-100, kNone), (ChannelLimits{-100, std::nullopt}));
}

TEST(ChannelState, ReadAllJudgesEveryChannelWithTheLimitsTheDriverGave)
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"+12V", "VBAT"};
    device.values[HWM_SELECT_VOLTAGES] = {1300, 250};
    device.limits[HWM_SELECT_VOLTAGES] = {{1140, 1260}, {270, kNone}};
    device.names[HWM_SELECT_TEMPERATURES] = {"CPU", "System", "Aux"};
    device.values[HWM_SELECT_TEMPERATURES] = {455, 301, 0};
    device.limits[HWM_SELECT_TEMPERATURES] = {{kNone, 400}, {kNone, kNone}, {10, kNone}};
    device.names[HWM_SELECT_FANS] = {"CPU Fan", "Aux Fan"};
    device.values[HWM_SELECT_FANS] = {0x1C04, 0xFF1F}; // 1500 RPM, standing
    // No fan limits: the standing fan is still a stopped fan.

    kwotarv::HwmClient client(device);
    for (int reading = 0; reading < 2; ++reading) { // learnt, then from what was kept
        const kwotarv::Readings r = client.ReadAll();
        ASSERT_TRUE(r.errors.empty());
        EXPECT_EQ(r.voltages[0].state, ChannelState::High);
        EXPECT_EQ(r.voltages[1].state, ChannelState::Low);
        EXPECT_EQ(r.voltages[1].limits, (ChannelLimits{270, std::nullopt}));
        EXPECT_EQ(r.temperatures[0].state, ChannelState::High);
        EXPECT_EQ(r.temperatures[1].state, ChannelState::Ok);
        EXPECT_EQ(r.temperatures[2].state, ChannelState::Ok) << "a channel the driver never reads";
        EXPECT_EQ(r.fans[0].state, ChannelState::Ok);
        EXPECT_EQ(r.fans[1].state, ChannelState::Stopped);
        EXPECT_EQ(kwotarv::AlarmCount(r), 4u);
    }
}

TEST(ChannelState, DriverWithoutTheLimitsRequestGivesNoLimitsAndNoError)
{
    ScriptedDevice device; // answers the limits request with STATUS_INVALID_PARAMETER
    device.names[HWM_SELECT_VOLTAGES] = {"+12V"};
    device.values[HWM_SELECT_VOLTAGES] = {1300};
    kwotarv::HwmClient client(device);
    const kwotarv::Readings r = client.ReadAll();
    EXPECT_TRUE(r.errors.empty());
    EXPECT_FALSE(r.voltages[0].limits.Any());
    EXPECT_EQ(r.voltages[0].state, ChannelState::Ok);
}

} // namespace

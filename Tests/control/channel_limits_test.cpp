// IOCTL_HWM_GET_CHANNEL_LIMITS through the simulated user-mode path: one (low, high) pair per
// channel of the selected group in the order of the values, the no-limit sentinel, the buffer
// rules of the values request, and no sensor read.
#include <algorithm>
#include <gtest/gtest.h>

#include "control_fixture.hpp"

using namespace kwo::test;
using sim::io::IoctlResult;

namespace {

constexpr int32_t kNone = HWM_LIMIT_NONE;

class LimitsTest : public ControlTest {
  protected:
    void SetUp() override
    {
        ControlTest::SetUp();
        dev->SetVoltages(BuildChannelList(SENSOR_KIND_VOLTAGE,
                                          {{.name = u"VCore", .lowLimit = 90, .highLimit = 130},
                                           {.name = u"VIN1", .regIndex = 1, .highLimit = 1260},
                                           {.name = u"VBAT", .regIndex = 4}}));
        dev->SetTemperatures(
            BuildChannelList(SENSOR_KIND_TEMPERATURE,
                             {{.name = u"CPU", .regIndex = 3, .lowLimit = -100, .highLimit = 850},
                              {.name = u"System", .highLimit = 600},
                              {.name = u"Aux", .regIndex = 4, .lowLimit = 50}}));
        dev->SetFans(BuildChannelList(SENSOR_KIND_FAN, {{.name = u"CPU Fan", .highLimit = 6000},
                                                        {.name = u"SYS Fan", .regIndex = 1}}));
    }

    static std::vector<std::pair<int32_t, int32_t>> Pairs(const IoctlResult& r)
    {
        std::vector<std::pair<int32_t, int32_t>> pairs;
        for (size_t at = 0; at + 8 <= r.information; at += 8)
            pairs.emplace_back(I32(r.output, at), I32(r.output, at + 4));
        return pairs;
    }
};

TEST_F(LimitsTest, PairsOfEachSelectorInTheOrderOfTheValues)
{
    using P = std::pair<int32_t, int32_t>;
    const struct {
        uint32_t selector;
        std::vector<P> pairs;
    } table[] = {
        {HWM_SELECT_VOLTAGES, {{90, 130}, {kNone, 1260}, {kNone, kNone}}},
        {HWM_SELECT_TEMPERATURE1, {{-100, 850}}},
        {HWM_SELECT_TEMPERATURE2, {{kNone, 600}}},
        {HWM_SELECT_TEMPERATURES, {{-100, 850}, {kNone, 600}, {50, kNone}}},
        {HWM_SELECT_FANS, {{kNone, 6000}, {kNone, kNone}}},
    };
    auto h = dev->Open();
    const uint64_t before = PortOps();
    for (const auto& e : table) {
        SCOPED_TRACE("selector " + std::to_string(e.selector));
        IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_LIMITS, Selector(e.selector), 128);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.information, 8u * e.pairs.size());
        EXPECT_EQ(Pairs(r), e.pairs);
        EXPECT_TRUE(std::all_of(r.output.begin() + r.information, r.output.end(),
                                [](uint8_t b) { return b == sim::io::kCallerBufferFill; }));
    }
    EXPECT_EQ(PortOps(), before) << "limits come from the configuration, not the chip";
}

TEST_F(LimitsTest, BufferAndInputRulesAreThoseOfTheValuesRequest)
{
    const struct {
        const char* name;
        std::vector<uint8_t> input;
        ULONG outputLength;
        NTSTATUS status;
        ULONG information;
        std::optional<uint32_t> sizeReported;
    } table[] = {
        {"exact", Selector(HWM_SELECT_FANS), 16, STATUS_SUCCESS, 16, {}},
        {"one byte short", Selector(HWM_SELECT_FANS), 15, STATUS_BUFFER_OVERFLOW, 4, 16},
        {"voltages short", Selector(HWM_SELECT_VOLTAGES), 8, STATUS_BUFFER_OVERFLOW, 4, 24},
        {"too short for the size", Selector(HWM_SELECT_FANS), 3, STATUS_BUFFER_OVERFLOW, 0, {}},
        {"selector 0", Selector(0), 64, STATUS_INVALID_PARAMETER, 0, {}},
        {"selector 6", Selector(6), 64, STATUS_INVALID_PARAMETER, 0, {}},
        {"input of 5 bytes", {5, 0, 0, 0, 0}, 64, STATUS_INVALID_PARAMETER, 0, {}},
        {"no input", {}, 64, STATUS_INVALID_PARAMETER, 0, {}},
    };
    auto h = dev->Open();
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_LIMITS, c.input, c.outputLength);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        if (c.sizeReported)
            EXPECT_EQ(U32(r.output, 0), *c.sizeReported);
    }
}

TEST_F(LimitsTest, EmptyAndAbsentGroupsAreInvalid)
{
    dev->SetTemperatures(BuildChannelList(SENSOR_KIND_TEMPERATURE, {{.name = u"Only"}}));
    dev->SetFans(nullptr);
    auto h = dev->Open();
    for (uint32_t selector : {HWM_SELECT_TEMPERATURE2, HWM_SELECT_FANS}) {
        IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_LIMITS, Selector(selector), 64);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << selector;
        EXPECT_EQ(r.information, 0u) << selector;
    }
}

TEST_F(LimitsTest, CountsBeyondTheArraysAreBoundedAsForTheValues)
{
    dev->SetVoltages(BuildNumberedList(SENSOR_KIND_VOLTAGE, 12, 9, u"Volt"));
    auto h = dev->Open();
    IoctlResult values =
        h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, Selector(HWM_SELECT_VOLTAGES), 256);
    IoctlResult limits =
        h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_LIMITS, Selector(HWM_SELECT_VOLTAGES), 256);
    EXPECT_EQ(values.information, 9u * 4);
    EXPECT_EQ(limits.information, 9u * 8);
}

} // namespace

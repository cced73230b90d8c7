// The names and values routines called directly: argument checks and what they leave in the
// length on each failure, and that a group never reaches past the channels its list holds.
#include <vector>
#include <gtest/gtest.h>

#include "control_fixture.hpp"

#include "control/control.h"

using namespace kwo::test;

namespace {

class CopyRoutinesTest : public ControlTest {};

TEST_F(CopyRoutinesTest, MissingArgumentsAreInvalid)
{
    std::vector<uint8_t> buffer(256);
    ULONG length = 256;
    for (auto copy : {CopyChannelNames, CopyChannelValues}) {
        EXPECT_EQ(copy(&dev->Ext(), buffer.data(), 1, nullptr), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(copy(nullptr, buffer.data(), 1, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(copy(&dev->Ext(), nullptr, 1, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(length, 256u);
    }
}

TEST_F(CopyRoutinesTest, UnknownSelectorLeavesTheLength)
{
    std::vector<uint8_t> buffer(256);
    for (auto copy : {CopyChannelNames, CopyChannelValues}) {
        ULONG length = 256;
        EXPECT_EQ(copy(&dev->Ext(), buffer.data(), 7, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(length, 256u);
    }
}

TEST_F(CopyRoutinesTest, EmptyGroup)
{
    dev->SetFans(nullptr);
    std::vector<uint8_t> buffer(256);

    ULONG length = 256;
    EXPECT_EQ(CopyChannelNames(&dev->Ext(), buffer.data(), HWM_SELECT_FANS, &length),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);

    length = 256;
    EXPECT_EQ(CopyChannelValues(&dev->Ext(), buffer.data(), HWM_SELECT_FANS, &length),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 256u);
}

TEST_F(CopyRoutinesTest, CountAboveTheListNamesOnlyFilledRecords)
{
    // A list whose Count is 1 although the extension claims 3 channels: records 1 and 2 are
    // empty (no name) and must not be named or read.
    dev->SetTemperatures(
        BuildChannelList(SENSOR_KIND_TEMPERATURE, {{.name = u"Only", .regIndex = 3}}, 3));
    DEVICE_EXTENSION& ext = dev->Ext();
    ext.TempCount = 3;
    ext.HasTemp2 = 1;
    std::vector<uint8_t> buffer(256, 0xEE);

    ULONG length = 256;
    EXPECT_EQ(CopyChannelNames(&ext, buffer.data(), HWM_SELECT_TEMPERATURES, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 64u);
    EXPECT_TRUE(SlotText(buffer, 0) == u"Only");

    length = 256;
    EXPECT_EQ(CopyChannelNames(&ext, buffer.data(), HWM_SELECT_TEMPERATURE2, &length),
              STATUS_INVALID_PARAMETER);

    length = 256;
    EXPECT_EQ(CopyChannelValues(&ext, buffer.data(), HWM_SELECT_TEMPERATURES, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(I32(buffer, 0), kTemp0);
}

TEST_F(CopyRoutinesTest, OverflowReportsTheSizeInTheBuffer)
{
    std::vector<uint8_t> buffer(8, 0xEE);
    ULONG length = 8;
    EXPECT_EQ(CopyChannelValues(&dev->Ext(), buffer.data(), HWM_SELECT_VOLTAGES, &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(U32(buffer, 0), 12u);
    EXPECT_EQ(buffer[4], 0xEE);

    length = 3;
    buffer.assign(8, 0xEE);
    EXPECT_EQ(CopyChannelNames(&dev->Ext(), buffer.data(), HWM_SELECT_VOLTAGES, &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
}

} // namespace

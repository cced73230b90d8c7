// The simulated machine's hot plug, which `kwotarv serve` uses on the simulator: the device
// surprise-removed and removed through the PnP manager, the driver unloaded with nothing left
// allocated, and on return a fresh image loaded, the device added and started again.
#include <gtest/gtest.h>

#include "kernel/pool/pool.hpp"
#include "kwotarv_public.h"
#include "machine/machine.hpp"
#include "support/sim_fixture.hpp"

namespace {

using sim::machine::Machine;

constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034;

class HotPlugTest : public SimTest {
  protected:
    static sim::machine::Board Board()
    {
        return sim::machine::LoadBoard(std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776");
    }
    static std::vector<uint8_t> Fans(Machine& machine)
    {
        auto reply = machine.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20);
        EXPECT_EQ(reply.status, 0u);
        return reply.output;
    }
};

TEST_F(HotPlugTest, UnplugRemovesTheDeviceAndUnloadsTheDriver)
{
    Machine machine(Board());
    ASSERT_TRUE(machine.PowerOn().started);
    const std::vector<uint8_t> before = Fans(machine);

    machine.Unplug();
    EXPECT_FALSE(machine.DevicePresent());
    EXPECT_FALSE(machine.DeviceOpen()) << "the handle was closed on the removal notice";
    EXPECT_EQ(machine.OpenDevice(), kStatusObjectNameNotFound) << "the link is gone";
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << "the unloaded driver left memory behind";
    machine.Unplug(); // already gone: nothing happens

    const sim::machine::StartOutcome again = machine.Replug();
    ASSERT_TRUE(again.started) << again.diagnosis;
    EXPECT_TRUE(machine.DevicePresent());
    EXPECT_FALSE(machine.DeviceOpen());
    ASSERT_EQ(machine.OpenDevice(), 0u);
    EXPECT_EQ(Fans(machine), before);
    EXPECT_EQ(machine.OpenDevice(), 0u); // open already: the same handle

    const auto report = machine.PowerOff();
    EXPECT_TRUE(report.Clean()) << (report.leftovers.empty() ? "" : report.leftovers[0])
                                << (report.faults.empty() ? "" : report.faults[0]);
    EXPECT_TRUE(report.unloaded);
}

TEST_F(HotPlugTest, RepeatedCyclesAndClosedHandlesStayClean)
{
    Machine machine(Board());
    ASSERT_TRUE(machine.PowerOn().started);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        machine.CloseDevice();
        EXPECT_FALSE(machine.DeviceOpen());
        machine.Unplug(); // with no handle open
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
        ASSERT_TRUE(machine.Replug().started);
        EXPECT_EQ(machine.Replug().started, true); // present already: nothing happens
        ASSERT_EQ(machine.OpenDevice(), 0u);
        EXPECT_EQ(Fans(machine).size(), 20u);
    }
    machine.Unplug(); // powered off while the device is gone
    const auto report = machine.PowerOff();
    EXPECT_TRUE(report.Clean()) << (report.leftovers.empty() ? "" : report.leftovers[0]);
}

} // namespace

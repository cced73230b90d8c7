// Power requests: every one goes down the stack with the next power request started; the
// return from sleep to the working state re-arms battery-voltage monitoring, and nothing else
// touches the chip.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lifecycle_fixture.hpp"

using namespace lifecycle;
using sim::hw::PortAccess;

namespace {

// The complete re-arm on the NCT6776 with the control register holding `value`: read register
// 0x5D of bank 0, write it back with bit 0 set, each access opened and closed in bank 0.
std::vector<PortAccess> RearmTrace(uint8_t value)
{
    return {
        PortAccess::Write(kHwmIndexPort, 0x4E), PortAccess::Write(kHwmDataPort, 0x00),
        PortAccess::Write(kHwmIndexPort, 0x5D), PortAccess::Read(kHwmDataPort, value),
        PortAccess::Write(kHwmIndexPort, 0x4E), PortAccess::Write(kHwmDataPort, 0x00),
        PortAccess::Write(kHwmIndexPort, 0x4E), PortAccess::Write(kHwmDataPort, 0x00),
        PortAccess::Write(kHwmIndexPort, 0x5D), PortAccess::Write(kHwmDataPort, value | 0x01),
        PortAccess::Write(kHwmIndexPort, 0x4E), PortAccess::Write(kHwmDataPort, 0x00),
    };
}

// The chip's state after sleep: the monitoring bit cleared, the other bits as they were.
constexpr uint8_t kControlAfterSleep = 0x40;

struct PowerCase {
    const char* name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    int state; // SYSTEM_POWER_STATE or DEVICE_POWER_STATE, by type
    POWER_ACTION action;
    bool vbatChannel;
    bool rearms;
};

void PrintTo(const PowerCase& c, std::ostream* os)
{
    *os << c.name;
}

class PowerTest : public LifecycleTest, public ::testing::WithParamInterface<PowerCase> {
  protected:
    lifecycle::Board Board() const override
    {
        lifecycle::Board board;
        board.vbatChannel = GetParam().vbatChannel;
        return board;
    }

    sim::pnp::PnpResult Send()
    {
        const PowerCase& c = GetParam();
        POWER_STATE state;
        if (c.type == SystemPowerState)
            state.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
        else
            state.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
        return c.minor == IRP_MN_SET_POWER
                   ? sim::pnp::SetPower(Machine().Pdo(), c.type, state, c.action)
                   : sim::pnp::QueryPower(Machine().Pdo(), c.type, state, c.action);
    }
};

TEST_P(PowerTest, PassesDownAndReArmsOnlyOnReturnFromSleep)
{
    const PowerCase& c = GetParam();
    Machine().BringUp();
    ASSERT_EQ(Machine().Extension()->VbatMonitor, c.vbatChannel ? TRUE : FALSE);
    sim::hw::SuperIo* chip = Machine().Chip();
    chip->SetRegister(kVbatControlRegister, kControlAfterSleep);
    Machine().Bus().ClearRequests();
    const unsigned startedBefore = sim::pnp::StartNextPowerIrpCount();
    const unsigned passedBefore = sim::pnp::PoCallDriverCount();

    auto& ports = sim::hw::Current().ports;
    ports.StartTrace();
    sim::pnp::PnpResult result = Send();
    ports.StopTrace();

    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    if (c.rearms) {
        EXPECT_EQ(ports.Trace(), RearmTrace(kControlAfterSleep));
        EXPECT_EQ(chip->Register(kVbatControlRegister), kControlAfterSleep | 0x01);
    } else {
        EXPECT_TRUE(ports.Trace().empty());
        EXPECT_EQ(chip->Register(kVbatControlRegister), kControlAfterSleep);
    }
    EXPECT_FALSE(chip->SequenceOpen());

    // Started by the driver and then by the PDO below it.
    EXPECT_EQ(sim::pnp::StartNextPowerIrpCount(), startedBefore + 2);
    EXPECT_EQ(sim::pnp::PoCallDriverCount(), passedBefore + 1);
    auto requests = Machine().Bus().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].major, IRP_MJ_POWER);
    EXPECT_EQ(requests[0].minor, c.minor);
    EXPECT_EQ(requests[0].powerType, c.type);
    EXPECT_EQ(static_cast<int>(requests[0].powerState.SystemState), c.state);
    EXPECT_EQ(requests[0].shutdownType, c.action);
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, PowerTest,
    ::testing::Values(
        PowerCase{"WakeFromSleep", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
                  PowerActionSleep, true, true},
        PowerCase{"WakeFromSleepWithoutVbat", IRP_MN_SET_POWER, SystemPowerState,
                  PowerSystemWorking, PowerActionSleep, false, false},
        PowerCase{"WakeFromHibernate", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
                  PowerActionHibernate, true, false},
        PowerCase{"WorkingAfterShutdownAction", IRP_MN_SET_POWER, SystemPowerState,
                  PowerSystemWorking, PowerActionShutdown, true, false},
        PowerCase{"WorkingWithoutAction", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
                  PowerActionNone, true, false},
        PowerCase{"GoingToSleep", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3,
                  PowerActionSleep, true, false},
        PowerCase{"GoingToHibernate", IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate,
                  PowerActionHibernate, true, false},
        PowerCase{"QueryWorkingAfterSleep", IRP_MN_QUERY_POWER, SystemPowerState,
                  PowerSystemWorking, PowerActionSleep, true, false},
        // D0 has the same number as the working system state: only the type tells them apart.
        PowerCase{"DeviceD0AfterSleep", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0,
                  PowerActionSleep, true, false}),
    [](const ::testing::TestParamInfo<PowerCase>& info) { return info.param.name; });

using PowerLockTest = LifecycleTest;

// The re-arm waits for a device-control request that holds the chip (here the test holds the
// device lock the way a request does), so their bank selections never interleave.
TEST_F(PowerLockTest, ReArmWaitsForTheDeviceLock)
{
    Machine().BringUp();
    PDEVICE_EXTENSION extension = Machine().Extension();
    sim::hw::SuperIo* chip = Machine().Chip();
    chip->SetRegister(kVbatControlRegister, kControlAfterSleep);
    const uint64_t operationsBefore = chip->HwmOperationCount();

    AcquireDeviceLock(extension);
    std::atomic<bool> done{false};
    sim::pnp::PnpResult result;
    std::thread wake([&] {
        result = sim::pnp::SetSystemPower(Machine().Pdo(), PowerSystemWorking, PowerActionSleep);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(chip->HwmOperationCount(), operationsBefore);
    ReleaseDeviceLock(extension);
    wake.join();

    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(chip->Register(kVbatControlRegister), kControlAfterSleep | 0x01);
}

TEST_F(PowerLockTest, PendingLowerDriversAreWaitedForBySystemNotByTheDriver)
{
    Machine().BringUp();
    Machine().Bus().SetPowerAnswer(IRP_MN_SET_POWER, sim::bus::Answer::Pending(STATUS_SUCCESS));
    sim::pnp::PnpResult result =
        sim::pnp::SetSystemPower(Machine().Pdo(), PowerSystemWorking, PowerActionSleep);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.pendingReturned);
}

} // namespace

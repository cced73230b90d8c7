// The simulated PnP and power manager and the bus PDO: driver load and unload, AddDevice checks,
// the requests it sends and the answers the bus gives.
#include "test_driver.hpp"

namespace {

using testdrv::B;

constexpr GUID kClass = {
    0xC52B5736, 0x1ADB, 0x43D0, {0x9A, 0x05, 0x25, 0xB5, 0xC2, 0x6C, 0xBA, 0x96}};

class PnpTest : public IoTest {};

TEST_F(PnpTest, DriverEntryGetsTheServicePathWhichGoesStaleAfterwards)
{
    const PDRIVER_OBJECT driver = Load();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(B().pathSeenAtEntry,
              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\IoTest");
    EXPECT_EQ(sim::io::ToU16(driver->DriverName), u"\\Driver\\IoTest");
    EXPECT_EQ(sim::io::ToU16(driver->DriverExtension->ServiceKeyName), u"IoTest");
    // A driver that kept the pointer instead of copying the text reads garbage now.
    EXPECT_NE(sim::io::ToU16(*B().pathPointer), B().pathSeenAtEntry);
}

TEST_F(PnpTest, FailedDriverEntryUnloadsTheDriverAndReportsLeftovers)
{
    sim::pnp::LoadResult load = sim::pnp::LoadDriver(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            return STATUS_INSUFFICIENT_RESOURCES;
        },
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Broken");
    EXPECT_EQ(load.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(load.driver, nullptr);
    EXPECT_EQ(TakeFaults("1 device object(s) still present"), 1u);
}

TEST_F(PnpTest, AddDeviceAttachesAndStartIsPassedToTheBus)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    EXPECT_EQ(sim::io::LowerDevice(fdo_), bus.Pdo());
    EXPECT_EQ(fdo_->StackSize, 2);
    const sim::pnp::PnpResult start = sim::pnp::StartDevice(bus.Pdo());
    EXPECT_EQ(start.returned, STATUS_SUCCESS);
    EXPECT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_FALSE(start.pendingReturned);
    ASSERT_EQ(bus.Requests().size(), 1u);
    EXPECT_EQ(bus.Requests()[0].major, IRP_MJ_PNP);
    EXPECT_EQ(bus.Requests()[0].minor, IRP_MN_START_DEVICE);
    // Every PnP request starts out as "not supported" until someone handles it.
    EXPECT_EQ(bus.Requests()[0].statusOnArrival, STATUS_NOT_SUPPORTED);
}

TEST_F(PnpTest, UnhandledMinorKeepsNotSupported)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    const sim::pnp::PnpResult result = sim::pnp::SendPnp(bus.Pdo(), IRP_MN_QUERY_ID);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.Requests().back().answeredStatus, STATUS_NOT_SUPPORTED);
}

// The bus's default answer per request, as a root-enumerated PDO gives it.
struct DefaultAnswerCase {
    UCHAR minor;
    NTSTATUS expected;
};

class BusDefaultTest : public PnpTest, public ::testing::WithParamInterface<DefaultAnswerCase> {};

TEST_P(BusDefaultTest, Answers)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    const DefaultAnswerCase c = GetParam();
    EXPECT_EQ(sim::pnp::SendPnp(bus.Pdo(), c.minor).status, c.expected);
    EXPECT_EQ(bus.PnpMinors(), std::vector<UCHAR>{c.minor});
}

INSTANTIATE_TEST_SUITE_P(
    Minors, BusDefaultTest,
    ::testing::Values(DefaultAnswerCase{IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS},
                      DefaultAnswerCase{IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
                      DefaultAnswerCase{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, STATUS_NOT_SUPPORTED},
                      DefaultAnswerCase{IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED}));

TEST_F(PnpTest, ConfiguredFailureAndLaterCompletionFromAnotherThread)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    bus.SetPnpAnswer(IRP_MN_START_DEVICE, sim::bus::Answer::Fail(STATUS_DEVICE_NOT_READY));
    EXPECT_EQ(sim::pnp::StartDevice(bus.Pdo()).status, STATUS_DEVICE_NOT_READY);

    bus.SetPnpAnswer(IRP_MN_START_DEVICE,
                     sim::bus::Answer::Pending(STATUS_SUCCESS, std::chrono::milliseconds(40)));
    const auto before = std::chrono::steady_clock::now();
    const sim::pnp::PnpResult start = sim::pnp::StartDevice(bus.Pdo());
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(35));
    EXPECT_EQ(start.returned, STATUS_PENDING);
    EXPECT_TRUE(start.pendingReturned);
    EXPECT_EQ(start.status, STATUS_SUCCESS);

    // KeepArrivingStatus: the bus leaves what the upper drivers set.
    bus.SetPnpAnswer(IRP_MN_QUERY_CAPABILITIES, sim::bus::Answer::KeepArrivingStatus());
    EXPECT_EQ(sim::pnp::QueryCapabilities(bus.Pdo()).status, STATUS_NOT_SUPPORTED);
}

TEST_F(PnpTest, ForwardAndWaitInTheFunctionDriverWaitsForThePendingBus)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    NTSTATUS seenByDriver = 0;
    B().dispatch[IRP_MJ_PNP] = [&](PDEVICE_OBJECT device, PIRP irp) {
        seenByDriver = testdrv::ForwardAndWait(testdrv::Ext(device)->lower, irp);
        return testdrv::Complete(irp, STATUS_SUCCESS);
    };
    bus.SetPnpAnswer(IRP_MN_CANCEL_REMOVE_DEVICE,
                     sim::bus::Answer::Pending(STATUS_UNSUCCESSFUL, std::chrono::milliseconds(30)));
    const sim::pnp::PnpResult result = sim::pnp::CancelRemoveDevice(bus.Pdo());
    EXPECT_EQ(seenByDriver, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
}

TEST_F(PnpTest, PowerRequestsCarryTheirParametersToTheBus)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    const sim::pnp::PnpResult result =
        sim::pnp::SetSystemPower(bus.Pdo(), PowerSystemWorking, PowerActionSleep);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    sim::pnp::QueryPower(bus.Pdo(), DevicePowerState, d3, PowerActionHibernate);

    const auto requests = bus.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].major, IRP_MJ_POWER);
    EXPECT_EQ(requests[0].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(requests[0].powerType, SystemPowerState);
    EXPECT_EQ(requests[0].powerState.SystemState, PowerSystemWorking);
    EXPECT_EQ(requests[0].shutdownType, PowerActionSleep);
    EXPECT_EQ(requests[0].statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(requests[1].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(requests[1].powerType, DevicePowerState);
    EXPECT_EQ(requests[1].powerState.DeviceState, PowerDeviceD3);
    EXPECT_EQ(requests[1].shutdownType, PowerActionHibernate);
    // The function driver and the bus each start the next power request; the driver passed
    // both on with PoCallDriver.
    EXPECT_EQ(sim::pnp::StartNextPowerIrpCount(), 4u);
    EXPECT_EQ(sim::pnp::PoCallDriverCount(), 2u);
}

TEST_F(PnpTest, UsageNotificationParametersReachTheBus)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    sim::pnp::DeviceUsageNotification(bus.Pdo(), DeviceUsageTypePaging, TRUE);
    ASSERT_EQ(bus.Requests().size(), 1u);
    EXPECT_EQ(bus.Requests()[0].minor, IRP_MN_DEVICE_USAGE_NOTIFICATION);
    EXPECT_EQ(bus.Requests()[0].usageType, DeviceUsageTypePaging);
    EXPECT_EQ(bus.Requests()[0].usageInPath, TRUE);
}

TEST_F(PnpTest, PoCallDriverWithAPnpRequestIsReported)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    B().dispatch[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(testdrv::Ext(device)->lower, irp);
    };
    sim::pnp::StartDevice(bus.Pdo());
    EXPECT_EQ(TakeFaults("PoCallDriver with a request that is not a power request"), 1u);
}

TEST_F(PnpTest, RemovalDeletesTheDeviceAndTheSystemDisablesLeftoverInterfaces)
{
    sim::bus::BusDevice& bus = LoadOverBus();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::RemoveDevice(bus.Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::io::DeviceCount(driver_), 0u);
    EXPECT_EQ(sim::io::TopOfStack(bus.Pdo()), bus.Pdo());
    const auto info = sim::io::FindInterface(sim::io::ToU16(name));
    EXPECT_FALSE(info->enabled);
    EXPECT_TRUE(info->disabledBySystem);
    RtlFreeUnicodeString(&name);
    EXPECT_TRUE(sim::pnp::UnloadDriver(driver_));
}

TEST_F(PnpTest, AddDeviceLeavingAnInitializingDeviceIsReported)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    B().addDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        IoAttachDeviceToDeviceStack(device, pdo);
        return STATUS_SUCCESS;
    };
    PDRIVER_OBJECT driver = Load();
    EXPECT_EQ(sim::pnp::AddDevice(driver, bus.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(TakeFaults("DO_DEVICE_INITIALIZING"), 1u);
}

TEST_F(PnpTest, FailedAddDeviceMustNotLeaveDeviceObjects)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    B().addDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT) {
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        return STATUS_DEVICE_REMOVED;
    };
    PDRIVER_OBJECT driver = Load();
    EXPECT_EQ(sim::pnp::AddDevice(driver, bus.Pdo()), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(TakeFaults("left 1 device object(s) behind"), 1u);
}

TEST_F(PnpTest, UnloadCallsTheUnloadRoutineAndChecksForLeftovers)
{
    LoadOverBus();
    int unloads = 0;
    B().unload = [&](PDRIVER_OBJECT) { ++unloads; };
    EXPECT_TRUE(sim::pnp::UnloadDriver(driver_));
    EXPECT_EQ(unloads, 1);
    EXPECT_EQ(TakeFaults("1 device object(s) still present"), 1u);
}

TEST_F(PnpTest, DriverWithoutUnloadRoutineStaysLoaded)
{
    B().installUnload = false;
    PDRIVER_OBJECT driver = Load();
    EXPECT_FALSE(sim::pnp::UnloadDriver(driver));
}

TEST_F(PnpTest, UnbalancedCriticalRegionInAddDeviceIsReported)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    B().addDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT) {
        KeEnterCriticalRegion();
        return STATUS_UNSUCCESSFUL;
    };
    PDRIVER_OBJECT driver = Load();
    sim::pnp::AddDevice(driver, bus.Pdo());
    KeLeaveCriticalRegion();
    EXPECT_EQ(TakeFaults("AddDevice returned with the critical-region depth changed"), 1u);
}

} // namespace

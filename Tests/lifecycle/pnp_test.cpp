// Plug and Play through the simulated PnP manager: the start sequence with lower drivers that
// succeed, fail or pend; the requests that are only passed down; stop and restart; removal in
// its variants; and the pool left empty at the end of every life.
#include <cstring>
#include <vector>

#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "lifecycle_fixture.hpp"
#include "config/channel.h"
#include "lifecycle/lifecycle.h"

using namespace lifecycle;

namespace {

const DEVPROPKEY kRestrictedKey = {
    {0x026E516E, 0xB814, 0x414B, {0x83, 0xCD, 0x85, 0x6D, 0x6F, 0xEF, 0x48, 0x22}}, 6};

std::optional<sim::io::InterfaceInfo> OurInterface()
{
    auto interfaces = sim::io::Interfaces();
    if (interfaces.empty())
        return std::nullopt;
    return interfaces.front();
}

sim::io::IoctlResult ReadVoltages(const sim::io::Handle& handle)
{
    return handle.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, HWM_VOLTAGES_REPLY_SIZE);
}

// The end of every life: removal and unload leave no allocation of any tag behind.
void RemoveAndUnload(LifecycleMachine& machine)
{
    if (machine.Device() != nullptr) {
        sim::pnp::PnpResult removal = machine.Remove();
        EXPECT_TRUE(removal.completed);
    }
    EXPECT_EQ(machine.Device(), nullptr);
    ASSERT_TRUE(machine.Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

// Removes the device and checks that the driver itself called the interface-disable routine
// once and left the interface off (the system did not have to).
void ExpectRemovalDisablesTheInterface(LifecycleMachine& machine)
{
    const unsigned before = sim::io::CallCount(sim::io::Routine::DisableDeviceInterface);
    EXPECT_EQ(machine.Remove().status, STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CallCount(sim::io::Routine::DisableDeviceInterface) - before, 1u);
    auto interface = OurInterface();
    ASSERT_TRUE(interface.has_value());
    EXPECT_FALSE(interface->enabled);
    EXPECT_FALSE(interface->disabledBySystem);
}

// ---- start ------------------------------------------------------------------------------------

struct LowerStart {
    const char* name;
    sim::bus::Answer answer;
};

void PrintTo(const LowerStart& c, std::ostream* os)
{
    *os << c.name;
}

class StartTest : public LifecycleTest, public ::testing::WithParamInterface<LowerStart> {};

TEST_P(StartTest, SucceedsWhateverTheLowerDriversAnswer)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    Machine().Bus().SetPnpAnswer(IRP_MN_START_DEVICE, GetParam().answer);

    sim::pnp::PnpResult start = Machine().Start();
    ASSERT_TRUE(start.completed);
    EXPECT_EQ(start.returned, STATUS_SUCCESS);
    EXPECT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Bus().PnpMinors(), std::vector<UCHAR>{IRP_MN_START_DEVICE});

    PDEVICE_EXTENSION extension = Machine().Extension();
    EXPECT_EQ(extension->ChipType, (ULONG)CHIP_NCT6776);
    EXPECT_EQ(extension->HwmBase, kHwmBase);
    EXPECT_EQ(extension->VoltageCount, 3u);
    EXPECT_EQ(extension->TempCount, 2u);
    EXPECT_EQ(extension->FanCount, 2u);
    ASSERT_NE(extension->ChipInfo, nullptr);
    EXPECT_TRUE(extension->VbatMonitor);

    auto interface = OurInterface();
    ASSERT_TRUE(interface.has_value());
    EXPECT_TRUE(interface->enabled);
    const sim::io::InterfaceProperty* restricted = interface->Property(kRestrictedKey);
    ASSERT_NE(restricted, nullptr);
    EXPECT_EQ(restricted->type, (DEVPROPTYPE)DEVPROP_TYPE_BOOLEAN);
    EXPECT_EQ(restricted->lcid, 0u);
    EXPECT_EQ(restricted->flags, 0u);
    EXPECT_EQ(restricted->data, std::vector<uint8_t>{0xFF});

    // Started means answering requests.
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    sim::io::IoctlResult voltages = ReadVoltages(open.handle);
    EXPECT_EQ(voltages.status, STATUS_SUCCESS);
    EXPECT_EQ(voltages.information, (ULONG_PTR)HWM_VOLTAGES_REPLY_SIZE);
    open.handle.Close();

    RemoveAndUnload(Machine());
}

INSTANTIATE_TEST_SUITE_P(
    LowerDrivers, StartTest,
    ::testing::Values(LowerStart{"Succeed", sim::bus::Answer::Succeed()},
                      LowerStart{"Fail", sim::bus::Answer::Fail(STATUS_UNSUCCESSFUL)},
                      LowerStart{"PendThenSucceed", sim::bus::Answer::Pending(STATUS_SUCCESS)},
                      LowerStart{"PendThenFail",
                                 sim::bus::Answer::Pending(STATUS_INSUFFICIENT_RESOURCES)}),
    [](const ::testing::TestParamInfo<LowerStart>& info) { return info.param.name; });

// A start that fails leaves the interface disabled and what it built in place; the removal the
// system sends next frees it.
struct StartFailure {
    const char* name;
    Board board;
    const char* failTag;
    NTSTATUS expected;
};

void PrintTo(const StartFailure& c, std::ostream* os)
{
    *os << c.name;
}

class StartFailureTest : public LifecycleTest, public ::testing::WithParamInterface<StartFailure> {
  protected:
    lifecycle::Board Board() const override { return GetParam().board; }
};

TEST_P(StartFailureTest, FailsTheStartAndTheRemovalCleansUp)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    if (GetParam().failTag != nullptr)
        sim::pool::FailTag(GetParam().failTag);

    sim::pnp::PnpResult start = Machine().Start();
    ASSERT_TRUE(start.completed);
    EXPECT_EQ(start.status, GetParam().expected);
    EXPECT_EQ(start.returned, GetParam().expected);
    auto interface = OurInterface();
    ASSERT_TRUE(interface.has_value());
    EXPECT_EQ(interface->enableCount, 0u);

    sim::pool::ClearFaults();
    // The removal still turns the interface off itself, although the start never turned it on.
    ExpectRemovalDisablesTheInterface(Machine());
    RemoveAndUnload(Machine());
}

// A start that enabled the interface and then failed to mark it restricted ends with that
// status and the interface on; the removal turns it off.
TEST_F(LifecycleTest, RemovalAfterAStartThatFailedOnTheInterfacePropertyDisablesIt)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    sim::io::FailRoutine(sim::io::Routine::SetDeviceInterfaceProperty, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Machine().Start().status, STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(OurInterface()->enabled);
    sim::io::ClearFailures();

    ExpectRemovalDisablesTheInterface(Machine());
    EXPECT_EQ(OurInterface()->disableCount, 1u);
    RemoveAndUnload(Machine());
}

Board WithoutChip()
{
    Board board;
    board.chip = sim::hw::ChipKind::None;
    return board;
}

Board WithoutConfiguration()
{
    Board board;
    board.configuration = false;
    return board;
}

Board UnknownProduct()
{
    Board board;
    board.firmwareText = "ZYF-77 BIOS V2";
    return board;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailureTest,
    ::testing::Values(
        StartFailure{"NoChip", WithoutChip(), nullptr, STATUS_UNSUCCESSFUL},
        StartFailure{"NoConfiguration", WithoutConfiguration(), nullptr, STATUS_UNSUCCESSFUL},
        StartFailure{"NoMatchingProduct", UnknownProduct(), nullptr, STATUS_UNSUCCESSFUL},
        StartFailure{"ChannelListAllocation", Board{}, "Vlst", STATUS_UNSUCCESSFUL},
        StartFailure{"InfoBlockAllocation", Board{}, "Cinf", STATUS_INSUFFICIENT_RESOURCES}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return info.param.name; });

using StartInterfaceTest = LifecycleTest;

TEST_F(StartInterfaceTest, InfoBlockFailureKeepsTheValuesAlreadyPublished)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    sim::pool::FailTag("Cinf");
    EXPECT_EQ(Machine().Start().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::registry::GetDword(kServiceKey, "ChipsetType"), (uint32_t)CHIP_NCT6776);
    EXPECT_TRUE(sim::registry::GetValue(kServiceKey, "ChipDesc").has_value());
    EXPECT_TRUE(sim::registry::GetValue(kServiceKey, "VoltageList").has_value());
    EXPECT_EQ(Machine().Extension()->ChipInfo, nullptr);
    sim::pool::ClearFaults();
    RemoveAndUnload(Machine());
}

TEST_F(StartInterfaceTest, EnablingFailureFailsTheStart)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    sim::io::FailRoutine(sim::io::Routine::EnableDeviceInterface, STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Machine().Start().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(OurInterface()->enabled);
    EXPECT_EQ(sim::io::CallCount(sim::io::Routine::SetDeviceInterfaceProperty), 0u);
    RemoveAndUnload(Machine());
}

TEST_F(StartInterfaceTest, PropertyFailureFailsTheStart)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    sim::io::FailRoutine(sim::io::Routine::SetDeviceInterfaceProperty, STATUS_ACCESS_DENIED);

    EXPECT_EQ(Machine().Start().status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(OurInterface()->Property(kRestrictedKey), nullptr);
    RemoveAndUnload(Machine());
}

TEST_F(StartInterfaceTest, SystemWithoutInterfacePropertiesSkipsTheMarking)
{
    sim::io::HideSystemRoutine("IoSetDeviceInterfacePropertyData");
    Machine().BringUp();
    auto interface = OurInterface();
    EXPECT_TRUE(interface->enabled);
    EXPECT_TRUE(interface->properties.empty());
    EXPECT_EQ(sim::io::CallCount(sim::io::Routine::SetDeviceInterfaceProperty), 0u);
    RemoveAndUnload(Machine());
}

// ---- requests that are passed down -------------------------------------------------------------

struct PassDown {
    const char* name;
    UCHAR minor;
    bool succeeded; // the driver sets the status to success before passing the request down
};

void PrintTo(const PassDown& c, std::ostream* os)
{
    *os << c.name;
}

class PassDownTest : public LifecycleTest, public ::testing::WithParamInterface<PassDown> {};

TEST_P(PassDownTest, ReachesTheLowerDriversWithTheExpectedStatus)
{
    Machine().BringUp();
    Machine().Bus().ClearRequests();
    // Whatever the PDO answers is the request's result: the driver does not touch it after.
    Machine().Bus().SetPnpAnswer(GetParam().minor, sim::bus::Answer::KeepArrivingStatus());

    sim::pnp::PnpResult result = sim::pnp::SendPnp(Machine().Pdo(), GetParam().minor);
    ASSERT_TRUE(result.completed);
    const NTSTATUS arriving = GetParam().succeeded ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    auto requests = Machine().Bus().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].minor, GetParam().minor);
    EXPECT_EQ(requests[0].statusOnArrival, arriving);
    EXPECT_EQ(result.returned, arriving);
    EXPECT_EQ(result.status, arriving);

    // Nothing changed in the driver: the device still answers.
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadVoltages(open.handle).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Minors, PassDownTest,
    ::testing::Values(PassDown{"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, true},
                      PassDown{"Stop", IRP_MN_STOP_DEVICE, true},
                      PassDown{"QueryStop", IRP_MN_QUERY_STOP_DEVICE, true},
                      PassDown{"QueryCapabilities", IRP_MN_QUERY_CAPABILITIES, true},
                      PassDown{"FilterResourceRequirements", IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                               true},
                      PassDown{"QueryPnpDeviceState", IRP_MN_QUERY_PNP_DEVICE_STATE, true},
                      PassDown{"DeviceUsageNotification", IRP_MN_DEVICE_USAGE_NOTIFICATION, true},
                      PassDown{"SurpriseRemoval", IRP_MN_SURPRISE_REMOVAL, true},
                      PassDown{"QueryDeviceRelations", IRP_MN_QUERY_DEVICE_RELATIONS, false},
                      PassDown{"QueryInterface", IRP_MN_QUERY_INTERFACE, false},
                      PassDown{"QueryResources", IRP_MN_QUERY_RESOURCES, false},
                      PassDown{"QueryDeviceText", IRP_MN_QUERY_DEVICE_TEXT, false},
                      PassDown{"QueryId", IRP_MN_QUERY_ID, false}, PassDown{"Eject", 0x11, false},
                      PassDown{"BusInformation", 0x15, false},
                      PassDown{"BeyondTheTable", 0x18, false}, PassDown{"Undefined", 0xFF, false}),
    [](const ::testing::TestParamInfo<PassDown>& info) { return info.param.name; });

// A lower driver's veto of a query stands: the driver only passes the request on.
TEST_F(LifecycleTest, QueryRemoveVetoedBelowStaysVetoed)
{
    Machine().BringUp();
    Machine().Bus().SetPnpAnswer(IRP_MN_QUERY_REMOVE_DEVICE,
                                 sim::bus::Answer::Fail(STATUS_DEVICE_NOT_READY));
    sim::pnp::PnpResult result = sim::pnp::QueryRemoveDevice(Machine().Pdo());
    EXPECT_EQ(result.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(result.returned, STATUS_DEVICE_NOT_READY);
}

// ---- cancel-remove and cancel-stop -------------------------------------------------------------

struct CancelCase {
    const char* name;
    UCHAR minor;
    sim::bus::Answer answer;
};

void PrintTo(const CancelCase& c, std::ostream* os)
{
    *os << c.name;
}

class CancelTest : public LifecycleTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelTest, CompletesWithSuccessAfterTheLowerDrivers)
{
    Machine().BringUp();
    const UCHAR query = GetParam().minor == IRP_MN_CANCEL_REMOVE_DEVICE ? IRP_MN_QUERY_REMOVE_DEVICE
                                                                        : IRP_MN_QUERY_STOP_DEVICE;
    EXPECT_EQ(sim::pnp::SendPnp(Machine().Pdo(), query).status, STATUS_SUCCESS);
    Machine().Bus().ClearRequests();
    Machine().Bus().SetPnpAnswer(GetParam().minor, GetParam().answer);

    sim::pnp::PnpResult result = sim::pnp::SendPnp(Machine().Pdo(), GetParam().minor);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    auto requests = Machine().Bus().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].minor, GetParam().minor);
    EXPECT_EQ(requests[0].answeredStatus, GetParam().answer.status);

    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadVoltages(open.handle).status, STATUS_SUCCESS);
    open.handle.Close();
    RemoveAndUnload(Machine());
}

INSTANTIATE_TEST_SUITE_P(
    LowerDrivers, CancelTest,
    ::testing::Values(CancelCase{"CancelRemoveSucceeded", IRP_MN_CANCEL_REMOVE_DEVICE,
                                 sim::bus::Answer::Succeed()},
                      CancelCase{"CancelRemoveFailed", IRP_MN_CANCEL_REMOVE_DEVICE,
                                 sim::bus::Answer::Fail(STATUS_UNSUCCESSFUL)},
                      CancelCase{"CancelRemovePending", IRP_MN_CANCEL_REMOVE_DEVICE,
                                 sim::bus::Answer::Pending(STATUS_SUCCESS)},
                      CancelCase{"CancelRemovePendingFailed", IRP_MN_CANCEL_REMOVE_DEVICE,
                                 sim::bus::Answer::Pending(STATUS_INVALID_DEVICE_STATE)},
                      CancelCase{"CancelStopSucceeded", IRP_MN_CANCEL_STOP_DEVICE,
                                 sim::bus::Answer::Succeed()},
                      CancelCase{"CancelStopFailed", IRP_MN_CANCEL_STOP_DEVICE,
                                 sim::bus::Answer::Fail(STATUS_UNSUCCESSFUL)},
                      CancelCase{"CancelStopPending", IRP_MN_CANCEL_STOP_DEVICE,
                                 sim::bus::Answer::Pending(STATUS_SUCCESS)}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

// ---- stop and restart --------------------------------------------------------------------------

using RestartTest = LifecycleTest;

TEST_F(RestartTest, SecondStartReplacesTheDescriptionWithoutLeaking)
{
    Machine().BringUp();
    const auto afterFirstStart = OutstandingByTag();
    const CHIP_INFO_BLOCK* firstBlock = Machine().Extension()->ChipInfo;
    ASSERT_NE(firstBlock, nullptr);

    EXPECT_EQ(sim::pnp::QueryStopDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::StopDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Start().status, STATUS_SUCCESS);

    EXPECT_EQ(OutstandingByTag(), afterFirstStart) << OutstandingSummary();
    PDEVICE_EXTENSION extension = Machine().Extension();
    ASSERT_NE(extension->ChipInfo, nullptr);
    EXPECT_EQ(extension->VoltageCount, 3u);
    EXPECT_EQ(extension->VoltageChannels->Count, 3u);

    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadVoltages(open.handle).status, STATUS_SUCCESS);
    sim::io::IoctlResult info = open.handle.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, 800);
    EXPECT_EQ(info.status, STATUS_SUCCESS);
    open.handle.Close();
    RemoveAndUnload(Machine());
}

TEST_F(RestartTest, RestartWithAChangedConfigurationForgetsTheOldOne)
{
    Machine().BringUp();
    ASSERT_TRUE(Machine().Extension()->VbatMonitor);
    EXPECT_EQ(sim::pnp::StopDevice(Machine().Pdo()).status, STATUS_SUCCESS);

    // The integrator drops the VBAT channel and restarts the device.
    ASSERT_TRUE(sim::registry::DeleteKey(std::string(kProductKey) + "\\QIB-1234\\Voltage\\2"));
    EXPECT_EQ(Machine().Start().status, STATUS_SUCCESS);
    PDEVICE_EXTENSION extension = Machine().Extension();
    EXPECT_EQ(extension->VoltageCount, 2u);
    EXPECT_FALSE(extension->VbatMonitor);

    // And a restart whose configuration is gone fails without leaving stale lists behind.
    EXPECT_EQ(sim::pnp::StopDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    ASSERT_TRUE(sim::registry::DeleteKey(kProductKey));
    EXPECT_EQ(Machine().Start().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(extension->VoltageChannels, nullptr);
    EXPECT_EQ(extension->VoltageCount, 0u);
    EXPECT_EQ(extension->ChipInfo, nullptr);
    RemoveAndUnload(Machine());
}

TEST_F(LifecycleTest, ForwardAndWaitRefusesMissingArguments)
{
    IRP irp{}; // never sent: the checks come before the request is looked at
    EXPECT_EQ(ForwardAndWait(nullptr, &irp), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(ForwardAndWait(Machine().Pdo(), nullptr), STATUS_INVALID_PARAMETER_2);
    EXPECT_TRUE(Machine().Bus().Requests().empty());
}

// ---- removal ----------------------------------------------------------------------------------

using RemovalTest = LifecycleTest;

TEST_F(RemovalTest, RemovesEverythingAndReachesTheLowerDrivers)
{
    Machine().BringUp();
    Machine().Bus().ClearRequests();

    sim::pnp::PnpResult removal = Machine().Remove();
    ASSERT_TRUE(removal.completed);
    EXPECT_EQ(removal.returned, STATUS_SUCCESS);
    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    auto requests = Machine().Bus().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(requests[0].statusOnArrival, STATUS_SUCCESS);

    EXPECT_EQ(Machine().Device(), nullptr);
    EXPECT_EQ(sim::io::DeviceCount(Machine().Driver()), 0u);
    EXPECT_EQ(sim::io::TopOfStack(Machine().Pdo()), Machine().Pdo());
    EXPECT_FALSE(sim::io::SymbolicLinkTarget(kLinkName).has_value());
    auto interface = OurInterface();
    ASSERT_TRUE(interface.has_value());
    EXPECT_FALSE(interface->enabled);
    EXPECT_FALSE(interface->disabledBySystem);
    EXPECT_EQ(interface->disableCount, 1u);

    // Only the driver-wide state is left until unload: the path copy and the product name.
    auto left = OutstandingByTag();
    EXPECT_EQ(left, (std::map<std::string, size_t>{{"DevN", 1}, {"Tarv", 1}}))
        << OutstandingSummary();
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, SurpriseRemovalThenRemovalFreesEverything)
{
    Machine().BringUp();
    sim::pnp::PnpResult surprise = sim::pnp::SurpriseRemoval(Machine().Pdo());
    EXPECT_EQ(surprise.status, STATUS_SUCCESS);
    EXPECT_NE(Machine().Device(), nullptr);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, QueryRemoveCancelRemoveThenRemoval)
{
    Machine().BringUp();
    EXPECT_EQ(sim::pnp::QueryRemoveDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::CancelRemoveDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::QueryRemoveDevice(Machine().Pdo()).status, STATUS_SUCCESS);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, FailedInterfaceDisableStillTearsTheDeviceDown)
{
    Machine().BringUp();
    sim::io::FailRoutine(sim::io::Routine::DisableDeviceInterface, STATUS_INVALID_PARAMETER);
    Machine().Bus().ClearRequests();

    sim::pnp::PnpResult removal = Machine().Remove();
    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Bus().PnpMinors(), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
    EXPECT_EQ(Machine().Device(), nullptr);
    // The system disables what the driver could not.
    EXPECT_TRUE(OurInterface()->disabledBySystem);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, RemovalWhoseLowerDriversPendCompletesThere)
{
    Machine().BringUp();
    Machine().Bus().SetPnpAnswer(IRP_MN_REMOVE_DEVICE, sim::bus::Answer::Pending(STATUS_SUCCESS));
    sim::pnp::PnpResult removal = Machine().Remove();
    ASSERT_TRUE(removal.completed);
    EXPECT_EQ(removal.returned, STATUS_PENDING);
    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Device(), nullptr);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, RemovalFailedBelowStillDeletesTheDevice)
{
    Machine().BringUp();
    Machine().Bus().SetPnpAnswer(IRP_MN_REMOVE_DEVICE, sim::bus::Answer::Fail(STATUS_UNSUCCESSFUL));
    sim::pnp::PnpResult removal = Machine().Remove();
    ASSERT_TRUE(removal.completed);
    // The lower drivers' status is reported as it is, and the device does not outlive the
    // removal: the system sends no second one.
    EXPECT_EQ(removal.returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(removal.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Machine().Device(), nullptr);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, RemovalOfADeviceThatNeverStarted)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    RemoveAndUnload(Machine());
}

TEST_F(RemovalTest, RequestOnAHandleOpenAcrossTheRemovalFailsCleanly)
{
    Machine().BringUp();
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    ASSERT_EQ(ReadVoltages(open.handle).status, STATUS_SUCCESS);

    EXPECT_EQ(Machine().Remove().status, STATUS_SUCCESS);
    sim::io::IoctlResult late = ReadVoltages(open.handle);
    EXPECT_EQ(late.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(late.information, 0u);
    EXPECT_EQ(late.bytesCopied, 0u);
    open.handle.Close();
    RemoveAndUnload(Machine());
}

// Power and system-control requests reaching the device after its removal began (here through
// a handle kept open across it) are failed with STATUS_DELETE_PENDING and not passed down.
struct LateRequest {
    const char* name;
    UCHAR major;
    UCHAR minor;
};

void PrintTo(const LateRequest& c, std::ostream* os)
{
    *os << c.name;
}

class LateRequestTest : public LifecycleTest, public ::testing::WithParamInterface<LateRequest> {};

TEST_P(LateRequestTest, IsFailedWithDeletePending)
{
    Machine().BringUp();
    PDEVICE_OBJECT device = Machine().Device();
    const CCHAR stackSize = device->StackSize;
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    ASSERT_EQ(Machine().Remove().status, STATUS_SUCCESS);
    Machine().Bus().ClearRequests();

    sim::io::IrpRequest request(stackSize);
    request.FirstLocation()->MajorFunction = GetParam().major;
    request.FirstLocation()->MinorFunction = GetParam().minor;
    if (GetParam().major == IRP_MJ_POWER) {
        request.FirstLocation()->Parameters.Power.Type = SystemPowerState;
        request.FirstLocation()->Parameters.Power.State.SystemState = PowerSystemWorking;
        request.FirstLocation()->Parameters.Power.ShutdownType = PowerActionSleep;
    }
    request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    sim::io::RequestOutcome outcome = request.Send(device);

    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(outcome.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(outcome.information, 0u);
    EXPECT_TRUE(Machine().Bus().Requests().empty());
    open.handle.Close();
    RemoveAndUnload(Machine());
}

INSTANTIATE_TEST_SUITE_P(
    AfterRemoval, LateRequestTest,
    ::testing::Values(LateRequest{"WakeFromSleep", IRP_MJ_POWER, IRP_MN_SET_POWER},
                      LateRequest{"QueryPower", IRP_MJ_POWER, IRP_MN_QUERY_POWER},
                      LateRequest{"SystemControl", IRP_MJ_SYSTEM_CONTROL, 0x04}),
    [](const ::testing::TestParamInfo<LateRequest>& info) { return info.param.name; });

TEST_F(RemovalTest, NothingIsLeftWhicheverFailureTheStartHad)
{
    // Every allocation of the start failing in turn: each life still ends with an empty pool.
    for (const char* tag : {"KInf", "BInf", "NBuf", "BBNm", "DevN", "Vlst", "VolB", "Tlst", "TemB",
                            "Flst", "FanB", "Cinf"}) {
        SCOPED_TRACE(tag);
        sim::ResetAll();
        sim::machine::ReloadDriverImage();
        LifecycleMachine machine;
        ASSERT_EQ(machine.Load(), STATUS_SUCCESS);
        ASSERT_EQ(machine.AddDevice(), STATUS_SUCCESS);
        sim::pool::FailTag(tag);
        EXPECT_TRUE(machine.Start().completed);
        sim::pool::ClearFaults();
        RemoveAndUnload(machine);
        for (const auto& fault : sim::faults::All())
            ADD_FAILURE() << "simulator reported: " << fault;
    }
}

} // namespace

// Driver entry, AddDevice and unload, through the simulated Plug and Play manager.
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/debug/debug.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "lifecycle_fixture.hpp"
#include "control/control.h"
#include "lifecycle/lifecycle.h"

using namespace lifecycle;

namespace {

std::u16string Text(const UNICODE_STRING& text)
{
    return sim::io::ToU16(text);
}

std::u16string LongServicePath(size_t characters)
{
    std::u16string path = kServicePath;
    path += u"\\";
    while (path.size() < characters)
        path += u'x';
    return path;
}

bool HasDebugLine(const std::string& text)
{
    for (const auto& line : sim::debug::Lines())
        if (line == text)
            return true;
    return false;
}

using EntryTest = LifecycleTest;

TEST_F(EntryTest, CopiesTheServicePathWithATerminator)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);

    // The system's string is overwritten once DriverEntry returns: only a copy survives.
    const std::u16string expected = kServicePath;
    EXPECT_EQ(Text(Globals.RegistryPath), expected);
    EXPECT_EQ(Globals.RegistryPath.Length, expected.size() * 2);
    EXPECT_EQ(Globals.RegistryPath.MaximumLength, expected.size() * 2 + 2);
    EXPECT_EQ(Globals.RegistryPath.Buffer[expected.size()], 0);

    auto allocations = sim::pool::Outstanding();
    ASSERT_EQ(allocations.size(), 1u);
    EXPECT_EQ(sim::pool::TagText(allocations[0].tag), "Tarv");
    EXPECT_EQ(allocations[0].poolType, PagedPool);
    EXPECT_EQ(allocations[0].size, Globals.RegistryPath.MaximumLength);
}

TEST_F(EntryTest, InstallsTheDispatchTableAndLeavesTheRestToTheSystem)
{
    PDRIVER_OBJECT reference = sim::io::CreateDriverObject(u"\\Driver\\Reference", u"Reference");
    const PDRIVER_DISPATCH systemDefault = reference->MajorFunction[IRP_MJ_READ];
    sim::io::DeleteDriverObject(reference);

    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = Machine().Driver();

    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = systemDefault;
        switch (major) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
            expected = DispatchCreateClose;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            expected = DispatchDeviceControl;
            break;
        case IRP_MJ_PNP:
            expected = DispatchPnp;
            break;
        case IRP_MJ_POWER:
            expected = DispatchPower;
            break;
        case IRP_MJ_SYSTEM_CONTROL:
            expected = DispatchSystemControl;
            break;
        }
        EXPECT_EQ(driver->MajorFunction[major], expected) << "major function " << major;
    }
    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
}

TEST_F(EntryTest, FailedPathCopyLoadsNothing)
{
    sim::pool::FailTag("Tarv");
    EXPECT_EQ(Machine().Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Machine().Driver(), nullptr);
    EXPECT_EQ(Globals.RegistryPath.Buffer, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

// The copy is one character longer than the system's path: a path at the counted-string limit
// (0xFFFE bytes) is refused before anything is allocated or installed; one character less fits.
TEST_F(EntryTest, ServicePathAtTheCountedStringLimitIsRefused)
{
    const std::u16string longest = LongServicePath(0x7FFE);
    ASSERT_EQ(longest.size() * 2, 0xFFFCu);
    ASSERT_EQ(Machine().Load(longest), STATUS_SUCCESS);
    EXPECT_EQ(Globals.RegistryPath.Length, 0xFFFCu);
    EXPECT_EQ(Globals.RegistryPath.MaximumLength, 0xFFFEu);
    EXPECT_EQ(Globals.RegistryPath.Buffer[0x7FFE], 0);
    ASSERT_TRUE(Machine().Unload());

    const std::u16string tooLong = LongServicePath(0x7FFF);
    ASSERT_EQ(tooLong.size() * 2, 0xFFFEu);
    EXPECT_EQ(Machine().Load(tooLong), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Machine().Driver(), nullptr);
    EXPECT_EQ(Globals.RegistryPath.Buffer, nullptr);
    EXPECT_EQ(sim::pool::AllocationCount(), 1u) << "only the first load's copy was made";
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

TEST_F(EntryTest, UnloadWithoutDevicesFreesOnlyThePathCopy)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(Globals.RegistryPath.Buffer, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
    EXPECT_EQ(sim::io::DeviceCount(), 1u); // only the bus device's PDO
}

TEST_F(EntryTest, LongServicePathIsCutInTheDeviceCopyOnly)
{
    const std::u16string path = LongServicePath(200); // 400 bytes
    ASSERT_EQ(Machine().Load(path), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);

    EXPECT_EQ(Text(Globals.RegistryPath), path);
    PDEVICE_EXTENSION extension = Machine().Extension();
    ASSERT_NE(extension, nullptr);
    EXPECT_EQ(extension->RegistryPath.Buffer, extension->RegistryPathBuffer);
    EXPECT_EQ(extension->RegistryPath.MaximumLength, 260);
    EXPECT_EQ(extension->RegistryPath.Length, 260);
    EXPECT_EQ(Text(extension->RegistryPath), path.substr(0, 130));
}

TEST_F(EntryTest, SystemControlGoesDownUnchanged)
{
    Machine().BringUp();
    PDEVICE_OBJECT device = Machine().Device();
    ASSERT_NE(device, nullptr);
    Machine().Bus().ClearRequests();

    sim::io::IrpRequest request(device->StackSize);
    request.FirstLocation()->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    request.FirstLocation()->MinorFunction = 0x04; // IRP_MN_QUERY_SINGLE_INSTANCE
    request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    sim::io::RequestOutcome outcome = request.Send(device);

    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(outcome.status, STATUS_NOT_SUPPORTED);
    auto requests = Machine().Bus().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].major, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(requests[0].minor, 0x04);
    EXPECT_EQ(requests[0].statusOnArrival, STATUS_NOT_SUPPORTED);
}

// ---- AddDevice --------------------------------------------------------------------------------

using AddDeviceTest = LifecycleTest;

TEST_F(AddDeviceTest, CreatesNamesAndAttachesTheDevice)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);

    PDEVICE_OBJECT device = Machine().Device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DriverObject, Machine().Driver());
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device->Characteristics, 0u);
    EXPECT_TRUE(device->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(device->Flags & DO_DIRECT_IO);
    EXPECT_FALSE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(sim::io::LowerDevice(device), Machine().Pdo());
    EXPECT_EQ(sim::io::TopOfStack(Machine().Pdo()), device);
    EXPECT_EQ(sim::io::SymbolicLinkTarget(kLinkName), std::u16string(kDeviceName));

    // The extension starts zero-filled (the simulator fills new extensions with a pattern).
    PDEVICE_EXTENSION extension = Machine().Extension();
    EXPECT_EQ(extension->Self, device);
    EXPECT_EQ(extension->Pdo, Machine().Pdo());
    EXPECT_EQ(extension->LowerDevice, Machine().Pdo());
    EXPECT_EQ(Text(extension->RegistryPath), std::u16string(kServicePath));
    EXPECT_EQ(extension->HwmBase, 0u);
    EXPECT_EQ(extension->ChipType, 0u);
    EXPECT_EQ(extension->ChipInfo, nullptr);
    EXPECT_EQ(extension->VoltageChannels, nullptr);
    EXPECT_EQ(extension->TempChannels, nullptr);
    EXPECT_EQ(extension->FanChannels, nullptr);
    EXPECT_EQ(extension->VoltageRegs, nullptr);
    EXPECT_EQ(extension->VbatMonitor, 0);
    EXPECT_EQ(extension->VoltageCount + extension->TempCount + extension->FanCount, 0u);
    const uint8_t* description = reinterpret_cast<const uint8_t*>(extension->ChipDesc);
    for (size_t i = 0; i < HWM_CHIP_DESC_REPLY_SIZE; ++i)
        ASSERT_EQ(description[i], 0) << "description byte " << i;

    EXPECT_EQ(extension->RemoveLock.AllocateTag, sim::pool::TagFromText("Tarv"));
    EXPECT_EQ(extension->RemoveLock.MaxLockedMinutes, 1u);
    EXPECT_EQ(extension->RemoveLock.HighWatermark, 10u);

    // A usable device: it opens, and the remove lock lets requests in.
    sim::io::OpenResult open = Machine().Open();
    EXPECT_EQ(open.status, STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, RegistersTheInterfaceAndPublishesItsUserModePath)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    PDEVICE_EXTENSION extension = Machine().Extension();

    auto interfaces = sim::io::Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    const GUID expectedClass = KWOTARV_INTERFACE_GUID_INIT;
    EXPECT_EQ(std::memcmp(&interfaces[0].classGuid, &expectedClass, sizeof(GUID)), 0);
    EXPECT_EQ(interfaces[0].pdo, Machine().Pdo());
    EXPECT_FALSE(interfaces[0].enabled);
    const std::u16string kernelName = Text(extension->InterfaceName);
    EXPECT_EQ(interfaces[0].name, kernelName);
    ASSERT_EQ(kernelName.substr(0, 4), u"\\??\\");

    // "\??\X" is published as "\\.\X", written with the name's maximum length.
    auto value = sim::registry::GetValue(kServiceKey, "InterfaceName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, sim::registry::kRegSz);
    EXPECT_EQ(value->data.size(), extension->InterfaceName.MaximumLength);
    std::u16string published(value->data.size() / 2, u'\0');
    std::memcpy(published.data(), value->data.data(), published.size() * 2);
    EXPECT_EQ(published.substr(0, kernelName.size()), u"\\\\.\\" + kernelName.substr(4));
    for (size_t i = kernelName.size(); i < published.size(); ++i)
        EXPECT_EQ(published[i], 0) << "character " << i;

    EXPECT_TRUE(
        HasDebugLine("Registered interface name: L\"" + sim::io::Narrow(kernelName) + "\".\n\n"));
    // The scratch copy of the path is gone again.
    EXPECT_EQ(sim::pool::OutstandingCount("DosN"), 0u);
}

TEST_F(AddDeviceTest, SecondDeviceCollidesWithTheFixedName)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    PDEVICE_OBJECT first = Machine().Device();

    sim::bus::BusDevice& second = sim::bus::CreateBusDevice(u"ROOT\\KwoTarv\\0001");
    EXPECT_EQ(sim::pnp::AddDevice(Machine().Driver(), second.Pdo()), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::io::DeviceCount(Machine().Driver()), 1u);
    EXPECT_EQ(sim::io::TopOfStack(second.Pdo()), second.Pdo());

    // The first device is untouched and serves the whole life.
    EXPECT_EQ(Machine().Device(), first);
    EXPECT_EQ(Machine().Start().status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Remove().status, STATUS_SUCCESS);
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

// A failure anywhere after IoCreateDevice leaves nothing behind: no device, no link, no
// interface name, and a later AddDevice succeeds.
struct AddDeviceFailure {
    const char* name;
    sim::io::Routine routine;
    const char* failTag; // pool tag to fail instead of a routine, or nullptr
    NTSTATUS injected;
    NTSTATUS expected;
};

void PrintTo(const AddDeviceFailure& c, std::ostream* os)
{
    *os << c.name;
}

class AddDeviceFailureTest : public LifecycleTest,
                             public ::testing::WithParamInterface<AddDeviceFailure> {};

TEST_P(AddDeviceFailureTest, UndoesWhatItMade)
{
    const AddDeviceFailure& failure = GetParam();
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    const size_t poolBefore = sim::pool::OutstandingCount();

    if (failure.failTag != nullptr)
        sim::pool::FailTag(failure.failTag);
    else
        sim::io::FailRoutine(failure.routine, failure.injected);

    EXPECT_EQ(Machine().AddDevice(), failure.expected);
    EXPECT_EQ(Machine().Device(), nullptr);
    EXPECT_EQ(sim::io::DeviceCount(Machine().Driver()), 0u);
    EXPECT_FALSE(sim::io::SymbolicLinkTarget(kLinkName).has_value());
    EXPECT_EQ(sim::io::TopOfStack(Machine().Pdo()), Machine().Pdo());
    EXPECT_EQ(sim::pool::OutstandingCount(), poolBefore) << OutstandingSummary();
    if (failure.routine == sim::io::Routine::RegisterDeviceInterface && !failure.failTag) {
        char line[64];
        std::snprintf(line, sizeof line, "Failed to IoRegisterDeviceInterface - 0x%X.\n\n",
                      (unsigned)failure.injected);
        EXPECT_TRUE(HasDebugLine(line));
    }

    sim::pool::ClearFaults();
    sim::io::ClearFailures();
    EXPECT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Machine().Start().status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Remove().status, STATUS_SUCCESS);
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AddDeviceFailureTest,
    ::testing::Values(
        AddDeviceFailure{"CreateDevice", sim::io::Routine::CreateDevice, nullptr,
                         STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        AddDeviceFailure{"SymbolicLink", sim::io::Routine::CreateSymbolicLink, nullptr,
                         STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION},
        AddDeviceFailure{"RegisterInterface", sim::io::Routine::RegisterDeviceInterface, nullptr,
                         STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
        AddDeviceFailure{"InterfacePathBuffer", sim::io::Routine::CreateDevice, "DosN", 0,
                         STATUS_INSUFFICIENT_RESOURCES},
        AddDeviceFailure{"Attach", sim::io::Routine::AttachDeviceToDeviceStack, nullptr,
                         STATUS_UNSUCCESSFUL, STATUS_DEVICE_REMOVED}),
    [](const ::testing::TestParamInfo<AddDeviceFailure>& info) { return info.param.name; });

TEST_F(AddDeviceTest, FailedInterfaceNameWriteLeavesTheDeviceUsable)
{
    ASSERT_EQ(Machine().Load(), STATUS_SUCCESS);
    sim::registry::FailWrite(kServiceKey, "InterfaceName", STATUS_ACCESS_DENIED);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(sim::registry::GetValue(kServiceKey, "InterfaceName").has_value());
    EXPECT_EQ(Machine().Start().status, STATUS_SUCCESS);
    EXPECT_EQ(Machine().Open().status, STATUS_SUCCESS);
}

// ---- unload -----------------------------------------------------------------------------------

using UnloadTest = LifecycleTest;

TEST_F(UnloadTest, TearsDownADeviceTheSystemDidNotRemove)
{
    Machine().BringUp();
    ASSERT_NE(sim::pool::OutstandingCount("DevN"), 0u); // the product name is kept
    ASSERT_TRUE(Machine().Unload());

    EXPECT_EQ(sim::io::DeviceCount(), 1u); // the PDO
    EXPECT_FALSE(sim::io::SymbolicLinkTarget(kLinkName).has_value());
    EXPECT_EQ(sim::io::TopOfStack(Machine().Pdo()), Machine().Pdo());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

} // namespace

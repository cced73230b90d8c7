// Device objects, stacks, symbolic links, device interfaces and routine lookup in the simulated
// I/O manager.
#include <cstring>

#include "kernel/pool/pool.hpp"
#include "test_driver.hpp"

namespace {

constexpr GUID kClass = {
    0xC52B5736, 0x1ADB, 0x43D0, {0x9A, 0x05, 0x25, 0xB5, 0xC2, 0x6C, 0xBA, 0x96}};
constexpr DEVPROPKEY kRestricted = {
    {0x026E516E, 0xB814, 0x414B, {0x83, 0xCD, 0x85, 0x6D, 0x6F, 0xEF, 0x48, 0x22}}, 6};

UNICODE_STRING Text(PCWSTR text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

class DeviceObjectTest : public IoTest {
  protected:
    void SetUp() override
    {
        IoTest::SetUp();
        driver_ = sim::io::CreateDriverObject(u"\\Driver\\IoTest", u"IoTest");
    }

    PDEVICE_OBJECT Create(PCWSTR name, ULONG extension = 64, BOOLEAN exclusive = FALSE)
    {
        UNICODE_STRING n = name ? Text(name) : UNICODE_STRING{};
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, extension, name ? &n : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 exclusive, &device),
                  STATUS_SUCCESS);
        return device;
    }
};

TEST_F(DeviceObjectTest, CreatedDeviceIsInitializingWithPatternFilledExtension)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\KwoTarv", 100);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(device->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device->AttachedDevice, nullptr);
    ASSERT_NE(device->DeviceExtension, nullptr);
    const auto* bytes = static_cast<const uint8_t*>(device->DeviceExtension);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(bytes[i], sim::io::kExtensionFill) << "byte " << i;
    EXPECT_EQ(sim::io::FindDevice(u"\\device\\KWOTARV"), device); // names are case-insensitive
    EXPECT_EQ(sim::io::DeviceCount(driver_), 1u);
}

TEST_F(DeviceObjectTest, ZeroExtensionMeansNoExtension)
{
    PDEVICE_OBJECT device = Create(nullptr, 0);
    EXPECT_EQ(device->DeviceExtension, nullptr);
}

TEST_F(DeviceObjectTest, DevicesAreLinkedIntoTheDriverListNewestFirst)
{
    PDEVICE_OBJECT first = Create(L"\\Device\\A");
    PDEVICE_OBJECT second = Create(nullptr);
    PDEVICE_OBJECT third = Create(L"\\Device\\C");
    EXPECT_EQ(driver_->DeviceObject, third);
    EXPECT_EQ(third->NextDevice, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->NextDevice, nullptr);

    IoDeleteDevice(second);
    EXPECT_EQ(third->NextDevice, first);
    EXPECT_EQ(sim::io::DeviceCount(driver_), 2u);
    IoDeleteDevice(third);
    EXPECT_EQ(driver_->DeviceObject, first);
    IoDeleteDevice(first);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(sim::io::DeviceCount(driver_), 0u);
}

TEST_F(DeviceObjectTest, SecondDeviceWithTheSameNameCollidesUntilTheFirstIsDeleted)
{
    PDEVICE_OBJECT first = Create(L"\\Device\\KwoTarv");
    UNICODE_STRING name = Text(L"\\Device\\KWOTARV");
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver_, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim::io::DeviceCount(driver_), 1u);

    IoDeleteDevice(first);
    EXPECT_EQ(IoCreateDevice(driver_, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    IoDeleteDevice(second);
}

TEST_F(DeviceObjectTest, InjectedCreateFailureReturnsTheStatus)
{
    sim::io::FailRoutine(sim::io::Routine::CreateDevice, STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    // Only the next call fails.
    EXPECT_NE(Create(nullptr), nullptr);
    EXPECT_EQ(sim::io::CallCount(sim::io::Routine::CreateDevice), 2u);
}

TEST_F(DeviceObjectTest, AttachReturnsTheTopOfTheStackAndGrowsStackSize)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    PDEVICE_OBJECT lower = Create(nullptr);
    PDEVICE_OBJECT upper = Create(nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(lower, bus.Pdo()), bus.Pdo());
    EXPECT_EQ(lower->StackSize, 2);
    // Attaching to the PDO again lands on top of `lower`.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, bus.Pdo()), lower);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(sim::io::TopOfStack(bus.Pdo()), upper);
    EXPECT_EQ(sim::io::LowerDevice(upper), lower);

    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDetachDevice(bus.Pdo());
    IoDeleteDevice(lower);
    EXPECT_EQ(sim::io::TopOfStack(bus.Pdo()), bus.Pdo());
}

TEST_F(DeviceObjectTest, AttachCanBeMadeToFail)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    PDEVICE_OBJECT device = Create(nullptr);
    sim::io::FailRoutine(sim::io::Routine::AttachDeviceToDeviceStack, 0);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(device, bus.Pdo()), nullptr);
    EXPECT_EQ(bus.Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(device->StackSize, 1);
    IoDeleteDevice(device);
}

TEST_F(DeviceObjectTest, DeletingADeviceStillAttachedIsReported)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    PDEVICE_OBJECT device = Create(nullptr);
    IoAttachDeviceToDeviceStack(device, bus.Pdo());
    IoDeleteDevice(device);
    EXPECT_EQ(TakeFaults("without IoDetachDevice"), 1u);
    // The simulator repaired the stack so the rest of the test can go on.
    EXPECT_EQ(bus.Pdo()->AttachedDevice, nullptr);
}

TEST_F(DeviceObjectTest, DeletingADeviceWithSomethingAttachedAboveIsReported)
{
    PDEVICE_OBJECT lower = Create(nullptr);
    PDEVICE_OBJECT upper = Create(nullptr);
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDeleteDevice(lower);
    EXPECT_EQ(TakeFaults("still attached above"), 1u);
    IoDeleteDevice(upper);
    EXPECT_TRUE(sim::faults::All().empty());
}

TEST_F(DeviceObjectTest, DeletingTwiceAndDetachingNothingAreReported)
{
    PDEVICE_OBJECT device = Create(nullptr);
    IoDeleteDevice(device);
    IoDeleteDevice(device);
    EXPECT_EQ(TakeFaults("does not exist"), 1u);
    PDEVICE_OBJECT other = Create(nullptr);
    IoDetachDevice(other);
    EXPECT_EQ(TakeFaults("nothing attached"), 1u);
    IoDeleteDevice(other);
}

TEST_F(DeviceObjectTest, SymbolicLinksCollideAndDeleteByAnyAliasOfTheirName)
{
    Create(L"\\Device\\KwoTarv");
    UNICODE_STRING link = Text(L"\\DosDevices\\KwoTarvDev");
    UNICODE_STRING target = Text(L"\\Device\\KwoTarv");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING alias = Text(L"\\??\\kwotarvdev");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_TRUE(sim::io::SymbolicLinkTarget(u"\\??\\KwoTarvDev").has_value());
    EXPECT_EQ(*sim::io::SymbolicLinkTarget(u"\\GLOBAL??\\KwoTarvDev"), u"\\Device\\KwoTarv");

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::io::SymbolicLinks().empty());
    IoDeleteDevice(sim::io::FindDevice(u"\\Device\\KwoTarv"));
}

TEST_F(DeviceObjectTest, DeletingADeviceStillNamedByALinkIsReported)
{
    PDEVICE_OBJECT device = Create(L"\\Device\\KwoTarv");
    UNICODE_STRING link = Text(L"\\DosDevices\\KwoTarvDev");
    UNICODE_STRING target = Text(L"\\Device\\KwoTarv");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    IoDeleteDevice(device);
    EXPECT_EQ(TakeFaults("symbolic link \\??\\KwoTarvDev still names it"), 1u);
}

TEST_F(DeviceObjectTest, LinkRoutinesCanBeMadeToFail)
{
    UNICODE_STRING link = Text(L"\\DosDevices\\X");
    UNICODE_STRING target = Text(L"\\Device\\X");
    sim::io::FailRoutine(sim::io::Routine::CreateSymbolicLink, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::io::SymbolicLinkTarget(u"\\??\\X").has_value());
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    sim::io::FailRoutine(sim::io::Routine::DeleteSymbolicLink, STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// ---- device interfaces ---------------------------------------------------------------------

TEST_F(DeviceObjectTest, InterfaceNameHasTheKernelFormAndAPoolBuffer)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name), STATUS_SUCCESS);
    const std::u16string expected =
        u"\\??\\ROOT#KwoTarv#0000#{c52b5736-1adb-43d0-9a05-25b5c26cba96}";
    EXPECT_EQ(sim::io::ToU16(name), expected);
    EXPECT_EQ(name.Length, expected.size() * 2);
    EXPECT_EQ(name.MaximumLength, name.Length + 2);
    EXPECT_EQ(name.Buffer[name.Length / 2], 0);
    EXPECT_EQ(sim::pool::OutstandingCount(), 1u);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);

    const auto info = sim::io::FindInterface(expected);
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->enabled);
    EXPECT_EQ(info->pdo, bus.Pdo());
}

TEST_F(DeviceObjectTest, InterfaceRegistrationNeedsAPdoAndCanFail)
{
    PDEVICE_OBJECT fdo = Create(nullptr);
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kClass, nullptr, &name),
              STATUS_INVALID_DEVICE_REQUEST);
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    sim::io::FailRoutine(sim::io::Routine::RegisterDeviceInterface, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name),
              STATUS_INVALID_PARAMETER);
    sim::pool::FailTag("IoSy");
    EXPECT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(name.Buffer, nullptr);
}

TEST_F(DeviceObjectTest, ReferenceStringAndSecondPdoGiveDistinctNames)
{
    sim::bus::BusDevice& first = sim::bus::CreateBusDevice();
    sim::bus::BusDevice& second = sim::bus::CreateBusDevice(u"ROOT\\KwoTarv\\0001");
    UNICODE_STRING a{}, b{}, c{};
    UNICODE_STRING ref = Text(L"ctl");
    ASSERT_EQ(IoRegisterDeviceInterface(first.Pdo(), &kClass, &ref, &a), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(second.Pdo(), &kClass, nullptr, &b), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(second.Pdo(), &kClass, nullptr, &c), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::ToU16(a),
              u"\\??\\ROOT#KwoTarv#0000#{c52b5736-1adb-43d0-9a05-25b5c26cba96}\\ctl");
    EXPECT_EQ(sim::io::ToU16(b), u"\\??\\ROOT#KwoTarv#0001#{c52b5736-1adb-43d0-9a05-25b5c26cba96}");
    // Registering the same interface again returns the same name.
    EXPECT_EQ(sim::io::ToU16(c), sim::io::ToU16(b));
    EXPECT_EQ(sim::io::Interfaces().size(), 2u);
    RtlFreeUnicodeString(&a);
    RtlFreeUnicodeString(&b);
    RtlFreeUnicodeString(&c);
}

TEST_F(DeviceObjectTest, InterfaceStateTransitionsAndTheirStatuses)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name), STATUS_SUCCESS);
    // Disabling an interface never enabled succeeds and changes nothing.
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto info = sim::io::FindInterface(sim::io::ToU16(name));
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->enabled);
    EXPECT_EQ(info->enableCount, 1u);

    sim::io::FailRoutine(sim::io::Routine::DisableDeviceInterface, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::io::FindInterface(sim::io::ToU16(name))->enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    info = sim::io::FindInterface(sim::io::ToU16(name));
    EXPECT_FALSE(info->enabled);
    EXPECT_EQ(info->disableCount, 1u);

    UNICODE_STRING unknown = Text(L"\\??\\ROOT#Other#0000#{c52b5736-1adb-43d0-9a05-25b5c26cba96}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&name);
}

TEST_F(DeviceObjectTest, InterfacePropertiesAreRecordedAndValidated)
{
    sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(bus.Pdo(), &kClass, nullptr, &name), STATUS_SUCCESS);
    BOOLEAN yes = 0xFF;
    EXPECT_EQ(
        IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, DEVPROP_TYPE_BOOLEAN, 2, &yes),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, DEVPROP_TYPE_BOOLEAN, 1,
                                               nullptr),
              STATUS_INVALID_PARAMETER);
    sim::io::FailRoutine(sim::io::Routine::SetDeviceInterfaceProperty, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(
        IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, DEVPROP_TYPE_BOOLEAN, 1, &yes),
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::io::FindInterface(sim::io::ToU16(name))->Property(kRestricted), nullptr);

    ASSERT_EQ(
        IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, DEVPROP_TYPE_BOOLEAN, 1, &yes),
        STATUS_SUCCESS);
    const auto info = sim::io::FindInterface(sim::io::ToU16(name));
    const sim::io::InterfaceProperty* property = info->Property(kRestricted);
    ASSERT_NE(property, nullptr);
    EXPECT_EQ(property->type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_BOOLEAN));
    EXPECT_EQ(property->data, std::vector<uint8_t>{0xFF});
    // Setting it again replaces it; the empty type deletes it.
    BOOLEAN no = 0;
    IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, DEVPROP_TYPE_BOOLEAN, 1, &no);
    EXPECT_EQ(sim::io::FindInterface(sim::io::ToU16(name))->properties.size(), 1u);
    IoSetDeviceInterfacePropertyData(&name, &kRestricted, 0, 0, 0, 0, nullptr);
    EXPECT_TRUE(sim::io::FindInterface(sim::io::ToU16(name))->properties.empty());
    RtlFreeUnicodeString(&name);
}

TEST_F(DeviceObjectTest, SystemRoutineLookupKnowsThePropertyRoutineUnlessHidden)
{
    UNICODE_STRING routine = Text(L"IoSetDeviceInterfacePropertyData");
    EXPECT_EQ(MmGetSystemRoutineAddress(&routine),
              reinterpret_cast<PVOID>(&IoSetDeviceInterfacePropertyData));
    UNICODE_STRING wrongCase = Text(L"iosetdeviceinterfacepropertydata");
    EXPECT_EQ(MmGetSystemRoutineAddress(&wrongCase), nullptr);
    UNICODE_STRING unknown = Text(L"IoNoSuchRoutine");
    EXPECT_EQ(MmGetSystemRoutineAddress(&unknown), nullptr);
    sim::io::HideSystemRoutine("IoSetDeviceInterfacePropertyData");
    EXPECT_EQ(MmGetSystemRoutineAddress(&routine), nullptr);
}

TEST_F(DeviceObjectTest, PassiveLevelRoutinesReportAHigherIrql)
{
    sim::threads::SetCurrentIrql(DISPATCH_LEVEL);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    EXPECT_EQ(TakeFaults("IoCreateDevice called at IRQL 2"), 1u);
    IoDeleteDevice(device);
}

} // namespace

// AddDevice: creates the one device object for the physical device, names it, registers its
// device interface, publishes the interface path for user mode and attaches to the stack.
#include "lifecycle.h"

#include "../control/control.h"

static const GUID KwoInterfaceClassGuid = KWOTARV_INTERFACE_GUID_INIT;

// Maximum time a remove lock may be held and the most simultaneous holders, as the checked
// kernel verifies them.
#define KWO_REMOVE_LOCK_MAX_MINUTES 1
#define KWO_REMOVE_LOCK_HIGH_WATERMARK 10

// Writes the interface path in its user-mode form ("\\.\..." instead of "\??\...") to the
// service key's "InterfaceName" value. The value is a convenience for programs that do not
// enumerate interfaces; the device works without it, so a failed write is not acted on.
static NTSTATUS PublishInterfaceName(PUNICODE_STRING InterfaceName)
{
    NTSTATUS status = STATUS_SUCCESS;
    PWCHAR path = (PWCHAR)ExAllocatePoolWithTag(PagedPool, InterfaceName->MaximumLength,
                                                KWO_TAG_INTERFACE_PATH);
    if (path == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(path, InterfaceName->MaximumLength);
        RtlCopyMemory(path, InterfaceName->Buffer, InterfaceName->Length);
        // "\??\" becomes "\\.\": characters 1 and 2 turn into a backslash and a full stop.
        if (InterfaceName->MaximumLength >= 3 * sizeof(WCHAR)) {
            path[1] = L'\\';
            path[2] = L'.';
        }
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KWO_SERVICE_KEY, L"InterfaceName", REG_SZ,
                              path, InterfaceName->MaximumLength);
        ExFreePoolWithTag(path, KWO_TAG_INTERFACE_PATH);
    }
    return status;
}

// AddDevice. Only one device per system is served: the device name is fixed, so a second
// physical device fails at IoCreateDevice with the name collision. A failure after the device
// object exists undoes the symbolic link and the interface registration before the device is
// deleted, so a failed AddDevice leaves nothing behind but the published "InterfaceName" value.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NTSTATUS status;
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    PDEVICE_OBJECT device = NULL;
    PDEVICE_EXTENSION extension = NULL;
    BOOLEAN linkCreated = FALSE;

    RtlInitUnicodeString(&deviceName, KWOTARV_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, KWOTARV_SYMBOLIC_LINK);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName,
                            FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        device = NULL;
        goto Exit;
    }

    extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->Self = device;
    extension->Pdo = PhysicalDeviceObject;
    InitializeDeviceLock(extension);

    device->Flags |= DO_POWER_PAGABLE;
    device->Flags |= DO_DIRECT_IO;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status))
        goto Exit;
    linkCreated = TRUE;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &KwoInterfaceClassGuid, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Failed to IoRegisterDeviceInterface - 0x%X.\n\n", status);
        goto Exit;
    }

    status = PublishInterfaceName(&extension->InterfaceName);
    if (!NT_SUCCESS(status))
        goto Exit;

    DbgPrint("Registered interface name: L\"%wZ\".\n\n", &extension->InterfaceName);

    // Each device keeps its own copy of the service path, cut to the inline buffer's room.
    extension->RegistryPath.Buffer = extension->RegistryPathBuffer;
    extension->RegistryPath.Length = 0;
    extension->RegistryPath.MaximumLength = KWO_REGISTRY_PATH_ROOM;
    RtlCopyUnicodeString(&extension->RegistryPath, &Globals.RegistryPath);

    IoInitializeRemoveLock(&extension->RemoveLock, KWO_TAG_REMOVE_LOCK, KWO_REMOVE_LOCK_MAX_MINUTES,
                           KWO_REMOVE_LOCK_HIGH_WATERMARK);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        status = STATUS_DEVICE_REMOVED;
        goto Exit;
    }

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = STATUS_SUCCESS;

Exit:
    if (!NT_SUCCESS(status) && device != NULL) {
        if (extension->InterfaceName.Buffer != NULL)
            RtlFreeUnicodeString(&extension->InterfaceName);
        if (linkCreated)
            IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(device);
    }
    return status;
}

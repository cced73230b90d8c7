// Driver entry, unload and the system-control pass-through: the driver's frame towards the
// operating system. The entry keeps a copy of the service registry path and installs the
// dispatch table; unload gives back everything the driver still holds.
#include "lifecycle.h"

#include "../chip/chip_profile.h"
#include "../config/firmware.h"
#include "../control/control.h"

#define DRIVER_GLOBALS_AT_LOAD                                                                     \
    {                                                                                              \
        {0, 0, NULL}, SIO_PRIMARY_INDEX_PORT, SIO_PRIMARY_DATA_PORT, NULL, NULL                    \
    }

DRIVER_GLOBALS Globals = DRIVER_GLOBALS_AT_LOAD;
const DRIVER_GLOBALS GlobalsAtLoad = DRIVER_GLOBALS_AT_LOAD;

// Frees what a device still holds and deletes it. Used by unload for devices the system did not
// remove (normally none: the removal request tears each device down).
static KWO_PAGED_CODE VOID DeleteRemainingDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UNICODE_STRING linkName;

    RtlInitUnicodeString(&linkName, KWOTARV_SYMBOLIC_LINK);

    FreeDeviceDescription(extension);
    // The interface name belongs to the device too; a device that was never removed still
    // holds it.
    DisableDeviceInterface(extension);

    IoDeleteSymbolicLink(&linkName);
    if (extension->LowerDevice != NULL)
        IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
}

// Unload: frees the registry path copy and the product name kept after the board match, then
// deletes any device still present. The next-device link is read before the device goes.
KWO_PAGED_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();

    if (Globals.RegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(Globals.RegistryPath.Buffer, KWO_TAG_REGISTRY_PATH);
        Globals.RegistryPath.Buffer = NULL;
        Globals.RegistryPath.Length = 0;
        Globals.RegistryPath.MaximumLength = 0;
    }

    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    while (device != NULL) {
        PDEVICE_OBJECT next = device->NextDevice;
        DeleteRemainingDevice(device);
        device = next;
    }

    ReleaseProductName();
}

// System-control (WMI) requests are not ours: they go down the stack unchanged. The remove lock
// keeps the lower device attached while the request is handed on.
KWO_PAGED_CODE NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IofCallDriver(extension->LowerDevice, Irp);
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    return status;
}

// Chooses the non-executable non-paged pool where the system has it. The image also loads on
// systems before Windows 8, which stop on a pool type they do not know, so the choice is made at
// run time.
static KWO_INIT_CODE POOL_TYPE ChooseNonPagedPoolType(VOID)
{
    RTL_OSVERSIONINFOW version;

    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 ||
         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        return NonPagedPoolNx;
    }
    return NonPagedPool;
}

// Load-time entry: copies the service registry path (with room for a terminating NUL) and
// installs the dispatch routines. Only the copy's allocation can fail, and then nothing is
// installed and the driver does not load.
extern "C" KWO_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                    PUNICODE_STRING ServicePath)
{
    NTSTATUS status = STATUS_SUCCESS;

    Globals.NonPagedPoolType = ChooseNonPagedPoolType();

    // The copy is one character longer than the path; a path already at the counted-string
    // limit cannot have that.
    if (ServicePath->Length > 0xFFFF - sizeof(WCHAR)) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    Globals.RegistryPath.Length = ServicePath->Length;
    Globals.RegistryPath.MaximumLength = (USHORT)(ServicePath->Length + sizeof(WCHAR));
    Globals.RegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(
        PagedPool, Globals.RegistryPath.MaximumLength, KWO_TAG_REGISTRY_PATH);
    if (Globals.RegistryPath.Buffer == NULL) {
        Globals.RegistryPath.Length = 0;
        Globals.RegistryPath.MaximumLength = 0;
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlCopyUnicodeString(&Globals.RegistryPath, ServicePath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;

Exit:
    return status;
}

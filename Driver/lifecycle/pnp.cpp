// Plug and Play: the start sequence (lower drivers first, then chip, board configuration,
// description and interface), the removal sequence, and the pass-down of every other request.
#include "lifecycle.h"

#include "../chip/chip.h"
#include "../config/board_config.h"
#include "../control/control.h"

// The interface property that keeps the device interface from sandboxed (app container) callers.
static const DEVPROPKEY DEVPKEY_DeviceInterface_Restricted = {
    {0x026E516E, 0xB814, 0x414B, {0x83, 0xCD, 0x85, 0x6D, 0x6F, 0xEF, 0x48, 0x22}}, 6};

// IoSetDeviceInterfacePropertyData exists from Windows 7 on; the driver looks it up at run
// time so that it still loads on systems without it.
typedef NTSTATUS(NTAPI* PFN_IO_SET_DEVICE_INTERFACE_PROPERTY_DATA)(PUNICODE_STRING SymbolicLinkName,
                                                                   const DEVPROPKEY* PropertyKey,
                                                                   ULONG Lcid, ULONG Flags,
                                                                   DEVPROPTYPE Type, ULONG Size,
                                                                   PVOID Data);

// What the driver does with each Plug and Play minor function.
enum PNP_ACTION : UCHAR {
    PnpPassDown,           // pass down with the status unchanged
    PnpSucceedAndPassDown, // set the status to success, pass down
    PnpStart,              // StartDevice, complete with its status
    PnpRemove,             // RemoveDevice
    PnpForwardAndSucceed,  // wait for the lower drivers, complete with success
};

static const PNP_ACTION PnpActions[] = {
    PnpStart,              // 0x00 IRP_MN_START_DEVICE
    PnpSucceedAndPassDown, // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    PnpRemove,             // 0x02 IRP_MN_REMOVE_DEVICE
    PnpForwardAndSucceed,  // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    PnpSucceedAndPassDown, // 0x04 IRP_MN_STOP_DEVICE
    PnpSucceedAndPassDown, // 0x05 IRP_MN_QUERY_STOP_DEVICE
    PnpForwardAndSucceed,  // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    PnpPassDown,           // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    PnpPassDown,           // 0x08 IRP_MN_QUERY_INTERFACE
    PnpSucceedAndPassDown, // 0x09 IRP_MN_QUERY_CAPABILITIES
    PnpPassDown,           // 0x0A IRP_MN_QUERY_RESOURCES
    PnpPassDown,           // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PnpPassDown,           // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    PnpSucceedAndPassDown, // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PnpPassDown,           // 0x0E
    PnpPassDown,           // 0x0F IRP_MN_READ_CONFIG
    PnpPassDown,           // 0x10 IRP_MN_WRITE_CONFIG
    PnpPassDown,           // 0x11 IRP_MN_EJECT
    PnpPassDown,           // 0x12 IRP_MN_SET_LOCK
    PnpPassDown,           // 0x13 IRP_MN_QUERY_ID
    PnpSucceedAndPassDown, // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    PnpPassDown,           // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    PnpSucceedAndPassDown, // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    PnpSucceedAndPassDown, // 0x17 IRP_MN_SURPRISE_REMOVAL
};

static_assert(sizeof(PnpActions) / sizeof(PnpActions[0]) == IRP_MN_SURPRISE_REMOVAL + 1,
              "one action per minor function up to surprise removal");

// Hands a request forwarded with ForwardAndWait back to the waiting driver.
static NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    if (Irp->PendingReturned && Context != NULL)
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request to TargetDevice and waits until the lower drivers are done with it. The
// request comes back to the caller, which must complete it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp)
{
    NTSTATUS status;
    KEVENT event;

    if (TargetDevice == NULL) {
        status = STATUS_INVALID_PARAMETER_1;
    } else if (Irp == NULL) {
        status = STATUS_INVALID_PARAMETER_2;
    } else {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);

        status = IofCallDriver(TargetDevice, Irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = Irp->IoStatus.Status;
        }
    }
    return status;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    (VOID) IoSetCancelRoutine(Irp, NULL);
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Extension->LowerDevice, Irp);
}

// Marks the enabled interface restricted. Where the system has no interface properties (before
// Windows 7) the marking is skipped and counts as done.
static NTSTATUS MarkInterfaceRestricted(PUNICODE_STRING InterfaceName)
{
    NTSTATUS status = STATUS_SUCCESS;
    UNICODE_STRING routineName;
    BOOLEAN restricted = 0xFF;

    RtlInitUnicodeString(&routineName, L"IoSetDeviceInterfacePropertyData");
    PFN_IO_SET_DEVICE_INTERFACE_PROPERTY_DATA setProperty =
        (PFN_IO_SET_DEVICE_INTERFACE_PROPERTY_DATA)MmGetSystemRoutineAddress(&routineName);
    if (setProperty != NULL) {
        status = setProperty(InterfaceName, &DEVPKEY_DeviceInterface_Restricted, 0, 0,
                             DEVPROP_TYPE_BOOLEAN, sizeof(restricted), &restricted);
    }
    return status;
}

// Frees the info block and the channel lists, if present, and clears what described them. Each
// pointer ends up null, so a second call (removal after a failed start, a restart after a stop,
// unload after either) frees nothing twice, and a restart that fails half-way leaves no count
// without its list.
VOID FreeDeviceDescription(PDEVICE_EXTENSION Extension)
{
    if (Extension->ChipInfo != NULL) {
        ExFreePoolWithTag(Extension->ChipInfo, KWO_TAG_CHIP_INFO);
        Extension->ChipInfo = NULL;
    }
    ReleaseChannelLists(Extension);
    Extension->VbatMonitor = FALSE;
}

// Disables the device interface and frees its name, if the device holds one; the name is empty
// afterwards whatever the disabling gave.
VOID DisableDeviceInterface(PDEVICE_EXTENSION Extension)
{
    if (Extension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
        RtlFreeUnicodeString(&Extension->InterfaceName);
        Extension->InterfaceName.Length = 0;
        Extension->InterfaceName.MaximumLength = 0;
        Extension->InterfaceName.Buffer = NULL;
    }
}

// The start sequence. The lower drivers go first; their failure is not acted on (the chip is
// reached through fixed ports, not through resources they assign). A start after a stop
// replaces the previous description, so it frees it first. The device lock keeps device-control
// requests off the chip and the channel lists while they are rebuilt.
NTSTATUS StartDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;

    ForwardAndWait(Extension->LowerDevice, Irp);

    KeEnterCriticalRegion();
    AcquireDeviceLock(Extension);

    FreeDeviceDescription(Extension);

    if (!DetectChip(Extension)) {
        status = STATUS_UNSUCCESSFUL;
        goto Unlock;
    }

    status = LoadBoardConfiguration(Extension);
    if (!NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
        goto Unlock;
    }

    status = BuildDescriptionBlock(Extension);

Unlock:
    ReleaseDeviceLock(Extension);
    KeLeaveCriticalRegion();

    if (NT_SUCCESS(status) && Extension->InterfaceName.Buffer != NULL) {
        status = IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE);
        if (NT_SUCCESS(status))
            status = MarkInterfaceRestricted(&Extension->InterfaceName);
    }
    return status;
}

// The removal sequence. New device-control requests are refused from here on (the remove lock
// is marked removed) and the ones in flight are waited for before anything they read is freed.
// Every removal tears the device down and reaches the lower drivers, even when disabling the
// interface fails: the system does not send a second removal. Returns the lower drivers'
// status, which is what the caller must return for a request it passed down.
NTSTATUS RemoveDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;
    UNICODE_STRING linkName;

    RtlInitUnicodeString(&linkName, KWOTARV_SYMBOLIC_LINK);
    IoDeleteSymbolicLink(&linkName);

    DisableDeviceInterface(Extension);

    if (NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, Irp)))
        IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

    FreeDeviceDescription(Extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PassDown(Extension, Irp);

    if (Extension->LowerDevice != NULL) {
        IoDetachDevice(Extension->LowerDevice);
        Extension->LowerDevice = NULL;
    }
    if (Extension->Self != NULL)
        IoDeleteDevice(Extension->Self);
    return status;
}

// Plug and Play requests, by minor function (see PnpActions).
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    PNP_ACTION action = PnpPassDown;

    if (minor < sizeof(PnpActions) / sizeof(PnpActions[0]))
        action = PnpActions[minor];

    switch (action) {
    case PnpStart:
        status = CompleteRequest(Irp, StartDevice(extension, Irp));
        break;
    case PnpRemove:
        status = RemoveDevice(extension, Irp);
        break;
    case PnpForwardAndSucceed:
        ForwardAndWait(extension->LowerDevice, Irp);
        status = CompleteRequest(Irp, STATUS_SUCCESS);
        break;
    case PnpSucceedAndPassDown:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, Irp);
        break;
    case PnpPassDown:
    default:
        status = PassDown(extension, Irp);
        break;
    }
    return status;
}

// Power: every power request goes down the stack; on the way back to the working state from
// sleep the battery-voltage monitoring, which the chip loses in sleep, is switched on again.
#include "lifecycle.h"

#include "../chip/chip.h"

// A system set-power request to the working state whose action was sleep: the machine is
// waking from S1-S3. Waking from hibernation powers the chip up from scratch through the
// firmware, and other actions do not return to the working state with the chip's state lost.
static BOOLEAN IsWakeFromSleep(PIO_STACK_LOCATION Stack)
{
    return Stack->MinorFunction == IRP_MN_SET_POWER &&
           Stack->Parameters.Power.Type == SystemPowerState &&
           Stack->Parameters.Power.ShutdownType == PowerActionSleep &&
           Stack->Parameters.Power.State.SystemState == PowerSystemWorking;
}

// Power requests. The re-arm runs under the device lock so that it does not interleave with a
// device-control request's banked register accesses. The remove lock keeps the lower device
// attached while the request is handed on; a request after removal began is failed.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    } else {
        if (IsWakeFromSleep(stack) && extension->VbatMonitor) {
            KeEnterCriticalRegion();
            AcquireDeviceLock(extension);
            HwmEnableVbatMonitor(extension);
            ReleaseDeviceLock(extension);
            KeLeaveCriticalRegion();
        }

        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = PoCallDriver(extension->LowerDevice, Irp);
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    return status;
}

// Create and close requests: the device keeps no per-open state, so both simply succeed.
#include "control.h"

// DispatchCreateClose
//
// Completes IRP_MJ_CREATE and IRP_MJ_CLOSE with success and no data.
KWO_PAGED_CODE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The IofCompleteRequest wrapper. Built against the DDK headers (the IRP and its stack
// location), like the driver itself, and without <windows.h>.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
}

#include "start_observer.hpp"

#include "kernel/rtl/text.hpp"
#include "session.hpp"

namespace kwohal {

namespace {

using CompleteRequest = VOID(FASTCALL*)(PIRP, CCHAR);
CompleteRequest gComplete = nullptr;

VOID FASTCALL ObservedCompleteRequest(PIRP irp, CCHAR boost)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE)
        Log("start status " + sim::text::Hex(static_cast<uint32_t>(irp->IoStatus.Status), 8));
    gComplete(irp, boost);
}

} // namespace

void* StartObserver(void* completeRequest)
{
    gComplete = reinterpret_cast<CompleteRequest>(completeRequest);
    return reinterpret_cast<void*>(ObservedCompleteRequest);
}

} // namespace kwohal

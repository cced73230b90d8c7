// The simulated I/O manager's IRPs: allocation with a guard location, IofCallDriver and
// IofCompleteRequest with the pending and completion rules a checked build enforces, and the
// sending side used by the PnP manager and the user-mode request path.
#include "kernel/io/io_manager.hpp"
#include "kernel/rtl/text.hpp"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/objects.hpp"
#include "sim_ntddk.h"
#include "kernel/ke/threads.hpp"

using sim::text::HexStatus;

namespace sim::io {
namespace {

using namespace objects;

// What happened at one stack location, for the pending rule: a routine that returns
// STATUS_PENDING must have marked its location pending (itself, through its completion routine,
// or by the I/O manager's propagation when it set no routine) by the time the completion passes
// that location. The dispatch return and the completion can come in either order, from different
// threads; whichever comes second makes the check.
struct LocationTrace {
    bool returnedPending = false; // its dispatch routine returned STATUS_PENDING
    bool returnedOther = false;   // its dispatch routine returned something else
    bool walked = false;          // the completion has passed this location
    bool marked = false;          // ... and found it marked pending
    std::string what;             // description for reports
};

// A location below the first one, filled with a pattern: a driver that copies its location to
// a next one the request does not have writes here (on Windows it overwrites the IRP itself).
constexpr uint8_t kGuardFill = 0x6B;

struct IrpRecord {
    IRP irp{};
    std::vector<IO_STACK_LOCATION> stack; // [0] is the guard; the request's locations follow
    bool guardReported = false;

    IO_STACK_LOCATION* Locations() { return stack.data() + 1; }
    bool GuardIntact() const
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(stack.data());
        for (size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i)
            if (bytes[i] != kGuardFill)
                return false;
        return true;
    }
    std::vector<LocationTrace> trace; // guarded by mutex
    std::mutex mutex;
    std::condition_variable completedSignal;
    bool sent = false;      // IrpRequest::Send was called
    bool completed = false; // the completion reached the sender
    bool released = false;  // the sender is done with it
};

struct IrpTable {
    std::mutex mutex;
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live;
    // Completed requests are kept for a while so that a second completion is caught instead of
    // touching freed memory.
    std::deque<PIRP> retired;
};

constexpr size_t kRetiredRequests = 512;

IrpTable& Irps()
{
    static IrpTable* table = new IrpTable;
    return *table;
}

std::shared_ptr<IrpRecord> FindIrp(PIRP irp)
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    auto it = t.live.find(irp);
    return it == t.live.end() ? nullptr : it->second;
}

void Retire(PIRP irp)
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    t.retired.push_back(irp);
    while (t.retired.size() > kRetiredRequests) {
        t.live.erase(t.retired.front());
        t.retired.pop_front();
    }
}

UCHAR LoadControl(const IO_STACK_LOCATION* location)
{
    return __atomic_load_n(&location->Control, __ATOMIC_SEQ_CST);
}

void StoreControl(IO_STACK_LOCATION* location, UCHAR value)
{
    __atomic_store_n(&location->Control, value, __ATOMIC_SEQ_CST);
}

std::string DescribeDispatch(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "request major 0x%02X minor 0x%02X", major, minor);
    std::string text = buffer;
    if (device != nullptr && device->DriverObject != nullptr)
        text += " in " + Narrow(ToU16(device->DriverObject->DriverName));
    return text;
}

void CheckGuard(IrpRecord& record)
{
    if (record.guardReported || record.GuardIntact())
        return;
    record.guardReported = true;
    sim::faults::Report("a driver wrote the stack location below the request's last one "
                        "(IoCopyCurrentIrpStackLocationToNext or IoSetCompletionRoutine with no "
                        "next location): the request's memory is corrupted");
}

} // namespace

namespace objects {

void ResetRequests()
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    t.live.clear();
    t.retired.clear();
}

} // namespace objects

// ---- IrpRequest ------------------------------------------------------------------------------

IrpRequest::IrpRequest(CCHAR stackSize)
{
    auto record = std::make_shared<IrpRecord>();
    const int count = stackSize < 1 ? 1 : stackSize;
    record->stack.resize(static_cast<size_t>(count) + 1);
    std::memset(record->stack.data(), 0, sizeof(IO_STACK_LOCATION) * record->stack.size());
    std::memset(record->stack.data(), kGuardFill, sizeof(IO_STACK_LOCATION));
    record->trace.resize(static_cast<size_t>(count));
    IRP& irp = record->irp;
    irp.Type = IO_TYPE_IRP;
    irp.Size = static_cast<USHORT>(sizeof(IRP) + count * sizeof(IO_STACK_LOCATION));
    irp.StackCount = static_cast<CHAR>(count);
    irp.CurrentLocation = static_cast<CHAR>(count + 1);
    irp.Tail.Overlay.CurrentStackLocation = record->Locations() + count;
    irp_ = &record->irp;
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    t.live[irp_] = std::move(record);
}

IrpRequest::~IrpRequest()
{
    std::shared_ptr<IrpRecord> record = FindIrp(irp_);
    if (record == nullptr)
        return;
    bool completed;
    bool sent;
    {
        std::lock_guard guard(record->mutex);
        record->released = true;
        completed = record->completed;
        sent = record->sent;
    }
    // A request that never came back stays alive until Reset: its driver may still hold it.
    if (completed) {
        Retire(irp_);
    } else if (!sent) {
        IrpTable& t = Irps();
        std::lock_guard guard(t.mutex);
        t.live.erase(irp_);
    }
}

PIO_STACK_LOCATION IrpRequest::FirstLocation() const
{
    return irp_->Tail.Overlay.CurrentStackLocation - 1;
}

RequestOutcome IrpRequest::Send(PDEVICE_OBJECT device, std::chrono::milliseconds timeout)
{
    std::shared_ptr<IrpRecord> record = FindIrp(irp_);
    RequestOutcome outcome;
    const UCHAR major = FirstLocation()->MajorFunction;
    const UCHAR minor = FirstLocation()->MinorFunction;
    {
        std::lock_guard guard(record->mutex);
        record->sent = true;
    }
    outcome.returned = IofCallDriver(device, irp_);
    {
        std::unique_lock lock(record->mutex);
        outcome.completed = record->completedSignal.wait_for(
            lock, timeout, [&record] { return record->completed; });
    }
    const std::string what = DescribeDispatch(device, major, minor);
    if (!outcome.completed) {
        if (outcome.returned == STATUS_PENDING)
            sim::faults::Report(what + ": request returned STATUS_PENDING and was never completed");
        else
            sim::faults::Report(what + ": dispatch returned " + HexStatus(outcome.returned) +
                                " without completing the request");
        return outcome;
    }
    outcome.status = irp_->IoStatus.Status;
    outcome.information = irp_->IoStatus.Information;
    outcome.pendingReturned = irp_->PendingReturned != FALSE;
    if (outcome.returned != STATUS_PENDING && outcome.returned != outcome.status)
        sim::faults::Report(what + ": dispatch returned " + HexStatus(outcome.returned) +
                            " but completed the request with " + HexStatus(outcome.status));
    return outcome;
}

size_t OutstandingRequestCount()
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    size_t count = 0;
    for (auto& [irp, record] : t.live) {
        std::lock_guard recordGuard(record->mutex);
        count += record->completed ? 0 : 1;
    }
    return count;
}

} // namespace sim::io

using namespace sim::io;
using namespace sim::io::objects;
using sim::io::internal::CheckIrql;

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    std::shared_ptr<IrpRecord> record = FindIrp(Irp);
    if (record == nullptr) {
        sim::faults::Report("IofCallDriver: request not known to the I/O manager (freed?)");
        return STATUS_INVALID_PARAMETER;
    }
    CheckIrql("IofCallDriver", DISPATCH_LEVEL);
    bool known;
    bool deleted = false;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* target = DeviceObject != nullptr ? FindRecord(s, DeviceObject) : nullptr;
        known = target != nullptr;
        // A deleted device is still reachable through an open handle (which references it);
        // anything else reaching it is a use after free on Windows.
        deleted = known && target->deleted && target->references == 0;
    }
    if (deleted)
        sim::faults::Report("IofCallDriver to a device object that was deleted");
    CheckGuard(*record);
    if (!known || Irp->CurrentLocation <= 1) {
        sim::faults::Report(known ? "IofCallDriver: no stack location left for the next driver "
                                    "(NO_MORE_IRP_STACK_LOCATIONS)"
                                  : "IofCallDriver to a device object that does not exist");
        // Fail the request as the target would, so that its sender is not left waiting.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    Irp->CurrentLocation--;
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    const size_t index = static_cast<size_t>(location - record->Locations());
    location->DeviceObject = DeviceObject;
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    {
        std::lock_guard guard(record->mutex);
        record->trace[index] = LocationTrace{};
        record->trace[index].what = DescribeDispatch(DeviceObject, major, minor);
    }
    PDRIVER_DISPATCH routine = major <= IRP_MJ_MAXIMUM_FUNCTION
                                   ? DeviceObject->DriverObject->MajorFunction[major]
                                   : DefaultDispatch;
    if (routine == nullptr) {
        sim::faults::Report(DescribeDispatch(DeviceObject, major, minor) +
                            ": dispatch table entry is NULL");
        routine = DefaultDispatch;
    }

    const int depthBefore = sim::threads::CriticalRegionDepth();
    const KIRQL irqlBefore = sim::threads::CurrentIrql();
    const NTSTATUS status = routine(DeviceObject, Irp);
    const int depthAfter = sim::threads::CriticalRegionDepth();
    const KIRQL irqlAfter = sim::threads::CurrentIrql();

    const std::string what = DescribeDispatch(DeviceObject, major, minor);
    if (depthAfter != depthBefore)
        sim::faults::Report(what + ": returned with critical-region depth " +
                            std::to_string(depthAfter) + ", entered with " +
                            std::to_string(depthBefore));
    if (irqlAfter != irqlBefore)
        sim::faults::Report(what + ": returned at IRQL " + std::to_string(irqlAfter) +
                            ", entered at " + std::to_string(irqlBefore));
    std::string problem;
    {
        std::lock_guard guard(record->mutex);
        LocationTrace& trace = record->trace[index];
        const bool markedNow = (LoadControl(location) & SL_PENDING_RETURNED) != 0;
        if (status == STATUS_PENDING) {
            trace.returnedPending = true;
            if (trace.walked && !trace.marked)
                problem = what + ": returned STATUS_PENDING without IoMarkIrpPending";
        } else {
            trace.returnedOther = true;
            if (markedNow || (trace.walked && trace.marked))
                problem = what + ": marked the request pending but returned " + HexStatus(status);
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    std::shared_ptr<IrpRecord> record = FindIrp(Irp);
    if (record == nullptr) {
        sim::faults::Report("IofCompleteRequest: request not known to the I/O manager (freed "
                            "or completed long ago)");
        return;
    }
    CheckIrql("IofCompleteRequest", DISPATCH_LEVEL);
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        sim::faults::Report("IofCompleteRequest: request completed twice "
                            "(MULTIPLE_IRP_COMPLETE_REQUESTS)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        sim::faults::Report("IofCompleteRequest: request completed with STATUS_PENDING");
    if (Irp->CancelRoutine != nullptr)
        sim::faults::Report("IofCompleteRequest: request completed with a cancel routine set "
                            "(CANCEL_STATE_IN_COMPLETED_IRP)");

    for (;;) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        if (Irp->CurrentLocation > Irp->StackCount + 1)
            break;
        const size_t index = static_cast<size_t>(location - record->Locations());
        const UCHAR control = LoadControl(location);
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        std::string problem;
        {
            std::lock_guard guard(record->mutex);
            LocationTrace& trace = record->trace[index];
            trace.walked = true;
            trace.marked = Irp->PendingReturned != FALSE;
            if (trace.returnedPending && !trace.marked)
                problem = trace.what + ": returned STATUS_PENDING without IoMarkIrpPending";
            if (trace.returnedOther && trace.marked)
                problem = trace.what + ": marked the request pending but returned another status";
        }
        if (!problem.empty())
            sim::faults::Report(problem);
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = location->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        // Clear the location as the I/O manager does; the routine and context stay readable.
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        location->MinorFunction = 0;
        location->Flags = 0;
        StoreControl(location, 0);
        std::memset(&location->Parameters.Others, 0, sizeof(location->Parameters.Others));
        location->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            PIO_STACK_LOCATION upper = Irp->Tail.Overlay.CurrentStackLocation;
            StoreControl(upper, LoadControl(upper) | SL_PENDING_RETURNED);
        }
    }

    // The request is back with its sender.
    CheckGuard(*record);
    bool released;
    {
        std::lock_guard guard(record->mutex);
        record->completed = true;
        released = record->released;
        record->completedSignal.notify_all();
    }
    if (released)
        Retire(Irp);
}

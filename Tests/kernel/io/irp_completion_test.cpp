// IRPs in the simulated I/O manager: stack locations, IofCallDriver, the completion walk with
// its invoke flags, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned, and the reported
// violations of the completion rules.
#include <thread>

#include "test_driver.hpp"

namespace {

using testdrv::B;
using testdrv::Complete;

// A stack of three: bus PDO, then `lower` and `upper` of the test driver. Requests are sent to
// `upper` as IRP_MJ_INTERNAL_DEVICE_CONTROL, which the test driver's dispatch routes by device.
class IrpTest : public IoTest {
  protected:
    void SetUp() override
    {
        IoTest::SetUp();
        bus_ = &sim::bus::CreateBusDevice();
        driver_ = sim::io::CreateDriverObject(u"\\Driver\\IoTest", u"IoTest");
        lower_ = Make(bus_->Pdo());
        upper_ = Make(lower_);
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = testdrv::DispatchAny;
        B().dispatch[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [this](PDEVICE_OBJECT device, PIRP irp) {
            return device == upper_ ? upperDispatch(device, irp) : lowerDispatch(device, irp);
        };
    }

    PDEVICE_OBJECT Make(PDEVICE_OBJECT below)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(testdrv::Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &device),
                  STATUS_SUCCESS);
        testdrv::Ext(device)->lower = IoAttachDeviceToDeviceStack(device, below);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    sim::io::RequestOutcome Send(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        sim::io::IrpRequest request(upper_->StackSize);
        request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request.FirstLocation()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return request.Send(upper_, timeout);
    }

    sim::bus::BusDevice* bus_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT upper_ = nullptr;
    testdrv::Dispatch upperDispatch;
    testdrv::Dispatch lowerDispatch;
};

struct RoutineCall {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    PVOID context = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS result = STATUS_SUCCESS; // what the routine returns
};

NTSTATUS NTAPI RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* call = static_cast<RoutineCall*>(context);
    ++call->calls;
    call->device = device;
    call->context = context;
    call->pendingReturned = irp->PendingReturned;
    if (call->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return call->result;
}

TEST_F(IrpTest, NewRequestStartsPastItsLastLocationAndEachCallDescendsOne)
{
    sim::io::IrpRequest request(3);
    PIRP irp = request.Irp();
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(request.FirstLocation() + 1, irp->Tail.Overlay.CurrentStackLocation);

    CHAR seenUpper = 0, seenLower = 0;
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        seenUpper = irp->CurrentLocation;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    lowerDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        seenLower = irp->CurrentLocation;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        return Complete(irp, STATUS_SUCCESS, 7);
    };
    EXPECT_EQ(upper_->StackSize, 3);
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_EQ(seenUpper, 3);
    EXPECT_EQ(seenLower, 2);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 7u);
    EXPECT_FALSE(outcome.pendingReturned);
}

// Which completion statuses and cancel states invoke a routine set with which flags.
struct InvokeCase {
    NTSTATUS status;
    bool cancel;
    BOOLEAN onSuccess, onError, onCancel;
    bool invoked;
};

class InvokeFlagsTest : public IrpTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, RoutineRunsOnlyWhenItsFlagMatches)
{
    const InvokeCase c = GetParam();
    RoutineCall call;
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &call, c.onSuccess, c.onError, c.onCancel);
        irp->Cancel = c.cancel ? TRUE : FALSE;
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, c.status); };
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_EQ(call.calls, c.invoked ? 1 : 0);
    if (c.invoked) {
        EXPECT_EQ(call.device, upper_) << "the routine gets the device of the driver that set it";
        EXPECT_EQ(call.context, &call);
    }
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagsTest,
    ::testing::Values(InvokeCase{STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
                      InvokeCase{STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, TRUE, FALSE, FALSE, false},
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
                      InvokeCase{STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
                      InvokeCase{STATUS_UNSUCCESSFUL, false, TRUE, FALSE, TRUE, false},
                      InvokeCase{STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
                      InvokeCase{STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
                      InvokeCase{STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
                      InvokeCase{STATUS_SUCCESS, false, FALSE, FALSE, FALSE, false}));

TEST_F(IrpTest, MoreProcessingRequiredHandsTheRequestBackToTheUpperDriver)
{
    RoutineCall call;
    call.result = STATUS_MORE_PROCESSING_REQUIRED;
    bool completedEarly = true;
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &call, TRUE, TRUE, TRUE);
        const NTSTATUS lower = IofCallDriver(testdrv::Ext(device)->lower, irp);
        EXPECT_EQ(lower, STATUS_UNSUCCESSFUL);
        // The request stopped at this driver's location: it is ours again.
        EXPECT_EQ(irp->CurrentLocation, 3);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        completedEarly = false;
        return Complete(irp, STATUS_SUCCESS, 3);
    };
    lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); };
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_EQ(call.calls, 1);
    EXPECT_FALSE(completedEarly);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 3u);
}

TEST_F(IrpTest, PendingFromTheBusPropagatesThroughLocationsWithoutRoutines)
{
    // Both drivers pass down without completion routines and return what the call below
    // returned; the bus completes later from its own thread. The I/O manager marks each upper
    // location pending as the completion climbs, so no driver had to.
    bus_->SetOtherAnswer(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                         sim::bus::Answer::Pending(STATUS_SUCCESS, std::chrono::milliseconds(30)));
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    lowerDispatch = upperDispatch;
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_EQ(outcome.returned, STATUS_PENDING);
    EXPECT_TRUE(outcome.completed);
    EXPECT_TRUE(outcome.pendingReturned);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    ASSERT_EQ(bus_->Requests().size(), 1u);
    EXPECT_TRUE(bus_->Requests()[0].answeredPending);
}

TEST_F(IrpTest, ForwardAndWaitReallyWaitsForACompletionFromAnotherThread)
{
    bus_->SetOtherAnswer(
        IRP_MJ_INTERNAL_DEVICE_CONTROL,
        sim::bus::Answer::Pending(STATUS_UNSUCCESSFUL, std::chrono::milliseconds(50)));
    NTSTATUS lowerStatus = 0;
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        const auto start = std::chrono::steady_clock::now();
        lowerStatus = testdrv::ForwardAndWait(testdrv::Ext(device)->lower, irp);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
        return Complete(irp, STATUS_SUCCESS);
    };
    lowerDispatch = [&](PDEVICE_OBJECT device, PIRP irp) { return testdrv::PassDown(device, irp); };
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_EQ(lowerStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_FALSE(outcome.pendingReturned);
}

// ---- reported violations ------------------------------------------------------------------

TEST_F(IrpTest, CompletingTwiceIsReportedAndIgnored)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_TRUE(Send().completed);
    EXPECT_EQ(TakeFaults("completed twice"), 1u);
}

TEST_F(IrpTest, CompletingWithStatusPendingIsReported)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_PENDING);
        return STATUS_PENDING;
    };
    Send();
    EXPECT_EQ(TakeFaults("completed with STATUS_PENDING"), 1u);
}

TEST_F(IrpTest, ReturningPendingWithoutMarkingIsReportedWhetherCompletionCameFirstOrLast)
{
    // Completed before returning.
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    Send();
    EXPECT_EQ(TakeFaults("without IoMarkIrpPending"), 1u);

    // Completed later from another thread.
    std::thread later;
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        later = std::thread([irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Complete(irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    };
    Send();
    later.join();
    EXPECT_EQ(TakeFaults("without IoMarkIrpPending"), 1u);
}

TEST_F(IrpTest, CompletionRoutineThatDoesNotPropagatePendingIsCaught)
{
    // The upper driver sets a routine that neither marks pending nor stops the completion, and
    // returns the lower driver's STATUS_PENDING.
    bus_->SetOtherAnswer(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                         sim::bus::Answer::Pending(STATUS_SUCCESS, std::chrono::milliseconds(20)));
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr,
            TRUE, TRUE, TRUE);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    lowerDispatch = [&](PDEVICE_OBJECT device, PIRP irp) { return testdrv::PassDown(device, irp); };
    Send();
    EXPECT_EQ(TakeFaults("without IoMarkIrpPending"), 1u);

    // The same with the propagation in the routine is clean.
    RoutineCall call;
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &call, TRUE, TRUE, TRUE);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    const sim::io::RequestOutcome outcome = Send();
    EXPECT_TRUE(call.pendingReturned);
    EXPECT_TRUE(outcome.pendingReturned);
    EXPECT_TRUE(sim::faults::All().empty());
}

TEST_F(IrpTest, MarkingPendingAndReturningAnotherStatusIsReported)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_GE(TakeFaults("marked the request pending but returned"), 1u);
}

TEST_F(IrpTest, ReturnedStatusMustMatchTheCompletedStatus)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    };
    Send();
    EXPECT_EQ(TakeFaults("but completed the request with 0xC0000001"), 1u);
}

TEST_F(IrpTest, ReturningWithoutCompletingIsReported)
{
    PIRP kept = nullptr;
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return STATUS_SUCCESS;
    };
    const sim::io::RequestOutcome outcome = Send(std::chrono::milliseconds(20));
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(TakeFaults("without completing the request"), 1u);
    EXPECT_EQ(sim::io::OutstandingRequestCount(), 1u);
    // A late completion touches memory that is still valid.
    kept->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(kept, IO_NO_INCREMENT);
    EXPECT_EQ(sim::io::OutstandingRequestCount(), 0u);
}

TEST_F(IrpTest, UnbalancedCriticalRegionOrIrqlInADispatchRoutineIsReported)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        KeEnterCriticalRegion();
        return Complete(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_EQ(TakeFaults("critical-region depth 1, entered with 0"), 1u);
    KeLeaveCriticalRegion();

    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        sim::threads::SetCurrentIrql(APC_LEVEL);
        return Complete(irp, STATUS_SUCCESS);
    };
    Send();
    sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    EXPECT_EQ(TakeFaults("returned at IRQL 1"), 1u);
}

TEST_F(IrpTest, CompletingWithACancelRoutineSetIsReported)
{
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return Complete(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_EQ(TakeFaults("cancel routine set"), 1u);
}

TEST_F(IrpTest, RunningOutOfStackLocationsIsReportedAndFailsTheRequest)
{
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    // Calls the bus from the last location, leaving it no location of its own.
    lowerDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    sim::io::IrpRequest request(2); // one too few for the three-device stack
    request.FirstLocation()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    const sim::io::RequestOutcome outcome = request.Send(upper_);
    EXPECT_EQ(outcome.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TakeFaults("NO_MORE_IRP_STACK_LOCATIONS"), 1u);
}

TEST_F(IrpTest, WritingALocationTheRequestDoesNotHaveIsReported)
{
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(testdrv::Ext(device)->lower, irp);
    };
    lowerDispatch = upperDispatch;
    sim::io::IrpRequest request(2);
    request.FirstLocation()->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.Send(upper_);
    EXPECT_EQ(TakeFaults("request's memory is corrupted"), 1u);
}

TEST_F(IrpTest, UnsentRequestLeavesNothingOutstanding)
{
    {
        sim::io::IrpRequest request(2);
        EXPECT_EQ(sim::io::OutstandingRequestCount(), 1u);
    }
    EXPECT_EQ(sim::io::OutstandingRequestCount(), 0u);
}

TEST_F(IrpTest, CallingADeletedDeviceIsReported)
{
    // The upper driver detaches and deletes itself while handling a request.
    upperDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoDetachDevice(lower_);
        IoDeleteDevice(device);
        return Complete(irp, STATUS_SUCCESS);
    };
    Send();
    EXPECT_TRUE(sim::faults::All().empty());
    // A stale pointer to the deleted device is used again (its memory is kept by the
    // simulator, so the call is only reported).
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    Send();
    EXPECT_EQ(TakeFaults("device object that was deleted"), 1u);
}

TEST_F(IrpTest, DefaultDispatchFailsUnhandledMajorFunctions)
{
    sim::io::IrpRequest request(upper_->StackSize);
    request.FirstLocation()->MajorFunction = IRP_MJ_READ;
    const sim::io::RequestOutcome outcome = request.Send(upper_);
    EXPECT_EQ(outcome.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(outcome.status, STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace

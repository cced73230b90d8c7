// Dispatcher objects and per-thread kernel state. One dispatcher lock and one condition variable
// serve every event, so events are plain data that may live anywhere, on a stack included.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "faults.hpp"
#include "sim_ntddk.h"
#include "threads.hpp"

namespace {

std::mutex gDispatcherLock;
std::condition_variable gDispatcherSignal;

thread_local int tCriticalRegionDepth = 0;
thread_local uint8_t tIrql = PASSIVE_LEVEL;

constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;

} // namespace

namespace sim::threads {

int CriticalRegionDepth()
{
    return tCriticalRegionDepth;
}

uint8_t CurrentIrql()
{
    return tIrql;
}

void SetCurrentIrql(uint8_t irql)
{
    tIrql = irql;
}

} // namespace sim::threads

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard guard(gDispatcherLock);
    Event->Header.Type =
        Type == SynchronizationEvent ? kSynchronizationEventType : kNotificationEventType;
    Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    std::lock_guard guard(gDispatcherLock);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    gDispatcherSignal.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard guard(gDispatcherLock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard guard(gDispatcherLock);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard guard(gDispatcherLock);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    const bool mayBlock = Timeout == nullptr || Timeout->QuadPart != 0;
    if (mayBlock && tIrql >= DISPATCH_LEVEL)
        sim::faults::Report("KeWaitForSingleObject: a blocking wait at DISPATCH_LEVEL or above");

    std::unique_lock lock(gDispatcherLock);
    auto signalled = [header] { return header->SignalState > 0; };
    if (Timeout == nullptr) {
        gDispatcherSignal.wait(lock, signalled);
    } else if (Timeout->QuadPart == 0) {
        if (!signalled())
            return STATUS_TIMEOUT;
    } else {
        // Negative values are relative times in 100 ns units; absolute times are treated alike.
        const LONGLONG units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
        if (!gDispatcherSignal.wait_for(lock, std::chrono::microseconds(units / 10), signalled))
            return STATUS_TIMEOUT;
    }
    if (header->Type == kSynchronizationEventType)
        header->SignalState = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    ++tCriticalRegionDepth;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    if (tCriticalRegionDepth == 0) {
        sim::faults::Report("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --tCriticalRegionDepth;
}

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return tIrql;
}

VOID NTAPI SimCheckPagedCode(const char* Function)
{
    if (tIrql > APC_LEVEL)
        sim::faults::Report(std::string("pageable routine ") + Function + " called at IRQL " +
                            std::to_string(tIrql));
}

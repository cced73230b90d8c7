// Dispatcher objects: events and waits. One dispatcher lock and one condition variable serve
// every event, so events are plain data that may live anywhere, on a stack included.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kernel/debug/faults.hpp"
#include "kernel/ke/threads.hpp"
#include "sim_ntddk.h"

namespace {

std::mutex gDispatcherLock;
std::condition_variable gDispatcherSignal;

constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;

} // namespace

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
    if (mayBlock && sim::threads::CurrentIrql() >= DISPATCH_LEVEL)
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

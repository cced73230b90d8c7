// The root bus driver and its PDOs: answers each request as the test configured it, at once or
// later from another thread, and records what arrived.
#include "kernel/pnp/bus_device.hpp"

#include <algorithm>
#include <memory>
#include <thread>

#include "kernel/io/internal.hpp"
#include "kernel/io/io_manager.hpp"
#include "sim_ntddk.h"
#include "kernel/ke/threads.hpp"

namespace sim::bus {
namespace {

constexpr UCHAR kAnyMinor = 0xFF;

struct State {
    std::mutex mutex;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<BusDevice>> devices;
    std::vector<std::thread> completions;
};

State& S()
{
    static State* state = new State;
    return *state;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusDevice* bus = FindBusDevice(DeviceObject);
    if (bus == nullptr) {
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    return bus->Dispatch(Irp);
}

PDRIVER_OBJECT BusDriver()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    if (s.driver == nullptr) {
        s.driver = sim::io::CreateDriverObject(u"\\Driver\\PnpManager", u"PnpManager");
        for (auto& routine : s.driver->MajorFunction)
            routine = BusDispatch;
    }
    return s.driver;
}

bool DefaultHandled(UCHAR major, UCHAR minor)
{
    if (major == IRP_MJ_POWER)
        return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
    if (major != IRP_MJ_PNP)
        return false;
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

} // namespace

BusDevice::BusDevice(PDEVICE_OBJECT pdo, std::u16string instancePath)
    : pdo_(pdo), instancePath_(std::move(instancePath))
{
}

void BusDevice::SetPnpAnswer(UCHAR minor, const Answer& answer)
{
    std::lock_guard guard(mutex_);
    answers_[{IRP_MJ_PNP, minor}] = answer;
}

void BusDevice::SetPowerAnswer(UCHAR minor, const Answer& answer)
{
    std::lock_guard guard(mutex_);
    answers_[{IRP_MJ_POWER, minor}] = answer;
}

void BusDevice::SetOtherAnswer(UCHAR major, const Answer& answer)
{
    std::lock_guard guard(mutex_);
    answers_[{major, kAnyMinor}] = answer;
}

std::vector<Request> BusDevice::Requests() const
{
    std::lock_guard guard(mutex_);
    return requests_;
}

std::vector<UCHAR> BusDevice::PnpMinors() const
{
    std::lock_guard guard(mutex_);
    std::vector<UCHAR> minors;
    for (const auto& request : requests_)
        if (request.major == IRP_MJ_PNP)
            minors.push_back(request.minor);
    return minors;
}

void BusDevice::ClearRequests()
{
    std::lock_guard guard(mutex_);
    requests_.clear();
}

Answer BusDevice::AnswerFor(UCHAR major, UCHAR minor) const
{
    if (auto it = answers_.find({major, minor}); it != answers_.end())
        return it->second;
    if (major != IRP_MJ_PNP && major != IRP_MJ_POWER)
        if (auto it = answers_.find({major, kAnyMinor}); it != answers_.end())
            return it->second;
    if (DefaultHandled(major, minor))
        return Answer::Succeed();
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_SYSTEM_CONTROL)
        return Answer::KeepArrivingStatus();
    return Answer::Fail(STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusDevice::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Request request;
    request.major = location->MajorFunction;
    request.minor = location->MinorFunction;
    request.statusOnArrival = irp->IoStatus.Status;
    request.informationOnArrival = irp->IoStatus.Information;
    if (request.major == IRP_MJ_POWER) {
        request.powerType = location->Parameters.Power.Type;
        request.powerState = location->Parameters.Power.State;
        request.shutdownType = location->Parameters.Power.ShutdownType;
    }
    if (request.major == IRP_MJ_PNP && request.minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
        request.usageInPath = location->Parameters.UsageNotification.InPath;
        request.usageType = location->Parameters.UsageNotification.Type;
    }

    Answer answer;
    {
        std::lock_guard guard(mutex_);
        answer = AnswerFor(request.major, request.minor);
    }
    const NTSTATUS status =
        answer.kind == Answer::Kind::KeepStatus ? irp->IoStatus.Status : answer.status;
    request.answeredStatus = status;
    request.answeredPending = answer.pending;

    if (request.major == IRP_MJ_PNP && request.minor == IRP_MN_QUERY_CAPABILITIES &&
        NT_SUCCESS(status) && location->Parameters.DeviceCapabilities.Capabilities != nullptr) {
        // A root-enumerated device: working state D0, every sleep state D3.
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
            caps->DeviceState[state] = PowerDeviceD3;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
    }

    {
        std::lock_guard guard(mutex_);
        requests_.push_back(request);
    }
    if (request.major == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);

    if (!answer.pending) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    IoMarkIrpPending(irp);
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.completions.emplace_back([irp, status, delay = answer.delay] {
        std::this_thread::sleep_for(delay);
        // Completion comes from a DPC in a real bus driver.
        sim::threads::SetCurrentIrql(DISPATCH_LEVEL);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    });
    return STATUS_PENDING;
}

BusDevice& CreateBusDevice(std::u16string instancePath)
{
    PDRIVER_OBJECT driver = BusDriver();
    PDEVICE_OBJECT pdo = sim::io::internal::CreatePhysicalDevice(driver, instancePath);
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.devices.push_back(std::make_unique<BusDevice>(pdo, std::move(instancePath)));
    return *s.devices.back();
}

BusDevice* FindBusDevice(PDEVICE_OBJECT pdo)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    for (auto& device : s.devices)
        if (device->Pdo() == pdo)
            return device.get();
    return nullptr;
}

void WaitForPendingCompletions()
{
    std::vector<std::thread> threads;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        threads.swap(s.completions);
    }
    for (auto& thread : threads)
        thread.join();
}

void Reset()
{
    WaitForPendingCompletions();
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.devices.clear();
    s.driver = nullptr; // the I/O manager's Reset frees the object itself
}

} // namespace sim::bus

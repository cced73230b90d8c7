// The simulated Plug and Play and power manager: driver load and unload, AddDevice, and the
// Plug and Play and power requests, sent as Windows sends them.
#include "kernel/pnp/pnp_manager.hpp"
#include "kernel/rtl/text.hpp"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/io_manager.hpp"
#include "sim_ntddk.h"
#include "kernel/ke/threads.hpp"

using sim::text::HexStatus;

namespace sim::pnp {
namespace {

// What the service path buffer holds once DriverEntry has returned: the system's buffer is
// only valid during the call.
constexpr char16_t kStalePathFill = 0xDEAD;

struct LoadedDriver {
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<char16_t[]> servicePath; // kept allocated so a stale pointer stays readable
};

struct State {
    std::mutex mutex;
    std::vector<LoadedDriver> drivers;
    std::atomic<unsigned> startNextPowerIrp{0};
    std::atomic<unsigned> poCallDriver{0};
};

State& S()
{
    static State* state = new State;
    return *state;
}

// Runs a driver routine at PASSIVE_LEVEL and reports an unbalanced critical region or IRQL.
template <typename Call> auto CallChecked(const std::string& what, Call call)
{
    sim::io::internal::CheckIrql(what.c_str(), PASSIVE_LEVEL);
    const int depth = sim::threads::CriticalRegionDepth();
    const KIRQL irql = sim::threads::CurrentIrql();
    auto result = call();
    if (sim::threads::CriticalRegionDepth() != depth)
        sim::faults::Report(what + " returned with the critical-region depth changed");
    if (sim::threads::CurrentIrql() != irql)
        sim::faults::Report(what + " returned at a different IRQL");
    return result;
}

std::set<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver)
{
    std::set<PDEVICE_OBJECT> out;
    for (const auto& info : sim::io::Devices())
        if (info.driver == driver)
            out.insert(info.device);
    return out;
}

PnpResult Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
               void (*fill)(PIO_STACK_LOCATION, const void*), const void* arguments)
{
    sim::io::internal::CheckIrql("sending a Plug and Play or power request", PASSIVE_LEVEL);
    PDEVICE_OBJECT top = sim::io::TopOfStack(pdo);
    sim::io::IrpRequest request(top->StackSize);
    PIRP irp = request.Irp();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION location = request.FirstLocation();
    location->MajorFunction = major;
    location->MinorFunction = minor;
    if (fill != nullptr)
        fill(location, arguments);
    const sim::io::RequestOutcome outcome = request.Send(top);
    PnpResult result;
    result.returned = outcome.returned;
    result.status = outcome.status;
    result.information = outcome.information;
    result.completed = outcome.completed;
    result.pendingReturned = outcome.pendingReturned;
    return result;
}

struct PowerArguments {
    POWER_STATE_TYPE type;
    POWER_STATE state;
    POWER_ACTION action;
};

void FillPower(PIO_STACK_LOCATION location, const void* arguments)
{
    const auto* power = static_cast<const PowerArguments*>(arguments);
    location->Parameters.Power.SystemContext = 0;
    location->Parameters.Power.Type = power->type;
    location->Parameters.Power.State = power->state;
    location->Parameters.Power.ShutdownType = power->action;
}

} // namespace

LoadResult LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view servicePath)
{
    const size_t slash = servicePath.rfind(u'\\');
    const std::u16string serviceName(
        slash == std::u16string_view::npos ? servicePath : servicePath.substr(slash + 1));
    PDRIVER_OBJECT driver = sim::io::CreateDriverObject(u"\\Driver\\" + serviceName, serviceName);
    driver->DriverInit = driverEntry;

    LoadedDriver loaded;
    loaded.driver = driver;
    loaded.servicePath = std::make_unique<char16_t[]>(servicePath.size() + 1);
    std::copy(servicePath.begin(), servicePath.end(), loaded.servicePath.get());
    loaded.servicePath[servicePath.size()] = 0;
    UNICODE_STRING path;
    path.Buffer = reinterpret_cast<PWSTR>(loaded.servicePath.get());
    path.Length = static_cast<USHORT>(servicePath.size() * 2);
    path.MaximumLength = static_cast<USHORT>(path.Length + 2);

    const NTSTATUS status = CallChecked("DriverEntry", [&] { return driverEntry(driver, &path); });
    std::fill(loaded.servicePath.get(), loaded.servicePath.get() + servicePath.size() + 1,
              kStalePathFill);

    LoadResult result;
    result.status = status;
    if (!NT_SUCCESS(status)) {
        // The driver is not loaded: its object goes away (anything it left is reported).
        sim::io::DeleteDriverObject(driver);
    } else {
        result.driver = driver;
    }
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.drivers.push_back(std::move(loaded));
    return result;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (driver->DriverExtension->AddDevice == nullptr) {
        sim::faults::Report("AddDevice: the driver did not install an AddDevice routine");
        return STATUS_NOT_IMPLEMENTED;
    }
    const std::set<PDEVICE_OBJECT> before = DevicesOf(driver);
    const PDEVICE_OBJECT topBefore = sim::io::TopOfStack(pdo);
    const NTSTATUS status =
        CallChecked("AddDevice", [&] { return driver->DriverExtension->AddDevice(driver, pdo); });

    std::vector<PDEVICE_OBJECT> created;
    for (PDEVICE_OBJECT device : DevicesOf(driver))
        if (before.count(device) == 0)
            created.push_back(device);
    if (!NT_SUCCESS(status)) {
        if (!created.empty())
            sim::faults::Report("AddDevice failed with " + HexStatus(status) + " but left " +
                                std::to_string(created.size()) + " device object(s) behind");
        return status;
    }
    const PDEVICE_OBJECT top = sim::io::TopOfStack(pdo);
    if (top != topBefore && (top->Flags & DO_DEVICE_INITIALIZING))
        sim::faults::Report("AddDevice succeeded but left DO_DEVICE_INITIALIZING set on the "
                            "device it attached");
    return status;
}

bool UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver->DriverUnload == nullptr)
        return false;
    CallChecked("DriverUnload", [&] {
        driver->DriverUnload(driver);
        return 0;
    });
    sim::io::DeleteDriverObject(driver);
    return true;
}

PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor)
{
    return Send(pdo, IRP_MJ_PNP, minor, nullptr, nullptr);
}

PnpResult StartDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_START_DEVICE);
}

PnpResult QueryRemoveDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
}

PnpResult CancelRemoveDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
}

PnpResult QueryStopDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
}

PnpResult CancelStopDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
}

PnpResult StopDevice(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_STOP_DEVICE);
}

PnpResult SurpriseRemoval(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
}

PnpResult RemoveDevice(PDEVICE_OBJECT pdo)
{
    PnpResult result = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    sim::io::DisableInterfacesOf(pdo);
    return result;
}

PnpResult QueryCapabilities(PDEVICE_OBJECT pdo)
{
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    return Send(
        pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
        [](PIO_STACK_LOCATION location, const void* arguments) {
            location->Parameters.DeviceCapabilities.Capabilities = const_cast<PDEVICE_CAPABILITIES>(
                static_cast<const DEVICE_CAPABILITIES*>(arguments));
        },
        &capabilities);
}

PnpResult QueryPnpDeviceState(PDEVICE_OBJECT pdo)
{
    return SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
}

PnpResult DeviceUsageNotification(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type,
                                  BOOLEAN inPath)
{
    struct Usage {
        DEVICE_USAGE_NOTIFICATION_TYPE type;
        BOOLEAN inPath;
    } usage{type, inPath};
    return Send(
        pdo, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION,
        [](PIO_STACK_LOCATION location, const void* arguments) {
            const auto* u = static_cast<const Usage*>(arguments);
            location->Parameters.UsageNotification.InPath = u->inPath;
            location->Parameters.UsageNotification.Type = u->type;
        },
        &usage);
}

PnpResult SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state,
                   POWER_ACTION shutdownType)
{
    const PowerArguments arguments{type, state, shutdownType};
    return Send(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, FillPower, &arguments);
}

PnpResult QueryPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state,
                     POWER_ACTION shutdownType)
{
    const PowerArguments arguments{type, state, shutdownType};
    return Send(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, FillPower, &arguments);
}

PnpResult SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    POWER_STATE power;
    power.SystemState = state;
    return SetPower(pdo, SystemPowerState, power, action);
}

unsigned StartNextPowerIrpCount()
{
    return S().startNextPowerIrp.load();
}

unsigned PoCallDriverCount()
{
    return S().poCallDriver.load();
}

void Reset()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.drivers.clear();
    s.startNextPowerIrp = 0;
    s.poCallDriver = 0;
}

} // namespace sim::pnp

// ---- power routines ----------------------------------------------------------------------------

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    sim::io::internal::CheckIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        sim::faults::Report("PoStartNextPowerIrp with a request that is not a power request");
    ++sim::pnp::S().startNextPowerIrp;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    sim::io::internal::CheckIrql("PoCallDriver", DISPATCH_LEVEL);
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        sim::faults::Report("PoCallDriver with a request that is not a power request");
    ++sim::pnp::S().poCallDriver;
    return IofCallDriver(DeviceObject, Irp);
}

// The simulated Plug and Play and power manager: loads a driver, gives it devices, sends it
// Plug and Play and power requests and unloads it, the way Windows does.
//
//     sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
//     sim::pnp::LoadResult load = sim::pnp::LoadDriver(
//         DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv");
//     ASSERT_EQ(load.status, STATUS_SUCCESS);
//     ASSERT_EQ(sim::pnp::AddDevice(load.driver, bus.Pdo()), STATUS_SUCCESS);
//     sim::pnp::PnpResult start = sim::pnp::StartDevice(bus.Pdo());
//     EXPECT_EQ(start.status, STATUS_SUCCESS);
//     ... sim::io::OpenDevice / DeviceIoControl (device_io.hpp) ...
//     sim::pnp::RemoveDevice(bus.Pdo());
//     sim::pnp::UnloadDriver(load.driver);
//
// Requests go to the top of the PDO's device stack in an IRP with as many stack locations as
// the top device's StackSize, IoStatus.Status initialised to STATUS_NOT_SUPPORTED and
// Information 0 (power requests likewise), sent at PASSIVE_LEVEL; the call returns once the
// request has been completed back to the manager, whichever thread completed it. Results carry
// both what the dispatch routine returned and the final IoStatus.
//
// Checks made here on top of the I/O manager's (reported through sim::faults::Report):
//  - DriverEntry or AddDevice returning with the critical-region depth or IRQL changed;
//  - AddDevice that fails but leaves a device object of the driver behind, or that succeeds
//    leaving DO_DEVICE_INITIALIZING set on the device it attached;
//  - unload of a driver that still owns device objects afterwards.
// The service path string handed to DriverEntry is overwritten once DriverEntry returns, as
// the system's buffer is only valid during the call: a driver must copy it.
#pragma once

#include <string>
#include <string_view>

#include "nt/io.h"

namespace sim::pnp {

struct LoadResult {
    NTSTATUS status = 0;
    PDRIVER_OBJECT driver = nullptr; // NULL when DriverEntry failed (the object is deleted)
};

// Creates the driver object "\Driver\<last component of servicePath>" and calls DriverEntry
// with it and the service path.
LoadResult LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view servicePath);

// Calls the driver's AddDevice (DriverObject->DriverExtension->AddDevice) for `pdo`.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// Calls DriverUnload if the driver has one and deletes the driver object. Returns false (and
// leaves the driver loaded) when the driver has no unload routine, as Windows refuses to
// unload it.
bool UnloadDriver(PDRIVER_OBJECT driver);

// How a Plug and Play or power request ended.
struct PnpResult {
    NTSTATUS returned = 0;        // what the top driver's dispatch routine returned
    NTSTATUS status = 0;          // IoStatus.Status at completion
    ULONG_PTR information = 0;    // IoStatus.Information at completion
    bool completed = false;       // false: never came back (reported)
    bool pendingReturned = false; // the request was completed asynchronously
};

// Sends IRP_MJ_PNP with `minor` to the top of `pdo`'s stack. Parameters other than the minor
// code are zero; use the specific senders below where a minor has parameters.
PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor);

PnpResult StartDevice(PDEVICE_OBJECT pdo);
PnpResult QueryRemoveDevice(PDEVICE_OBJECT pdo);
PnpResult CancelRemoveDevice(PDEVICE_OBJECT pdo);
PnpResult QueryStopDevice(PDEVICE_OBJECT pdo);
PnpResult CancelStopDevice(PDEVICE_OBJECT pdo);
PnpResult StopDevice(PDEVICE_OBJECT pdo);
PnpResult SurpriseRemoval(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE. Afterwards, as Windows does, every device interface of the PDO that is
// still enabled is disabled (InterfaceInfo::disabledBySystem tells a test it happened).
PnpResult RemoveDevice(PDEVICE_OBJECT pdo);
PnpResult QueryCapabilities(PDEVICE_OBJECT pdo);
PnpResult QueryPnpDeviceState(PDEVICE_OBJECT pdo);
PnpResult DeviceUsageNotification(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type,
                                  BOOLEAN inPath);

// IRP_MJ_POWER / IRP_MN_SET_POWER (or IRP_MN_QUERY_POWER) with its parameters.
PnpResult SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state,
                   POWER_ACTION shutdownType);
PnpResult QueryPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state,
                     POWER_ACTION shutdownType);
// Shorthands for system power transitions.
PnpResult SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, POWER_ACTION action);

// How many times PoStartNextPowerIrp was called since the last reset, and how many power
// requests were passed on with PoCallDriver.
unsigned StartNextPowerIrpCount();
unsigned PoCallDriverCount();

// Forgets loaded drivers and counters (the I/O manager's Reset frees the objects).
void Reset();

} // namespace sim::pnp

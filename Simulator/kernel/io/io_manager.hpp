// The simulated I/O manager's test-facing side.
//
// The driver reaches the I/O manager through its real routines (nt/io.h: IoCreateDevice,
// IoAttachDeviceToDeviceStack, IoCreateSymbolicLink, IoRegisterDeviceInterface,
// IoSetDeviceInterfaceState, IoSetDeviceInterfacePropertyData, IofCallDriver,
// IofCompleteRequest, MmGetSystemRoutineAddress...). This header is what tests and the rest of
// the simulator use to look at that state and to steer it:
//
//  - device objects: every live DEVICE_OBJECT, its name, driver and the device it is attached
//    to; counts per driver (a test asserts zero after removal and unload);
//  - the object namespace: symbolic links ("\DosDevices\X" and "\??\X" are the same name) and
//    registered device interfaces with their enable state and the properties set on them;
//  - failure injection: make a routine fail with a chosen status for the next N calls (or for
//    every call), and make MmGetSystemRoutineAddress return NULL for a routine, as a Windows
//    release that lacks it does;
//  - IRPs sent on behalf of the system (IrpRequest): allocated like IoAllocateIrp, sent with
//    IofCallDriver, waited for, and checked against the completion rules.
//
// Behaviour that would crash or corrupt a real system is reported through sim::faults::Report:
// completing a request twice or with STATUS_PENDING, returning STATUS_PENDING without
// IoMarkIrpPending (or marking pending and returning something else), returning from a dispatch
// routine with the critical-region depth or IRQL changed, deleting a device that is still
// attached or still named by a symbolic link, a driver left with device objects at unload.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nt/io.h"

namespace sim::io {

// Byte written over every new device extension, so a driver that relies on zeroed memory is
// caught (Windows zeroes it; this driver must not count on that, and the pattern makes any read
// of a field it forgot to set obvious).
inline constexpr uint8_t kExtensionFill = 0xE7;

// ---- failure injection --------------------------------------------------------------------------

// Routines whose outcome a test can force.
enum class Routine {
    CreateDevice,              // IoCreateDevice (returns the status, *DeviceObject = NULL)
    AttachDeviceToDeviceStack, // IoAttachDeviceToDeviceStack (returns NULL; status unused)
    CreateSymbolicLink,        // IoCreateSymbolicLink
    DeleteSymbolicLink,        // IoDeleteSymbolicLink
    RegisterDeviceInterface,   // IoRegisterDeviceInterface
    EnableDeviceInterface,     // IoSetDeviceInterfaceState(..., TRUE)
    DisableDeviceInterface,    // IoSetDeviceInterfaceState(..., FALSE)
    SetDeviceInterfaceProperty // IoSetDeviceInterfacePropertyData
};

// Every call until ClearFailures(), when passed as `count`.
inline constexpr unsigned kEveryCall = 0;

// The next `count` calls of `routine` fail with `status` and change nothing.
void FailRoutine(Routine routine, NTSTATUS status, unsigned count = 1);
void ClearFailures();
// Calls of `routine` since the last reset (failed ones included).
unsigned CallCount(Routine routine);

// MmGetSystemRoutineAddress returns NULL for this exported name (case-sensitive, as the export
// table is), as on a Windows release that does not have the routine.
void HideSystemRoutine(std::string_view name);

// ---- driver objects --------------------------------------------------------------------------

// A driver object as the I/O manager builds it before DriverEntry: every MajorFunction entry
// points to the system's default routine, which completes the request with
// STATUS_INVALID_DEVICE_REQUEST; a DRIVER_EXTENSION with the service key name. Owned by the I/O
// manager until DeleteDriverObject or Reset.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view driverName,
                                  std::u16string_view serviceKeyName);
// Forgets the driver object. A device object of the driver still present is reported.
void DeleteDriverObject(PDRIVER_OBJECT driver);
std::u16string DriverName(PDRIVER_OBJECT driver);

// ---- device objects ------------------------------------------------------------------------

struct DeviceInfo {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    std::u16string name;       // empty for an unnamed device
    PDEVICE_OBJECT attachedTo; // the device below in its stack, or NULL
    ULONG extensionSize;
};

// Live device objects (created and not yet deleted), in creation order.
std::vector<DeviceInfo> Devices();
size_t DeviceCount();
size_t DeviceCount(PDRIVER_OBJECT driver);
// True while `device` was created and has not been deleted.
bool IsLiveDevice(PDEVICE_OBJECT device);
// The device named `name` ("\Device\KwoTarv"), or NULL.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// The top of the stack `device` belongs to (IoGetAttachedDevice).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The device below `device` in its stack, or NULL.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);

// ---- object namespace ------------------------------------------------------------------------

// Symbolic links in the kernel form of their names ("\??\KwoTarvDev") with their targets.
struct SymbolicLink {
    std::u16string name;
    std::u16string target;
};
std::vector<SymbolicLink> SymbolicLinks();
// Target of a link; accepts "\DosDevices\X", "\??\X" and "\GLOBAL??\X".
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);

struct InterfaceProperty {
    DEVPROPKEY key;
    ULONG lcid;
    ULONG flags;
    DEVPROPTYPE type;
    std::vector<uint8_t> data;
};

struct InterfaceInfo {
    std::u16string name; // kernel form, "\??\ROOT#KwoTarv#0000#{c52b5736-...}"
    GUID classGuid;
    PDEVICE_OBJECT pdo;
    bool enabled;
    unsigned enableCount;  // successful enable transitions
    unsigned disableCount; // successful disable transitions (the PnP manager's included)
    bool disabledBySystem; // the PnP manager disabled it after the device was removed
    std::vector<InterfaceProperty> properties;
    // The property with this key, or nullptr.
    const InterfaceProperty* Property(const DEVPROPKEY& key) const;
};
std::vector<InterfaceInfo> Interfaces();
std::optional<InterfaceInfo> FindInterface(std::u16string_view name);
// Disables every enabled interface of `pdo`, as the PnP manager does once a device is removed.
void DisableInterfacesOf(PDEVICE_OBJECT pdo);

// ---- requests sent by the system ---------------------------------------------------------------

// How one request sent through IrpRequest ended.
struct RequestOutcome {
    NTSTATUS returned = 0;        // what IofCallDriver returned to the sender
    bool completed = false;       // the request came back (false: timed out, reported)
    NTSTATUS status = 0;          // IoStatus.Status at completion
    ULONG_PTR information = 0;    // IoStatus.Information at completion
    bool pendingReturned = false; // PendingReturned as it reached the sender
};

// One IRP the simulated system sends (a PnP or power request, a create, a device-control...):
// allocated like IoAllocateIrp(stackSize) (CurrentLocation = StackSize + 1, the current stack
// location one past the last), with the first location the driver sees reachable through
// FirstLocation(). Send() calls IofCallDriver on the device and blocks until the request is
// completed back to the sender, whichever thread completes it. Reported on the way:
//  - a top routine that returned something other than STATUS_PENDING without having completed
//    the request, or with a status other than the one it completed the request with;
//  - at any level, STATUS_PENDING returned without the location marked pending by the time the
//    completion passes it (IoMarkIrpPending, in a completion routine, or the I/O manager's own
//    propagation for a location without a routine), or a location marked pending whose routine
//    returned another status;
//  - completing twice, completing with STATUS_PENDING or with a cancel routine still set,
//    running out of stack locations, writing a location below the request's last one;
//  - a dispatch routine returning with a different critical-region depth or IRQL.
// A request not completed within `timeout` is reported and left to the I/O manager (its memory
// stays valid until Reset, so a late completion does not touch freed memory).
class IrpRequest {
  public:
    explicit IrpRequest(CCHAR stackSize);
    ~IrpRequest();
    IrpRequest(const IrpRequest&) = delete;
    IrpRequest& operator=(const IrpRequest&) = delete;

    PIRP Irp() const { return irp_; }
    // The location the first driver will see (IoGetNextIrpStackLocation before sending).
    PIO_STACK_LOCATION FirstLocation() const;

    RequestOutcome Send(PDEVICE_OBJECT device,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    PIRP irp_;
};

// Requests allocated by the simulator that have not come back to their sender.
size_t OutstandingRequestCount();

// ---- helpers ---------------------------------------------------------------------------------

std::u16string ToU16(const UNICODE_STRING& text);
std::u16string ToU16(PCWSTR text);
// Text of a GUID in the lower-case registry form "{c52b5736-1adb-43d0-9a05-25b5c26cba96}".
std::u16string GuidText(const GUID& guid);
std::string Narrow(std::u16string_view text); // ASCII subset only, for messages

// Forgets every device, driver, link, interface, IRP, remove lock and injected failure; the bus
// devices (their completion threads joined first) and the PnP manager's state go with them.
void Reset();

} // namespace sim::io

// The simulated I/O manager's driver objects: creation and deletion by the loader, the default
// dispatch routine, and their names.
#include "kernel/io/io_manager.hpp"

#include <algorithm>

#include "kernel/debug/faults.hpp"
#include "kernel/io/objects.hpp"
#include "sim_ntddk.h"

namespace sim::io {
namespace objects {

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    // The system's routine for every major function a driver does not handle.
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace objects

using namespace objects;

// ---- driver objects ------------------------------------------------------------------------

PDRIVER_OBJECT CreateDriverObject(std::u16string_view driverName,
                                  std::u16string_view serviceKeyName)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto record = std::make_unique<DriverRecord>();
    record->name = driverName;
    record->serviceKeyName = serviceKeyName;
    DRIVER_OBJECT& object = record->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &record->extension;
    object.DriverName.Buffer = reinterpret_cast<PWSTR>(record->name.data());
    object.DriverName.Length = static_cast<USHORT>(record->name.size() * 2);
    object.DriverName.MaximumLength = object.DriverName.Length;
    for (auto& routine : object.MajorFunction)
        routine = DefaultDispatch;
    record->extension.DriverObject = &object;
    record->extension.ServiceKeyName.Buffer =
        reinterpret_cast<PWSTR>(record->serviceKeyName.data());
    record->extension.ServiceKeyName.Length =
        static_cast<USHORT>(record->serviceKeyName.size() * 2);
    record->extension.ServiceKeyName.MaximumLength = record->extension.ServiceKeyName.Length;
    PDRIVER_OBJECT result = &record->object;
    s.drivers.push_back(std::move(record));
    return result;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    std::string problem;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        auto it = std::find_if(s.drivers.begin(), s.drivers.end(),
                               [driver](const auto& r) { return &r->object == driver; });
        if (it == s.drivers.end())
            return;
        size_t remaining = 0;
        for (auto& device : s.devices)
            if (!device->deleted && device->device->DriverObject == driver)
                ++remaining;
        if (remaining != 0)
            problem = "driver " + Narrow((*it)->name) + " went away with " +
                      std::to_string(remaining) + " device object(s) still present";
        s.drivers.erase(it);
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

std::u16string DriverName(PDRIVER_OBJECT driver)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DriverRecord* record = FindDriver(s, driver);
    return record ? record->name : std::u16string();
}

} // namespace sim::io

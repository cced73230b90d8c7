// The simulated I/O manager's device objects: creation, deletion, stacking, name lookup and
// references, and the queries tests make about them.
#include "kernel/io/io_manager.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/objects.hpp"
#include "sim_ntddk.h"

namespace sim::io {
namespace objects {

PDEVICE_OBJECT TopOfStackLocked(State& s, PDEVICE_OBJECT device)
{
    // Guard against a corrupted chain: at most as many steps as there are devices.
    for (size_t steps = 0;
         device != nullptr && device->AttachedDevice != nullptr && steps <= s.devices.size();
         ++steps)
        device = device->AttachedDevice;
    return device;
}

} // namespace objects

using namespace objects;
using internal::CanonicalLinkName;
using internal::FoldCase;

namespace internal {

PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT busDriver, std::u16string_view instancePath)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    char number[16];
    std::snprintf(number, sizeof(number), "%08u", s.nextPdoNumber++);
    auto record = std::make_unique<DeviceRecord>();
    record->memory = std::make_unique<std::max_align_t[]>(
        (sizeof(DEVICE_OBJECT) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
    std::memset(device, 0, sizeof(*device));
    device->Type = IO_TYPE_DEVICE;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = busDriver;
    device->Flags = DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE | DO_DEVICE_HAS_NAME;
    device->DeviceType = FILE_DEVICE_CONTROLLER;
    device->StackSize = 1;
    device->NextDevice = busDriver->DeviceObject;
    busDriver->DeviceObject = device;
    record->device = device;
    record->name = u"\\Device\\" + std::u16string(number, number + 8);
    record->instancePath = instancePath;
    s.devices.push_back(std::move(record));
    return device;
}

NTSTATUS ReferenceDeviceByName(std::u16string_view path, PDEVICE_OBJECT* device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::u16string name = CanonicalLinkName(path);
    // Follow links (a link may name another link) a bounded number of times.
    for (int hops = 0; hops < 8; ++hops) {
        const std::u16string key = FoldCase(name);
        if (auto link = s.links.find(key); link != s.links.end()) {
            name = CanonicalLinkName(link->second.target);
            continue;
        }
        if (auto itf = s.interfaces.find(key); itf != s.interfaces.end()) {
            if (!itf->second.info.enabled)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            DeviceRecord* pdo = FindRecord(s, itf->second.info.pdo);
            if (pdo == nullptr)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            name = pdo->name;
            continue;
        }
        break;
    }
    const std::u16string key = FoldCase(name);
    for (auto& record : s.devices) {
        if (!record->deleted && !record->name.empty() && FoldCase(record->name) == key) {
            ++record->references;
            *device = record->device;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    if (record == nullptr || record->references == 0)
        return;
    --record->references;
}

size_t ReferenceCount(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    size_t count = 0;
    // Walk to the bottom, then count every device of the stack.
    DeviceRecord* record = FindRecord(s, device);
    while (record != nullptr && record->attachedTo != nullptr)
        record = FindRecord(s, record->attachedTo);
    for (PDEVICE_OBJECT d = record ? record->device : nullptr; d != nullptr; d = d->AttachedDevice)
        if (DeviceRecord* r = FindRecord(s, d))
            count += r->references;
    return count;
}

bool StackInitializing(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    for (size_t steps = 0; device != nullptr && steps <= s.devices.size(); ++steps) {
        if (device->Flags & DO_DEVICE_INITIALIZING)
            return true;
        device = device->AttachedDevice;
    }
    return false;
}

bool DeletePending(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record == nullptr || record->deleted;
}

} // namespace internal

// ---- device queries --------------------------------------------------------------------------

std::vector<DeviceInfo> Devices()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::vector<DeviceInfo> out;
    for (auto& r : s.devices)
        if (!r->deleted)
            out.push_back(
                {r->device, r->device->DriverObject, r->name, r->attachedTo, r->extensionSize});
    return out;
}

size_t DeviceCount()
{
    return Devices().size();
}

size_t DeviceCount(PDRIVER_OBJECT driver)
{
    size_t count = 0;
    for (const auto& info : Devices())
        count += info.driver == driver ? 1 : 0;
    return count;
}

bool IsLiveDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record != nullptr && !record->deleted;
}

PDEVICE_OBJECT FindDevice(std::u16string_view name)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    const std::u16string key = FoldCase(name);
    for (auto& r : s.devices)
        if (!r->deleted && !r->name.empty() && FoldCase(r->name) == key)
            return r->device;
    return nullptr;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    return TopOfStackLocked(s, device);
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record ? record->attachedTo : nullptr;
}

} // namespace sim::io

using namespace sim::io;
using namespace sim::io::objects;
using sim::io::internal::CheckIrql;
using sim::io::internal::FoldCase;

// ---- device objects --------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = nullptr;
    CheckIrql("IoCreateDevice", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::CreateDevice))
        return *failure;
    const bool named = DeviceName != nullptr && DeviceName->Length != 0;
    if (named && !ValidName(DeviceName))
        return STATUS_OBJECT_NAME_INVALID;

    State& s = S();
    std::lock_guard guard(s.mutex);
    if (FindDriver(s, DriverObject) == nullptr) {
        sim::faults::Report("IoCreateDevice with a driver object the I/O manager does not know");
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = named ? ToU16(*DeviceName) : std::u16string();
    if (named) {
        const std::u16string key = FoldCase(name);
        for (auto& r : s.devices)
            if (!r->deleted && !r->name.empty() && FoldCase(r->name) == key)
                return STATUS_OBJECT_NAME_COLLISION;
    }

    auto record = std::make_unique<DeviceRecord>();
    const size_t bytes = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    record->memory = std::make_unique<std::max_align_t[]>((bytes + sizeof(std::max_align_t) - 1) /
                                                          sizeof(std::max_align_t));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
    std::memset(device, 0, sizeof(*device));
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags =
        DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (named ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    if (DeviceExtensionSize != 0) {
        device->DeviceExtension = reinterpret_cast<uint8_t*>(device) + sizeof(DEVICE_OBJECT);
        std::memset(device->DeviceExtension, kExtensionFill, DeviceExtensionSize);
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    record->device = device;
    record->name = name;
    record->extensionSize = DeviceExtensionSize;
    s.devices.push_back(std::move(record));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
    std::vector<std::string> problems;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* record = FindRecord(s, DeviceObject);
        if (record == nullptr || record->deleted) {
            problems.push_back("IoDeleteDevice of a device object that does not exist (deleted "
                               "twice?)");
        } else {
            const std::string name =
                record->name.empty() ? std::string("an unnamed device") : Narrow(record->name);
            if (DeviceObject->AttachedDevice != nullptr) {
                problems.push_back("IoDeleteDevice of " + name +
                                   " while another device is still attached above it");
                if (DeviceRecord* above = FindRecord(s, DeviceObject->AttachedDevice))
                    above->attachedTo = nullptr;
                DeviceObject->AttachedDevice = nullptr;
            }
            if (record->attachedTo != nullptr) {
                problems.push_back("IoDeleteDevice of " + name +
                                   " without IoDetachDevice from the device below");
                record->attachedTo->AttachedDevice = nullptr;
                record->attachedTo = nullptr;
            }
            if (!record->name.empty()) {
                const std::u16string key = FoldCase(record->name);
                for (auto& [linkKey, link] : s.links)
                    if (FoldCase(link.target) == key)
                        problems.push_back("IoDeleteDevice of " + name +
                                           " while the symbolic link " + Narrow(link.name) +
                                           " still names it");
            }
            // Unlink from the driver's device list.
            PDRIVER_OBJECT driver = DeviceObject->DriverObject;
            PDEVICE_OBJECT* link = &driver->DeviceObject;
            size_t steps = 0;
            while (*link != nullptr && *link != DeviceObject && steps++ <= s.devices.size())
                link = &(*link)->NextDevice;
            if (*link == DeviceObject)
                *link = DeviceObject->NextDevice;
            else
                problems.push_back("IoDeleteDevice of " + name +
                                   ": not found in its driver's device list");
            // The name leaves the namespace at once. The memory stays until Reset, so a late
            // call into the deleted device is reported instead of crashing the test.
            record->deleted = true;
        }
    }
    for (const auto& problem : problems)
        sim::faults::Report(problem);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    CheckIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    if (TakeFailure(Routine::AttachDeviceToDeviceStack))
        return nullptr;
    std::string problem;
    PDEVICE_OBJECT top = nullptr;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* source = FindRecord(s, SourceDevice);
        DeviceRecord* target = FindRecord(s, TargetDevice);
        if (source == nullptr || source->deleted || target == nullptr) {
            problem = "IoAttachDeviceToDeviceStack with a device object that does not exist";
        } else if (source->attachedTo != nullptr) {
            problem = "IoAttachDeviceToDeviceStack: the source device is already attached";
        } else {
            top = TopOfStackLocked(s, TargetDevice);
            DeviceRecord* topRecord = FindRecord(s, top);
            if (topRecord == nullptr || topRecord->deleted) {
                top = nullptr; // a stack being torn down takes no new device
            } else {
                top->AttachedDevice = SourceDevice;
                source->attachedTo = top;
                SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
                SourceDevice->AlignmentRequirement =
                    std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
            }
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckIrql("IoDetachDevice", PASSIVE_LEVEL);
    std::string problem;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* target = FindRecord(s, TargetDevice);
        if (target == nullptr) {
            problem = "IoDetachDevice from a device object that does not exist";
        } else if (TargetDevice->AttachedDevice == nullptr) {
            problem = "IoDetachDevice from a device that has nothing attached";
        } else {
            if (DeviceRecord* above = FindRecord(s, TargetDevice->AttachedDevice))
                above->attachedTo = nullptr;
            TargetDevice->AttachedDevice = nullptr;
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

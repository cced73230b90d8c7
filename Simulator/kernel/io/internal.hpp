// What the I/O manager shares with the other parts of the simulated system (the PnP manager,
// the bus driver, the user-mode request path). Not for tests or the driver.
#pragma once

#include <string>
#include <string_view>

#include "nt/io.h"

namespace sim::io::internal {

// Creates a PDO for the bus driver: named "\Device\000000nn", DO_BUS_ENUMERATED_DEVICE and
// DO_POWER_PAGABLE, ready (not initializing), carrying a device instance path. Not subject to
// failure injection.
PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT busDriver, std::u16string_view instancePath);

// Resolves a name as the object manager does for an open: user forms, links, enabled device
// interfaces, device names. On success the device is referenced (DereferenceDevice).
NTSTATUS ReferenceDeviceByName(std::u16string_view path, PDEVICE_OBJECT* device);
void DereferenceDevice(PDEVICE_OBJECT device);
// Number of references (open handles) on the devices of `device`'s stack.
size_t ReferenceCount(PDEVICE_OBJECT device);
// True if `device` or a device above it is still DO_DEVICE_INITIALIZING.
bool StackInitializing(PDEVICE_OBJECT device);
// True once IoDeleteDevice was called for `device`.
bool DeletePending(PDEVICE_OBJECT device);

// Checks that the current IRQL is at most `maximum`; reports `routine` otherwise.
bool CheckIrql(const char* routine, KIRQL maximum);

// Case-insensitive (ASCII upper-case) comparison key, as the object manager compares names.
std::u16string FoldCase(std::u16string_view text);
// "\DosDevices\X", "\GLOBAL??\X", "\\.\X", "\\?\X" -> "\??\X"; anything else unchanged.
std::u16string CanonicalLinkName(std::u16string_view name);

} // namespace sim::io::internal

// Keeps count of the registry keys the driver opens (ZwOpenKey) and closes (ZwClose) under
// Wine, so that a key left open when the driver unloads is reported as a fault, as the host
// build reports it.
#pragma once

namespace kwohal {

// The replacements for the driver's ZwOpenKey and ZwClose imports, given the routines they
// replace.
void* TrackedOpenKey(void* openKey);
void* TrackedClose(void* close);

// Reports the keys still open (call when the driver has been unloaded).
void ReportOpenKeys();

} // namespace kwohal

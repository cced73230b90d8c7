// Wine's winedevice.exe reports its service running before it starts its PnP manager (on the
// service's thread), so the request to load the driver, handled on another thread, can overtake
// it. Wine then creates the driver's root-enumerated device object for a PnP manager that does
// not exist yet: winedevice.exe dies in IoCreateDevice and the device never starts. The HAL
// holds the driver's load, before DriverEntry, until Wine's PnP manager is up.
#pragma once

#include <cstdint>

namespace kwohal {

// Waits until Wine's PnP manager driver has been initialised, for at most `timeoutMs`; returns
// how long it waited, or -1 when it gave up (or this Wine has no such driver).
int64_t WaitForPnpManager(uint32_t timeoutMs);

} // namespace kwohal

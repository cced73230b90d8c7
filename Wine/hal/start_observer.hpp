// Watches the driver complete IRP_MN_START_DEVICE and writes "start status 0x........" to
// hal.log. Windows removes a device whose start failed (the PnP manager sends
// IRP_MN_REMOVE_DEVICE); Wine leaves it in place and openable, so the launcher needs the status
// to do what Windows does.
#pragma once

namespace kwohal {

// The replacement for the driver's IofCompleteRequest import, given the routine it replaces.
void* StartObserver(void* completeRequest);

} // namespace kwohal

// The ioctl command: one raw device-control request.
#pragma once

#include <ostream>

#include "cli/exit_status.hpp"
#include "client/bus_mutex.hpp"
#include "client/device.hpp"
#include "output/ioctl_report.hpp"

namespace kwotarv {

struct IoctlOptions {
    RawRequest request; // CODE, --input, --output-length
    bool json = false;
    BusLock bus; // held around the request: the back end's mutex, --bus-lock-timeout
};

// Exit status 1 when the request ended with an error status. Throws ToolError (kExitFailure)
// when the ISA-bus mutex was not released in time.
int RunIoctl(Device& device, const IoctlOptions& options, std::ostream& out);

} // namespace kwotarv

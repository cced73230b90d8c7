// The ioctl command: one raw request, shown as it came back.
#include "commands/ioctl.hpp"

namespace kwotarv {

int RunIoctl(Device& device, const IoctlOptions& options, std::ostream& out)
{
    const RawRequest& request = options.request;
    Reply reply;
    try {
        BusLockGuard guard(options.bus);
        reply = device.Control(request.code, request.input, request.outputLength);
    } catch (const BusLockTimeout& timeout) {
        throw ToolError(timeout.what(), kExitFailure);
    }
    out << (options.json ? IoctlJson(request, reply).dump(2) + "\n" : IoctlText(request, reply));
    // Warnings such as STATUS_BUFFER_OVERFLOW carry data back; only errors fail the command.
    return IsErrorStatus(reply.status) ? kExitFailure : kExitSuccess;
}

} // namespace kwotarv

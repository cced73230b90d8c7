// The ioctl command: one raw request, shown as it came back.
#include "commands/ioctl.hpp"

namespace kwotarv {

int RunIoctl(Device& device, const IoctlOptions& options, std::ostream& out)
{
    const RawRequest& request = options.request;
    Reply reply = device.Control(request.code, request.input, request.outputLength);
    out << (options.json ? IoctlJson(request, reply).dump(2) + "\n" : IoctlText(request, reply));
    // Warnings such as STATUS_BUFFER_OVERFLOW carry data back; only errors fail the command.
    return IsErrorStatus(reply.status) ? kExitFailure : kExitSuccess;
}

} // namespace kwotarv

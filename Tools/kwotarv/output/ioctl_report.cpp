// Text and JSON forms of a raw request and its reply.
#include "output/ioctl_report.hpp"

#include "client/protocol_names.hpp"
#include "client/text.hpp"
#include "output/format.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

json IoctlJson(const RawRequest& request, const Reply& reply)
{
    return {{"code", HexCode(request.code)},
            {"status", HexStatus(reply.status)},
            {"information", reply.information},
            {"output", HexBytes(reply.output)}};
}

std::string IoctlText(const RawRequest& request, const Reply& reply)
{
    const std::string codeName = ControlCodeName(request.code);
    const std::string statusName = StatusName(reply.status);
    std::string out;
    out +=
        "code         " + HexCode(request.code) + (codeName.empty() ? "" : " " + codeName) + "\n";
    out += "input        " + std::to_string(request.input.size()) + " bytes" +
           (request.input.empty() ? "" : ": " + HexBytes(request.input)) + "\n";
    out += "status       " + HexStatus(reply.status) +
           (statusName.empty() ? "" : " " + statusName) + "\n";
    out += "information  " + std::to_string(reply.information) + "\n";
    out += "output       " + std::to_string(reply.output.size()) + " of " +
           std::to_string(request.outputLength) + " bytes returned\n";
    out += HexDump(reply.output, "  ");
    return out;
}

} // namespace kwotarv

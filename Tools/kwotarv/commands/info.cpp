// The info command: what the driver tells about the chip, and what it published.
#include "commands/info.hpp"

#include "client/hwm_client.hpp"
#include "output/info_report.hpp"

namespace kwotarv {

int RunInfo(Device& device, Backend& backend, const InfoOptions& options, std::ostream& out,
            std::ostream& err)
{
    HwmClient client(device);
    InfoReport info;
    try {
        info.description = client.GetDescription();
    } catch (const RequestError& error) {
        info.errors.push_back(error.what());
    }
    try {
        info.block = DecodeInfoBlock(client.GetChipInfo());
        for (const auto& problem : info.block->problems)
            info.errors.push_back("info block: " + problem);
    } catch (const RequestError& error) {
        info.errors.push_back(error.what());
    }
    info.registry = backend.PublishedValues();

    for (const auto& error : info.errors)
        err << "kwotarv: " << error << "\n";
    out << (options.json ? InfoJson(info).dump(2) + "\n" : InfoText(info));
    return info.errors.empty() ? kExitSuccess : kExitFailure;
}

} // namespace kwotarv

// The device commands, written against the Device and Backend interfaces so that the same code
// serves the real device and the simulated machine.
#include "commands.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <limits>

#include "hwm_client.hpp"
#include "info_block.hpp"
#include "text.hpp"

namespace kwotarv {

namespace {

size_t LineCount(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string WatchHeader(uint64_t reading, const ReadOptions& options)
{
    std::string header = "Reading " + std::to_string(reading);
    if (options.count)
        header += " of " + std::to_string(*options.count);
    if (options.watchSeconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", *options.watchSeconds);
        header += std::string(", every ") + seconds + " s";
    }
    return header + "\n\n";
}

} // namespace

int RunRead(Device& device, const ReadOptions& options, std::ostream& out, std::ostream& err)
{
    HwmClient client(device);
    // Without --watch a single reading; with it, --count readings or until interrupted.
    const bool repeating = options.watchSeconds.has_value() || options.count.value_or(1) > 1;
    const uint64_t total =
        options.count.value_or(options.watchSeconds ? std::numeric_limits<uint64_t>::max() : 1);
    int status = kExitSuccess;
    size_t drawnLines = 0;

    for (uint64_t reading = 1; reading <= total; ++reading) {
        if (reading > 1 && options.watchSeconds)
            SleepSeconds(*options.watchSeconds);
        if (reading > 1 && StopRequested())
            break;
        Readings readings = client.ReadAll();
        for (const auto& error : readings.errors)
            err << "kwotarv: " << error << "\n";
        if (!readings.errors.empty())
            status = kExitFailure;

        if (options.json) {
            // One document, or one document per line when repeating (JSON Lines).
            out << (repeating ? ReadingsJson(readings).dump() : ReadingsJson(readings).dump(2))
                << "\n";
        } else {
            std::string text = ReadingsText(readings);
            if (repeating)
                text = WatchHeader(reading, options) + text;
            if (repeating && options.terminal && drawnLines > 0) {
                // Back over the previous reading, then clear from there down.
                out << "\x1b[" << drawnLines << "A\r\x1b[J";
            } else if (reading > 1) {
                out << "\n";
            }
            out << text;
            drawnLines = LineCount(text);
        }
        out.flush();
    }
    return status;
}

int RunInfo(Device& device, Backend& backend, bool json, std::ostream& out, std::ostream& err)
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
    out << (json ? InfoJson(info).dump(2) + "\n" : InfoText(info));
    return info.errors.empty() ? kExitSuccess : kExitFailure;
}

int RunIoctl(Device& device, const RawRequest& request, bool json, std::ostream& out)
{
    Reply reply = device.Control(request.code, request.input, request.outputLength);
    out << (json ? IoctlJson(request, reply).dump(2) + "\n" : IoctlText(request, reply));
    // Warnings such as STATUS_BUFFER_OVERFLOW carry data back; only errors fail the command.
    return IsErrorStatus(reply.status) ? kExitFailure : kExitSuccess;
}

int WithBackend(const std::function<std::unique_ptr<Backend>()>& makeBackend,
                const std::function<int(Backend&)>& command)
{
    std::unique_ptr<Backend> backend = makeBackend();
    int status = kExitSuccess;
    try {
        status = command(*backend);
    } catch (const ToolError& error) {
        std::cerr << "kwotarv: " << error.what() << "\n";
        status = error.ExitCode();
    }
    std::cout.flush();
    const bool clean = backend->Finish(std::cerr);
    return (status == kExitSuccess && !clean) ? kExitFailure : status;
}

} // namespace kwotarv

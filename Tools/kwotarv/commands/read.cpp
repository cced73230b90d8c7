// The read command in text and JSON: one reading, or a reading every --watch seconds, drawn
// over the previous one on a terminal.
#include "commands/read.hpp"

#include <algorithm>
#include <cstdio>

#include "client/hwm_client.hpp"
#include "commands/watch_pacing.hpp"
#include "output/readings_report.hpp"

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
    HwmClient client(device, options.bus);
    // Without --watch a single reading; with it, --count readings or until interrupted.
    const bool repeating = options.watchSeconds.has_value() || options.count.value_or(1) > 1;
    int status = kExitSuccess;
    bool alarmSeen = false;
    size_t drawnLines = 0;

    ForEachReading(options.watchSeconds, options.count, [&](uint64_t reading) {
        Readings readings = client.ReadAll();
        for (const auto& error : readings.errors)
            err << "kwotarv: " << error << "\n";
        if (!readings.errors.empty())
            status = kExitFailure;
        if (readings.busLockTimedOut)
            return true; // no reading was taken: nothing to show but the error
        alarmSeen = alarmSeen || AlarmCount(readings) > 0;

        if (options.format == OutputFormat::Json) {
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
        return true;
    });
    if (status == kExitSuccess && options.failOnAlarm && alarmSeen)
        status = kExitAlarm;
    return status;
}

} // namespace kwotarv

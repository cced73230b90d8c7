// Pacing of the repeating commands (read --watch, serve): the wait between two readings, and
// Ctrl+C ending the loop after the current reading, so that the session still ends properly
// (on the simulator: removal, unload and the report of what was left behind).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace kwotarv {

// Runs `reading` (with the reading's number from 1) as often as --watch and --count ask: once
// without either, --count times, or with --watch alone until a stop is requested; waits
// --watch seconds between two readings. Ends early when `reading` returns false.
void ForEachReading(std::optional<double> watchSeconds, std::optional<uint64_t> count,
                    const std::function<bool(uint64_t)>& reading);

// Waits between two readings; returns early once a stop was requested.
void SleepSeconds(double seconds);

void InstallStopHandler();
bool StopRequested();
// Asks the running loop (--watch, serve) to end, as Ctrl+C does.
void RequestStop();

} // namespace kwotarv

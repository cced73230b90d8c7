// The session the replacement HAL runs in: a directory, named by the environment variable
// KWOTARV_WINE_SESSION (winedevice.exe takes its environment from the registry's Session
// Manager\Environment), that holds what the launcher prepared and receives what the HAL records:
//   in:  board.json, firmware.bin (the resolved 64 KiB F-segment), kwotarv.sites
//   out: ports.trace (every port operation, the format of `kwotarv --trace-ports`),
//        faults.txt (one fault per line), debug.txt (the driver's DbgPrint output),
//        hal.log (what the HAL did: board, patches, load and unload)
#pragma once

#include <filesystem>
#include <string>

namespace kwohal {

// The session directory; empty when the variable is not set.
const std::filesystem::path& SessionDirectory();

// Appends to hal.log.
void Log(const std::string& line);
// Appends to debug.txt, unchanged.
void Debug(const std::string& text);
// Appends one fault to faults.txt (and to hal.log).
void Fault(const std::string& what);
// Moves everything the hardware models reported (sim::faults) into faults.txt.
void FlushModelFaults();

} // namespace kwohal

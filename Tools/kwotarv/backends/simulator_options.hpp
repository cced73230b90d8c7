// The options of the simulated machine, which every command of the Linux build accepts.
#pragma once

#include <filesystem>
#include <optional>

namespace kwotarv {

// The simulator options every command accepts.
struct SimulatorOptions {
    std::optional<std::filesystem::path> board;       // --board DIR (default: the demo board)
    std::optional<std::filesystem::path> firmware;    // --firmware FILE
    std::optional<std::filesystem::path> registry;    // --registry FILE
    std::optional<std::filesystem::path> tracePorts;  // --trace-ports FILE
    std::optional<std::filesystem::path> registryOut; // --registry-out FILE
    bool debugOutput = false;                         // --debug-output
    // --register-changes FILE: registers written whenever the file's content changes
    std::optional<std::filesystem::path> registerChanges;
};

} // namespace kwotarv

// The configuration check: finds, before a board configuration ships, what would stop the
// device from starting or would make it report less than the integrator configured. It reads
// the configuration from the simulated registry the way the driver loads it: patterns in the
// registry's enumeration order, the first match final, Profile redirection one level deep,
// register indices bounded by the chip's tables, names copied into fixed-size slots.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hardware/super_io.hpp"
#include "board/board.hpp"

namespace sim::machine {

enum class Severity { Error, Warning, Note };

std::string SeverityName(Severity severity); // "error", "warning", "note"

struct Finding {
    Severity severity = Severity::Error;
    std::string path;    // "Product\QIB-*\Voltage\3\RegIndex", or "firmware"
    std::string message; // what is wrong and its consequence
    // The driver's configuration load fails on it: boards this key serves do not start.
    bool stopsStart = false;
};

struct CheckSubject {
    // The chip the configuration is for; None leaves register ranges unchecked.
    hw::ChipKind chip = hw::ChipKind::None;
    // Whether a firmware image was given, and the product name found in it.
    bool firmwareGiven = false;
    std::optional<std::string> productName;
};

// Checks the configuration under the Product key of the simulated registry.
std::vector<Finding> CheckConfiguration(const CheckSubject& subject);

// Puts the simulator back to a fresh boot, imports the board's registry configuration, looks
// for the product name in its firmware (when it has one) and checks. `chip` replaces the
// board's chip when given. Throws BoardError when the registry file cannot be imported.
std::vector<Finding> CheckBoard(const Board& board, std::optional<hw::ChipKind> chip);

size_t CountFindings(const std::vector<Finding>& findings, Severity severity);

} // namespace sim::machine

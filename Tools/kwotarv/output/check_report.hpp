// What `kwotarv check` prints: the board, the chip, every finding and a summary, as text for a
// person or as JSON for a program.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kwotarv {

struct CheckFinding {
    std::string severity; // "error", "warning", "note"
    std::string path;     // the registry key path of the value concerned, or "firmware"
    std::string message;
};

struct CheckReport {
    std::string board;
    std::string chip;
    std::string configurationSource; // where the registry configuration came from; may be empty
    std::vector<CheckFinding> findings;
    size_t errors = 0;
    size_t warnings = 0;
};

nlohmann::ordered_json CheckJson(const CheckReport& report);
std::string CheckText(const CheckReport& report);

} // namespace kwotarv

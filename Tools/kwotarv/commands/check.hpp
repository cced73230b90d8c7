// `kwotarv check` (simulator build): lints a board's configuration before it ships.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "backends/simulator_options.hpp"

namespace kwotarv {

struct CheckOptions {
    std::optional<std::string> chip; // --chip: check for this chip instead of the board's
    bool json = false;
};

// Exit status 1 when the configuration has errors.
int RunCheck(const SimulatorOptions& simulator, const CheckOptions& options, std::ostream& out,
             std::ostream& err);

} // namespace kwotarv

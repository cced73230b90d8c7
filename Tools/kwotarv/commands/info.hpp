// The info command: the description, the voltage list, the decoded info block and the values
// the driver published.
#pragma once

#include <ostream>

#include "backends/backend.hpp"

namespace kwotarv {

struct InfoOptions {
    bool json = false;
};

// Exit status 1 when a request failed or the block departs from its layout.
int RunInfo(Device& device, Backend& backend, const InfoOptions& options, std::ostream& out,
            std::ostream& err);

} // namespace kwotarv

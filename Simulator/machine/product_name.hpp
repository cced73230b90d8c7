// The board's product name as the driver finds it in the firmware image.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim::machine {

// Runs the driver's own search over the F-segment of the current simulated machine and returns
// the name it finds. The driver's kept name is returned as it is when one is held; otherwise
// the search's allocations are given back before returning.
std::optional<std::string> SearchProductName();

// True when the driver's wildcard match accepts `name` for `pattern`.
bool DriverMatches(std::string_view pattern, std::string_view name);

// The family prefixes the driver searches for, for messages: "QIB-, RZV, ... or BEX".
inline constexpr const char* kFamilyPrefixText =
    "QIB-, RZV, WENK, JUVO, KERD, ZYF, OQT, LUW or BEX";

} // namespace sim::machine

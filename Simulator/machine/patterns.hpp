// Questions about the wildcard patterns that name board configurations ("*" any run of
// characters, "?" exactly one, everything else itself, case-sensitive), as the driver's
// WildcardMatch understands them.
#pragma once

#include <string_view>

namespace sim::machine {

// True when every text that `inner` matches is also matched by `outer`: a configuration named
// `inner` that enumerates after `outer` is never chosen.
bool PatternCovers(std::string_view outer, std::string_view inner);

// True when the pattern is made of "*" characters only (it matches every product name).
bool MatchesEverything(std::string_view pattern);

} // namespace sim::machine

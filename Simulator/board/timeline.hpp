// A board's timeline played against the machine's clock: which steps come due while the clock
// moves on.
#pragma once

#include <vector>

#include "board/board.hpp"

namespace sim::machine {

// The steps due at a time after `from` and not after `to` (seconds after power-on), in the order
// they come due. A repeating timeline that the clock passed more than once in that span plays
// only its last whole period: every step writes absolute values, so earlier periods would be
// overwritten anyway.
std::vector<const TimelineStep*> DueSteps(const Timeline& timeline, double from, double to);

} // namespace sim::machine

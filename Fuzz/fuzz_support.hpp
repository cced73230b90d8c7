// What every fuzz target shares: a finding ends the run (libFuzzer then keeps the input), the
// simulator's fault reports and leaked pool allocations are findings, and a machine built
// from the demo board with another registry configuration.
#pragma once

#include <string>
#include <string_view>

#include "machine/machine.hpp"

namespace kwofuzz {

// Prints the finding and aborts, so that libFuzzer saves the input that caused it.
[[noreturn]] void Finding(const std::string& what);

// A finding when the simulator reported a fault (clears them when there are none).
void CheckNoFaults(std::string_view context);

// Ends a machine's life and makes a finding of anything left behind or reported.
void PowerOffClean(sim::machine::Machine& machine, std::string_view context);

// The built-in demo board (Boards/nct6776) with `registryText` as its configuration.
sim::machine::Board DemoBoard(std::string registryText);

// The demo board's registry file.
std::string DemoRegistry();

} // namespace kwofuzz

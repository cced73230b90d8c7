// Puts the whole simulated kernel and hardware back into the state of a fresh boot.
#pragma once

namespace sim {

void ResetAll();

} // namespace sim

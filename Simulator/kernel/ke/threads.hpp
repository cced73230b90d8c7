// Per-thread kernel state: IRQL and the critical-region count.
#pragma once

#include <cstdint>

namespace sim::threads {

int CriticalRegionDepth();
uint8_t CurrentIrql();
void SetCurrentIrql(uint8_t irql);

} // namespace sim::threads

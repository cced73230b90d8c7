// The driver's pool routines under Wine go to the host build's simulated pool
// (Simulator/kernel/pool/pool.cpp): new memory filled with the pattern, a guard zone after each
// block, tags checked on free, and what is outstanding when the driver unloads reported as a
// fault, exactly as on the host build.
#pragma once

namespace kwohal {

// The replacement for the named ntoskrnl pool routine (ExAllocatePoolWithTag, ExFreePool,
// ExFreePoolWithTag), or nullptr for another name.
void* PoolRoutine(const char* name);

// Reports every allocation still outstanding (call when the driver has been unloaded).
void ReportPoolLeftovers();

} // namespace kwohal

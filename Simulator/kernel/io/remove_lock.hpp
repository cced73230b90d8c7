// Test-facing view of the simulated remove locks (the routines themselves are in nt/io.h).
#pragma once

#include <cstddef>

#include "nt/io.h"

namespace sim::io {

// References currently held on `lock` through IoAcquireRemoveLockEx (the initial bias is not
// counted).
size_t RemoveLockHolders(PIO_REMOVE_LOCK lock);
// True once IoReleaseRemoveLockAndWaitEx began on `lock`.
bool RemoveLockRemoved(PIO_REMOVE_LOCK lock);
// Forgets every lock (part of the I/O manager's Reset).
void ResetRemoveLocks();

} // namespace sim::io

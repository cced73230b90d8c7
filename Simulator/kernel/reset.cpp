// A fresh boot: every subsystem back to its initial state. Order matters: objects that hold
// pool memory go before the pool itself.
#include "reset.hpp"

#include "debug.hpp"
#include "faults.hpp"
#include "pool.hpp"

namespace sim {

void ResetAll()
{
    // Subsystems holding pool memory reset here, before the pool.
    pool::Reset();
    debug::Clear();
    faults::Clear();
}

} // namespace sim

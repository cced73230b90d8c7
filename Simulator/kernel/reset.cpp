// A fresh boot: every subsystem back to its initial state. Order matters: objects that hold
// pool memory go before the pool itself.
#include "reset.hpp"

#include "debug.hpp"
#include "device_io.hpp"
#include "faults.hpp"
#include "io_manager.hpp"
#include "pool.hpp"
#include "registry.hpp"
#include "hardware/hardware.hpp"

namespace sim {

void ResetAll()
{
    // Subsystems holding pool memory reset here, before the pool.
    io::Reset();
    io::SetSystemBufferFill(io::kSystemBufferFill);
    registry::Reset();
    pool::Reset();
    hw::Reset();
    debug::Clear();
    faults::Clear();
}

} // namespace sim

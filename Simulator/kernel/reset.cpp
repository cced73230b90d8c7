// A fresh boot: every subsystem back to its initial state. Order matters: objects that hold
// pool memory go before the pool itself.
#include "kernel/reset.hpp"

#include "kernel/debug/debug.hpp"
#include "kernel/io/device_io.hpp"
#include "kernel/debug/faults.hpp"
#include "kernel/io/io_manager.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "kernel/rtl/version.hpp"
#include "hardware/hardware.hpp"

namespace sim {

void ResetAll()
{
    // Subsystems holding pool memory reset here, before the pool.
    io::Reset();
    io::SetSystemBufferFill(io::kSystemBufferFill);
    registry::Reset();
    pool::Reset();
    rtl::ResetSystemVersion();
    hw::Reset();
    debug::Clear();
    faults::Clear();
}

} // namespace sim

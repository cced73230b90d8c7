// Re-initialises the driver's global data, as the loader does when it maps a fresh image.
#include "machine/driver_image.hpp"

#include "control/globals.h"

namespace sim::machine {

void ReloadDriverImage()
{
    Globals = GlobalsAtLoad;
}

} // namespace sim::machine

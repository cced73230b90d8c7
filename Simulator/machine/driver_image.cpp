// Re-initialises the driver's global data, as the loader does when it maps a fresh image.
#include "machine/driver_image.hpp"

#include "chip/chip.h"
#include "chip/chip_profile.h"
#include "config/firmware.h"
#include "lifecycle/lifecycle.h"

namespace sim::machine {

void ReloadDriverImage()
{
    FirmwareImage = nullptr;
    ProductName = nullptr;
    SioIndexPort = SIO_PRIMARY_INDEX_PORT;
    SioDataPort = SIO_PRIMARY_DATA_PORT;
    RegistryPath = UNICODE_STRING{};
}

} // namespace sim::machine

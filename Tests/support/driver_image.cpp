// The driver's globals at load time. The pool has been reset before this runs, so pointers into
// it are simply forgotten.
#include "driver_image.hpp"

#include "chip/chip.h"
#include "config/firmware.h"
#include "lifecycle/lifecycle.h"

void ReloadDriverImage()
{
    SioIndexPort = 0x2E;
    SioDataPort = 0x2F;
    FirmwareImage = nullptr;
    ProductName = nullptr;
    RegistryPath = UNICODE_STRING{};
}

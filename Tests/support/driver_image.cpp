// The driver's globals at load time. The pool has been reset before this runs, so pointers into
// it are simply forgotten.
#include "driver_image.hpp"

#include "chip/chip.h"
#include "config/firmware.h"
#include "lifecycle/lifecycle.h"

// TEMPORARY while the subsystems land: weak so the suite links before every global exists.
extern ULONG SioIndexPort __attribute__((weak));
extern ULONG SioDataPort __attribute__((weak));
extern PUCHAR FirmwareImage __attribute__((weak));
extern PCHAR ProductName __attribute__((weak));
extern UNICODE_STRING RegistryPath __attribute__((weak));

void ReloadDriverImage()
{
    if (&SioIndexPort != nullptr) {
        SioIndexPort = 0x2E;
        SioDataPort = 0x2F;
    }
    if (&FirmwareImage != nullptr) {
        FirmwareImage = nullptr;
        ProductName = nullptr;
    }
    if (&RegistryPath != nullptr)
        RegistryPath = UNICODE_STRING{};
}

// The driver-wide state, kept in one structure: what every device of the driver shares for the
// driver's whole life, from load to unload.
#pragma once

#include "../kernel.h"

typedef struct _DRIVER_GLOBALS {
    // Copy of the service key path given at load; read by AddDevice, freed by unload.
    UNICODE_STRING RegistryPath;
    // The Super I/O configuration port pair. It starts at 0x2E/0x2F and moves to 0x4E/0x4F for
    // good the first time no supported chip answers at the primary pair.
    ULONG SioIndexPort;
    ULONG SioDataPort;
    // The firmware image copy, held only for the length of one product-name search.
    PUCHAR FirmwareImage;
    // The board's product name, kept after a successful match until unload.
    PCHAR ProductName;
    // The pool type of non-paged allocations: NonPagedPoolNx where the system knows it
    // (Windows 8 and later), so that no block is executable; NonPagedPool before.
    POOL_TYPE NonPagedPoolType;
} DRIVER_GLOBALS, *PDRIVER_GLOBALS;

extern DRIVER_GLOBALS Globals;
// What Globals holds in a freshly loaded image; a loader that maps the image again (the host
// build's simulated system) puts it back.
extern const DRIVER_GLOBALS GlobalsAtLoad;

// Board identification: the product name found in the firmware image and wildcard patterns
// matched against it.
#pragma once

#include "../control/device.h"

#define FIRMWARE_IMAGE_BASE 0xF0000
#define FIRMWARE_IMAGE_LENGTH 0xFFFF

extern PUCHAR FirmwareImage;
extern PCHAR ProductName;

BOOLEAN MatchProductName(PCSTR Pattern);
VOID ReleaseProductName(VOID);
BOOLEAN FindProductName(VOID);
BOOLEAN LoadFirmwareImage(VOID);
BOOLEAN FindBytes(const UCHAR* Data, ULONG DataLength, const UCHAR* Needle, ULONG NeedleLength,
                  PULONG Offset);
int WildcardMatch(PCSTR Pattern, PCSTR Text);

// Board identification: the product name found in the firmware image and wildcard patterns
// matched against it.
#pragma once

#include "../control/device.h"

#define FIRMWARE_IMAGE_BASE 0xF0000
#define FIRMWARE_IMAGE_LENGTH 0xFFFF

// What one configuration load knows of the board's product name between its pattern tests:
// the firmware is searched at most once per load (again only after a search that could not
// run for lack of a mapping or pool).
typedef struct _BOARD_IDENTITY {
    BOOLEAN SearchedThisLoad; // ProductName was worked out from the firmware during this load
    BOOLEAN NoName;           // the firmware was searched and holds no product name
} BOARD_IDENTITY, *PBOARD_IDENTITY;

BOOLEAN MatchBoardPattern(PCSTR Pattern, PBOARD_IDENTITY Identity);
VOID BoardPatternMismatched(PBOARD_IDENTITY Identity);
VOID EndBoardIdentification(PBOARD_IDENTITY Identity, BOOLEAN Matched);

BOOLEAN MatchProductName(PCSTR Pattern);
VOID ReleaseProductName(VOID);
BOOLEAN FindProductName(VOID);
BOOLEAN LoadFirmwareImage(VOID);
BOOLEAN FindBytes(const UCHAR* Data, ULONG DataLength, const UCHAR* Needle, ULONG NeedleLength,
                  PULONG Offset);
int WildcardMatch(PCSTR Pattern, PCSTR Text);

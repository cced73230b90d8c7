// Per-chip knowledge as constant data, shared by detection and register access inside the chip
// subsystem: which ID byte names which chip, each chip's profile (voltage step, register
// tables, battery-voltage control register) and each chip's "is word sized" predicate.
#pragma once

#include "chip.h"

#define KWO_COUNT_OF(Array) (sizeof(Array) / sizeof((Array)[0]))

// Configuration interface: the two port pairs, the keys and the registers detection uses.
#define SIO_PRIMARY_INDEX_PORT 0x2E
#define SIO_PRIMARY_DATA_PORT 0x2F
#define SIO_SECONDARY_INDEX_PORT 0x4E
#define SIO_SECONDARY_DATA_PORT 0x4F
#define SIO_ENTER_KEY 0x87
#define SIO_EXIT_KEY 0xAA
#define SIO_REG_LOGICAL_DEVICE 0x07
#define SIO_REG_CHIP_ID 0x20
#define SIO_REG_ACTIVATION 0x30
#define SIO_REG_BASE_HIGH 0x60
#define SIO_REG_BASE_LOW 0x61
#define SIO_HWM_LOGICAL_DEVICE 0x0B
#define SIO_ACTIVATE 0x01

// Hardware monitor: port offsets from the base and the fixed registers.
#define HWM_INDEX_PORT_OFFSET 5
#define HWM_DATA_PORT_OFFSET 6
#define HWM_REG_BANK_SELECT 0x4E
#define HWM_NCT5523_SHARED_LOW 0x16

// Register numbers: bank in the high byte, register within the bank in the low byte.
#define HWM_BANK(Register) ((UCHAR)((USHORT)(Register) >> 8))
#define HWM_INDEX(Register) ((UCHAR)((Register)&0xFF))

typedef struct _CHIP_PROFILE {
    ULONG ChipType;
    ULONG VoltageLsb; // millivolts per count of a voltage register
    const USHORT* VoltageRegs;
    ULONG VoltageRegCount;
    const USHORT* TempRegs;
    ULONG TempRegCount;
    const USHORT* FanRegs; // NULL when the chip has no fan table
    ULONG FanRegCount;
    BOOLEAN HasVbatControl;
    USHORT VbatControlRegister; // bit 0 enables battery-voltage monitoring
} CHIP_PROFILE;

// The profile of the chip that answers with this ID byte, or NULL for an unsupported chip.
const CHIP_PROFILE* ChipProfileFromId(UCHAR ChipId);
// The profile of a chip type code, or NULL for CHIP_NONE and unknown codes.
const CHIP_PROFILE* ChipProfileFromType(ULONG ChipType);

// One "is word sized" predicate per chip family: TRUE when the register holds 16 bits.
BOOLEAN W83627IsWordRegister(USHORT Register);
BOOLEAN Nct6776IsWordRegister(USHORT Register);
BOOLEAN Nct5523IsWordRegister(USHORT Register);

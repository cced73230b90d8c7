// Per-chip knowledge as constant data: which ID byte names which chip, and one profile per chip
// holding everything the driver knows about it (description text, voltage step, register
// tables, register width rule, fixed input scaling, temperature reading variant, battery-voltage
// control register). The routines of every subsystem read the profile; none of them names a
// chip. A new chip is one row of ChipIds, one profile row and its register tables.
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

// Register numbers: bank in the high byte, register within the bank in the low byte.
#define HWM_BANK(Register) ((UCHAR)((USHORT)(Register) >> 8))
#define HWM_INDEX(Register) ((UCHAR)((Register)&0xFF))

// An inclusive range of register numbers (bank included).
typedef struct _HWM_REGISTER_RANGE {
    USHORT First;
    USHORT Last;
} HWM_REGISTER_RANGE;

// Fixed input scaling of one voltage input: the raw value of a register whose low byte is
// RegisterLow (the bank plays no part) becomes raw * Multiplier / Divisor, unsigned 32-bit.
typedef struct _VOLTAGE_INPUT_SCALE {
    UCHAR RegisterLow;
    ULONG Multiplier;
    ULONG Divisor;
} VOLTAGE_INPUT_SCALE;

typedef struct _CHIP_PROFILE {
    ULONG ChipType;
    PCWSTR Description; // ChipDesc and the info block's description
    ULONG VoltageLsb;   // millivolts per count of a voltage register
    const USHORT* VoltageRegs;
    ULONG VoltageRegCount;
    const USHORT* TempRegs;
    ULONG TempRegCount;
    const USHORT* FanRegs; // NULL when the chip has no fan table
    ULONG FanRegCount;
    // The register width rule: the registers that are 16 bits wide; all others are 8-bit.
    const HWM_REGISTER_RANGE* WordRegisters;
    ULONG WordRegisterCount;
    // Inputs behind an on-board divider that a channel's R1/R2 do not describe.
    const VOLTAGE_INPUT_SCALE* InputScales;
    ULONG InputScaleCount;
    // Non-zero on chips whose 16-bit temperatures keep their low-order bit in one register of
    // bank 0 shared by all of them (HwmReadRegisterNct5523); 0 when a 16-bit register holds its
    // low byte in the next register.
    UCHAR SharedLowRegister;
    // The temperature reading variant: TRUE when only the first temperature channel may name an
    // outside source and the second is always read from its chip register.
    BOOLEAN SecondTempFromRegister;
    BOOLEAN HasVbatControl;
    USHORT VbatControlRegister; // bit 0 enables battery-voltage monitoring
} CHIP_PROFILE;

// The profile of the chip that answers with this ID byte, or NULL for an unsupported chip.
const CHIP_PROFILE* ChipProfileFromId(UCHAR ChipId);
// The profile of a chip type code, or NULL for CHIP_NONE and unknown codes.
const CHIP_PROFILE* ChipProfileFromType(ULONG ChipType);
// The description text of a chip type; a type without a profile reads as the default chip.
PCWSTR ChipDescription(ULONG ChipType);

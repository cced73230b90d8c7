// Banked access to the hardware-monitor registers through the index port (base + 5) and the
// data port (base + 6). Every access selects the bank of its register first and ends by
// selecting bank 0, so that between accesses the chip sits in bank 0 with its index at the
// bank-select register. Nothing is cached: every call goes to the chip.
//
// Each complete access runs between HwmBeginAccess and HwmEndAccess; whole accesses can be
// serialised there without touching the callers.
#include "chip_profile.h"

static VOID HwmWriteIndex(PDEVICE_EXTENSION Extension, UCHAR Index)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(Extension->HwmBase + HWM_INDEX_PORT_OFFSET), Index);
}

static VOID HwmWriteData(PDEVICE_EXTENSION Extension, UCHAR Value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(Extension->HwmBase + HWM_DATA_PORT_OFFSET), Value);
}

static UCHAR HwmReadData(PDEVICE_EXTENSION Extension)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(Extension->HwmBase + HWM_DATA_PORT_OFFSET));
}

// Opens an access to Register: selects its bank and then the register within the bank.
static VOID HwmBeginAccess(PDEVICE_EXTENSION Extension, USHORT Register)
{
    HwmSelectBank(Extension, Register);
    HwmWriteIndex(Extension, HWM_INDEX(Register));
}

// Closes an access: back to bank 0.
static VOID HwmEndAccess(PDEVICE_EXTENSION Extension)
{
    HwmSelectBank(Extension, 0);
}

// Selects the bank named by the high byte of Register.
VOID HwmSelectBank(PDEVICE_EXTENSION Extension, USHORT Register)
{
    HwmWriteIndex(Extension, HWM_REG_BANK_SELECT);
    HwmWriteData(Extension, HWM_BANK(Register));
}

// TRUE when Register is 16 bits wide on the detected chip, by its profile's width rule; no port
// operation. A chip type without a profile has only 8-bit registers.
BOOLEAN HwmIsWordRegister(PDEVICE_EXTENSION Extension, USHORT Register)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);

    if (profile == NULL) {
        return FALSE;
    }
    for (ULONG i = 0; i < profile->WordRegisterCount; i++) {
        if (Register >= profile->WordRegisters[i].First &&
            Register <= profile->WordRegisters[i].Last) {
            return TRUE;
        }
    }
    return FALSE;
}

// Reads exactly one register, whatever its width.
UCHAR HwmReadByte(PDEVICE_EXTENSION Extension, USHORT Register)
{
    UCHAR value;

    HwmBeginAccess(Extension, Register);
    value = HwmReadData(Extension);
    HwmEndAccess(Extension);
    return value;
}

// Reads a register; a 16-bit one holds its high byte at Register and its low byte at the next
// register of the same bank.
USHORT HwmReadRegister(PDEVICE_EXTENSION Extension, USHORT Register)
{
    BOOLEAN wide = HwmIsWordRegister(Extension, Register);
    USHORT value;

    HwmBeginAccess(Extension, Register);
    value = HwmReadData(Extension);
    if (wide) {
        HwmWriteIndex(Extension, (UCHAR)(HWM_INDEX(Register) + 1));
        value = (USHORT)((value << 8) | HwmReadData(Extension));
    }
    HwmEndAccess(Extension);
    return value;
}

// Reads a register of a chip whose 16-bit temperatures keep only one low-order bit, the half
// degree, in a register shared by all of them (the NCT5523D: 0x10-0x15 share register 0x16).
// Bit n of the shared register belongs to register 0x10 + n, n being the low three bits of the
// register number (0x10 -> bit 0, ..., 0x15 -> bit 5). That bit becomes bit 7 of the result,
// bits 0-6 are zero. On a chip without a shared register this is HwmReadRegister.
USHORT HwmReadRegisterNct5523(PDEVICE_EXTENSION Extension, USHORT Register)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);
    BOOLEAN wide = HwmIsWordRegister(Extension, Register);
    USHORT value;
    UCHAR shared;

    if (profile == NULL || profile->SharedLowRegister == 0) {
        return HwmReadRegister(Extension, Register);
    }
    HwmBeginAccess(Extension, Register);
    value = HwmReadData(Extension);
    if (wide) {
        HwmWriteIndex(Extension, profile->SharedLowRegister);
        shared = HwmReadData(Extension);
        value = (USHORT)((value << 8) | (((shared >> (Register & 0x07)) & 0x01) << 7));
    }
    HwmEndAccess(Extension);
    return value;
}

// Reads a temperature register into 1/256 degree: the high byte holds whole degrees in two's
// complement, the low byte the fraction. An 8-bit register's content moves to the high byte.
// Chips with a shared low-order register read their temperatures through it.
SHORT HwmReadTemperature(PDEVICE_EXTENSION Extension, USHORT Register)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);
    USHORT value;

    if (profile != NULL && profile->SharedLowRegister != 0) {
        value = HwmReadRegisterNct5523(Extension, Register);
    } else {
        value = HwmReadRegister(Extension, Register);
    }

    if (!HwmIsWordRegister(Extension, Register)) {
        value = (USHORT)(value << 8);
    }
    return (SHORT)value;
}

// Writes a register; a 16-bit one gets the high byte first and the low byte into the next
// register of the same bank, an 8-bit one only the low byte of Value.
VOID HwmWriteRegister(PDEVICE_EXTENSION Extension, USHORT Register, USHORT Value)
{
    BOOLEAN wide = HwmIsWordRegister(Extension, Register);

    HwmBeginAccess(Extension, Register);
    if (wide) {
        HwmWriteData(Extension, (UCHAR)(Value >> 8));
        HwmWriteIndex(Extension, (UCHAR)(HWM_INDEX(Register) + 1));
    }
    HwmWriteData(Extension, (UCHAR)(Value & 0xFF));
    HwmEndAccess(Extension);
}

// Switches battery-voltage monitoring on: sets bit 0 of the chip's VBAT monitor control
// register, writing the other bits back as read. Chips without that register are left alone.
VOID HwmEnableVbatMonitor(PDEVICE_EXTENSION Extension)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);
    USHORT control;

    if (profile == NULL || !profile->HasVbatControl) {
        return;
    }
    control = HwmReadRegister(Extension, profile->VbatControlRegister);
    HwmWriteRegister(Extension, profile->VbatControlRegister, (USHORT)(control | 0x01));
}

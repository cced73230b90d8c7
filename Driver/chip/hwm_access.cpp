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

// TRUE when Register is 16 bits wide on the detected chip; no port operation.
BOOLEAN HwmIsWordRegister(PDEVICE_EXTENSION Extension, USHORT Register)
{
    switch (Extension->ChipType) {
    case CHIP_W83627DHG:
    case CHIP_W83627HF:
        return W83627IsWordRegister(Register);
    case CHIP_NCT6776:
        return Nct6776IsWordRegister(Register);
    case CHIP_NCT5523D:
        return Nct5523IsWordRegister(Register);
    default:
        return FALSE;
    }
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

// Reads a register of the NCT5523D. Its 16-bit temperatures 0x10-0x15 keep only one low-order
// bit, the half degree, and all six share register 0x16 for it: bit n of register 0x16 belongs
// to register 0x10 + n, n being the low three bits of the register number (0x10 -> bit 0,
// 0x11 -> bit 1, ..., 0x15 -> bit 5). That bit becomes bit 7 of the result, bits 0-6 are zero.
USHORT HwmReadRegisterNct5523(PDEVICE_EXTENSION Extension, USHORT Register)
{
    BOOLEAN wide = HwmIsWordRegister(Extension, Register);
    USHORT value;
    UCHAR shared;

    HwmBeginAccess(Extension, Register);
    value = HwmReadData(Extension);
    if (wide) {
        HwmWriteIndex(Extension, HWM_NCT5523_SHARED_LOW);
        shared = HwmReadData(Extension);
        value = (USHORT)((value << 8) | (((shared >> (Register & 0x07)) & 0x01) << 7));
    }
    HwmEndAccess(Extension);
    return value;
}

// Reads a temperature register into 1/256 degree: the high byte holds whole degrees in two's
// complement, the low byte the fraction. An 8-bit register's content moves to the high byte.
SHORT HwmReadTemperature(PDEVICE_EXTENSION Extension, USHORT Register)
{
    USHORT value;

    if (Extension->ChipType == CHIP_NCT5523D) {
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

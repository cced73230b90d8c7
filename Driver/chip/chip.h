// Chip access: detection of the Super I/O chip through its configuration ports, the per-chip
// register tables, and banked access to the hardware-monitor registers.
#pragma once

#include "../control/device.h"

VOID SioEnterConfig(VOID);
VOID SioExitConfig(VOID);
UCHAR SioReadConfig(UCHAR Register);
VOID SioSelectHwmDevice(VOID);
BOOLEAN DetectChip(PDEVICE_EXTENSION Extension);

// Register tables; a register number is the bank in the high byte and the register below it.
extern const USHORT HwmVoltageRegs[9];
extern const USHORT HwmTempRegs[9];
extern const USHORT Nct6776FanRegs[5];
extern const USHORT Nct5523VoltageRegs[8];
extern const USHORT Nct5523TempRegs[9];
extern const USHORT Nct5523FanRegs[3];

VOID HwmSelectBank(PDEVICE_EXTENSION Extension, USHORT Register);
BOOLEAN HwmIsWordRegister(PDEVICE_EXTENSION Extension, USHORT Register);
UCHAR HwmReadByte(PDEVICE_EXTENSION Extension, USHORT Register);
USHORT HwmReadRegister(PDEVICE_EXTENSION Extension, USHORT Register);
USHORT HwmReadRegisterNct5523(PDEVICE_EXTENSION Extension, USHORT Register);
SHORT HwmReadTemperature(PDEVICE_EXTENSION Extension, USHORT Register);
VOID HwmWriteRegister(PDEVICE_EXTENSION Extension, USHORT Register, USHORT Value);
VOID HwmEnableVbatMonitor(PDEVICE_EXTENSION Extension);

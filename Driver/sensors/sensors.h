// Sensor readings: voltages, fans and temperatures taken from the chip and from the two
// temperature sources outside it. Results land in the reading arrays of the DEVICE_EXTENSION.
#pragma once

#include "../control/device.h"

VOID SampleVoltages(PDEVICE_EXTENSION Extension);
VOID SampleFans(PDEVICE_EXTENSION Extension);
VOID ScaleVoltageInput(PDEVICE_EXTENSION Extension, USHORT RegisterLow, PULONG Value);

VOID SampleTemperatures(PDEVICE_EXTENSION Extension);
VOID SampleTemperaturesNct5523(PDEVICE_EXTENSION Extension);

typedef BOOLEAN (*TEMPERATURE_SOURCE)(PDEVICE_EXTENSION Extension, PLONG Value);
extern const TEMPERATURE_SOURCE TemperatureSources[2];

BOOLEAN ReadCpuThermalStatus(PDEVICE_EXTENSION Extension, PLONG Value);
BOOLEAN ReadNorthbridgeTemperature(PDEVICE_EXTENSION Extension, PLONG Value);
VOID ReadMsr(ULONG Register, PULONG High, PULONG Low);
ULONG ReadPciConfigDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Offset);

// Temperature readings: the first two channels of the temperature list, each read from a chip
// register or from one of the two sources outside the chip (the processor's digital thermal
// sensor, the northbridge's temperature register), in tenths of a degree Celsius.
#include "sensors.h"

#include "../chip/chip.h"
#include "../config/channel.h"

#define MSR_IA32_THERM_STATUS 0x19C
#define THERM_STATUS_READING_VALID 0x80000000u
#define CPUID_LEAF_THERMAL_POWER 6
#define CPUID_DIGITAL_THERMAL_SENSOR 0x00000001u

#define NORTHBRIDGE_BUS 0
#define NORTHBRIDGE_DEVICE 0x18
#define NORTHBRIDGE_FUNCTION 3
#define NORTHBRIDGE_TEMPERATURE_REGISTER 0xA4

// Indexed by a channel's FunctionIndex.
const TEMPERATURE_SOURCE TemperatureSources[2] = {
    ReadCpuThermalStatus,
    ReadNorthbridgeTemperature,
};

// A register value in 1/256 degree becomes whole half degrees (signed division, truncating
// toward zero), each worth five tenths.
static inline LONG RegisterToTenths(SHORT Value)
{
    return ((LONG)Value / 128) * 5;
}

// Reads one channel into tenths of a degree, its offset included. AllowSource is FALSE where
// the channel's FunctionIndex must not be consulted (the second channel on the NCT5523D).
static LONG ReadTemperatureChannel(PDEVICE_EXTENSION Extension, const SENSOR_CHANNEL* Channel,
                                   BOOLEAN AllowSource)
{
    LONG value = 0;

    if (AllowSource && (Channel->FunctionIndex == 0 || Channel->FunctionIndex == 1)) {
        LONG sourced = 0;
        if (TemperatureSources[Channel->FunctionIndex](Extension, &sourced))
            value = sourced;
    } else if (Channel->RegIndex < Extension->TempRegCount) {
        value =
            RegisterToTenths(HwmReadTemperature(Extension, Extension->TempRegs[Channel->RegIndex]));
    }

    // Two's-complement wrap, as the 32-bit slot holds it; computed unsigned to stay defined.
    if (Channel->Offset != 0)
        value = (LONG)((ULONG)value + (ULONG)Channel->Offset * 10);

    return value;
}

// Both variants: clear the three slots, then fill slot 0 from channel 0 and slot 1 from
// channel 1 when the list holds them. Slot 2 stays 0.
static VOID SampleTemperatureChannels(PDEVICE_EXTENSION Extension, BOOLEAN SecondMayUseSource)
{
    if (Extension == NULL || Extension->TempRegs == NULL)
        return;

    RtlZeroMemory(Extension->Temperatures, sizeof(Extension->Temperatures));

    const SENSOR_CHANNEL_LIST* list = Extension->TempChannels;
    if (list == NULL)
        return;

    if (Extension->HasTemp1 != 0 && list->Count >= 1)
        Extension->Temperatures[0] = ReadTemperatureChannel(Extension, &list->Channels[0], TRUE);

    if (Extension->HasTemp2 != 0 && list->Count >= 2)
        Extension->Temperatures[1] =
            ReadTemperatureChannel(Extension, &list->Channels[1], SecondMayUseSource);
}

// SampleTemperatures
//
// Every chip but the NCT5523D: both channels may name an outside source.
VOID SampleTemperatures(PDEVICE_EXTENSION Extension)
{
    SampleTemperatureChannels(Extension, TRUE);
}

// SampleTemperaturesNct5523
//
// The NCT5523D: only the first channel may name an outside source; the second is always read
// from its chip register.
VOID SampleTemperaturesNct5523(PDEVICE_EXTENSION Extension)
{
    SampleTemperatureChannels(Extension, FALSE);
}

// Whether the processor reports a digital thermal sensor (CPUID leaf 6, EAX bit 0), and with
// it the thermal status register. Reading that register on a processor without it faults.
static BOOLEAN ProcessorHasThermalStatus(VOID)
{
    int info[4];

    __cpuid(info, 0);
    if ((ULONG)info[0] < CPUID_LEAF_THERMAL_POWER)
        return FALSE;

    __cpuid(info, CPUID_LEAF_THERMAL_POWER);
    return ((ULONG)info[0] & CPUID_DIGITAL_THERMAL_SENSOR) != 0;
}

// ReadCpuThermalStatus
//
// The processor's digital readout counts whole degrees below the maximum junction temperature,
// which the first temperature channel's TjMax supplies (whichever channel named this source).
// Returns FALSE without a reading when TjMax is 0, the processor has no thermal status
// register, or the register's reading-valid bit is clear.
BOOLEAN ReadCpuThermalStatus(PDEVICE_EXTENSION Extension, PLONG Value)
{
    if (Extension == NULL || Value == NULL)
        return FALSE;

    const SENSOR_CHANNEL_LIST* list = Extension->TempChannels;
    if (list == NULL || list->Count == 0)
        return FALSE;

    LONG tjmax = list->Channels[0].TjMax;
    if (tjmax == 0)
        return FALSE;

    if (!ProcessorHasThermalStatus())
        return FALSE;

    ULONG high = 0;
    ULONG status = 0;
    ReadMsr(MSR_IA32_THERM_STATUS, &high, &status);
    if ((status & THERM_STATUS_READING_VALID) == 0)
        return FALSE;

    LONG dsr = (LONG)((status >> 16) & 0x7F);
    LONG degrees = (LONG)((ULONG)tjmax - (ULONG)dsr);
    DbgPrint("thermal_status:0x%X, dsr:%d, tjmax:%d, ulValue:%d\n", status, dsr, tjmax, degrees);

    *Value = (LONG)((ULONG)degrees * 10);
    return TRUE;
}

// ReadNorthbridgeTemperature
//
// Bits 31..21 of the northbridge's temperature control register hold the current temperature
// in eighths of a degree: whole degrees in 31..24, eighths in 23..21. The configuration read is
// not checked; a read that transfers nothing gives 0.0 degrees.
BOOLEAN ReadNorthbridgeTemperature(PDEVICE_EXTENSION Extension, PLONG Value)
{
    if (Extension == NULL || Value == NULL)
        return FALSE;

    ULONG v = ReadPciConfigDword(NORTHBRIDGE_BUS, NORTHBRIDGE_DEVICE, NORTHBRIDGE_FUNCTION,
                                 NORTHBRIDGE_TEMPERATURE_REGISTER);
    ULONG whole = (v >> 24) & 0xFF;
    ULONG eighths = (v >> 21) & 7;

    *Value = (LONG)(whole * 10 + ((eighths * 100) >> 3) / 10);
    return TRUE;
}

// ReadMsr
//
// Reads a model-specific register of the current processor into its two 32-bit halves.
VOID ReadMsr(ULONG Register, PULONG High, PULONG Low)
{
    if (High == NULL || Low == NULL)
        return;

    ULONGLONG value = __readmsr(Register);
    *High = (ULONG)(value >> 32);
    *Low = (ULONG)value;
}

// ReadPciConfigDword
//
// Reads 32 bits of PCI configuration space. The slot number carries the device in bits 0..4
// and the function in bits 5..7. Bytes the read does not transfer stay 0.
ULONG ReadPciConfigDword(ULONG Bus, ULONG Device, ULONG Function, ULONG Offset)
{
    ULONG buffer = 0;
    ULONG slot = ((Function & 7) << 5) | (Device & 0x1F);

    HalGetBusDataByOffset(PCIConfiguration, Bus, slot, &buffer, Offset, sizeof(buffer));
    return buffer;
}

// Voltage and fan readings: each configured channel's register is read through the hardware
// monitor, converted, and stored in the slot of the DEVICE_EXTENSION that its list position
// names. Every reading goes to the chip; nothing is cached.
#include "sensors.h"

#include "../chip/chip_profile.h"
#include "../config/channel.h"

static inline ULONG MinUlong(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

// ScaleVoltageInput
//
// Applies the chip's fixed scaling of the input at register low byte RegisterLow to *Value, as
// the chip's profile gives it. Inputs without a scaling row leave the value as it is.
VOID ScaleVoltageInput(PDEVICE_EXTENSION Extension, USHORT RegisterLow, PULONG Value)
{
    if (Extension == NULL || Value == NULL)
        return;

    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);
    if (profile == NULL)
        return;

    for (ULONG i = 0; i < profile->InputScaleCount; i++) {
        const VOLTAGE_INPUT_SCALE* row = &profile->InputScales[i];
        if (row->RegisterLow == (RegisterLow & 0xFF)) {
            *Value = *Value * row->Multiplier / row->Divisor;
            return;
        }
    }
}

// Reads one voltage channel into *Reading, in hundredths of a volt. Returns FALSE when the
// channel cannot be read: its register index is outside the chip's table, or its divider
// makes the divisor wrap to zero (R2 * 10 is 0 modulo 2^32 for R2 = 2^31). Such a channel is
// skipped before the chip is touched, and its slot keeps the 0 written at the start.
static BOOLEAN ReadVoltageChannel(PDEVICE_EXTENSION Extension, const SENSOR_CHANNEL* Channel,
                                  PULONG Reading)
{
    if (Extension->VoltageRegs == NULL || Channel->RegIndex >= Extension->VoltageRegCount)
        return FALSE;

    ULONG divisor = Channel->R2 * 10;
    if (Channel->R2 != 0 && divisor == 0)
        return FALSE;

    USHORT reg = Extension->VoltageRegs[Channel->RegIndex];
    ULONG raw = HwmReadRegister(Extension, reg);
    ScaleVoltageInput(Extension, (USHORT)(reg & 0xFF), &raw);

    if (raw == 0) {
        *Reading = 0;
        return TRUE;
    }

    // Unsigned 32-bit throughout, wrapping as the hardware registers would: the sum, then the
    // product with raw, then with the step, then one truncating division.
    ULONG value;
    if (Channel->R2 != 0)
        value = (Channel->R1 + Channel->R2) * raw * Extension->VoltageLsb / divisor;
    else
        value = raw * Extension->VoltageLsb / 10;

    if (Channel->Offset != 0)
        value += (ULONG)Channel->Offset * 100;

    *Reading = value;
    return TRUE;
}

// SampleVoltages
//
// Clears all nine voltage slots and refills one per configured channel, in list order. Channels
// beyond the room of Voltages (a tenth and later) are not read.
VOID SampleVoltages(PDEVICE_EXTENSION Extension)
{
    if (Extension == NULL || Extension->VoltageChannels == NULL)
        return;

    RtlZeroMemory(Extension->Voltages, sizeof(Extension->Voltages));

    const SENSOR_CHANNEL_LIST* list = Extension->VoltageChannels;
    ULONG count = MinUlong(MinUlong(Extension->VoltageCount, list->Count), HWM_MAX_VOLTAGES);
    for (ULONG i = 0; i < count; i++) {
        ULONG reading;
        if (ReadVoltageChannel(Extension, &list->Channels[i], &reading))
            Extension->Voltages[i] = reading;
    }
}

// SampleFans
//
// Clears all five fan slots and refills one per configured channel with the raw 16-bit count of
// its register pair (high byte at the table's register, low byte at the next one). A high byte
// of 0 reads 0 without touching the low register. Chips without a fan table are not touched.
VOID SampleFans(PDEVICE_EXTENSION Extension)
{
    if (Extension == NULL || Extension->FanRegs == NULL || Extension->FanChannels == NULL)
        return;

    RtlZeroMemory(Extension->Fans, sizeof(Extension->Fans));

    const SENSOR_CHANNEL_LIST* list = Extension->FanChannels;
    ULONG count = MinUlong(MinUlong(Extension->FanCount, list->Count), HWM_MAX_FANS);
    for (ULONG i = 0; i < count; i++) {
        const SENSOR_CHANNEL* channel = &list->Channels[i];
        if (channel->RegIndex >= Extension->FanRegCount)
            continue;

        USHORT reg = Extension->FanRegs[channel->RegIndex];
        ULONG high = HwmReadByte(Extension, reg);
        if (high == 0)
            continue;

        ULONG low = HwmReadByte(Extension, (USHORT)(reg + 1));
        Extension->Fans[i] = ((high << 8) + low) & 0xFFFF;
    }
}

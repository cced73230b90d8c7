// The chips the driver knows, as constant tables: identification by ID byte, the register
// tables of each chip, the per-chip profile, and the register width rule of each chip family.
#include "chip_profile.h"

// ---- register tables, indexed by a channel's RegIndex ------------------------------------------

const USHORT HwmVoltageRegs[9] = {0x0020, 0x0021, 0x0022, 0x0023, 0x0024,
                                  0x0025, 0x0026, 0x0550, 0x0551};
const USHORT HwmTempRegs[9] = {0x0027, 0x0150, 0x0250, 0x0073, 0x0075,
                               0x0077, 0x062B, 0x062C, 0x062D};
const USHORT Nct6776FanRegs[5] = {0x0656, 0x0658, 0x065A, 0x065C, 0x065E};
const USHORT Nct5523VoltageRegs[8] = {0x0000, 0x0002, 0x0003, 0x0005,
                                      0x0007, 0x0008, 0x0001, 0x0004};
const USHORT Nct5523TempRegs[9] = {0x0010, 0x0011, 0x0012, 0x0018, 0x0019,
                                   0x001A, 0x0013, 0x0014, 0x0015};
const USHORT Nct5523FanRegs[3] = {0x0030, 0x0032, 0x0034};

// ---- profiles -----------------------------------------------------------------------------------

#define HWM_NCT6776_VBAT_CONTROL 0x005D
#define HWM_NCT5523_VBAT_CONTROL 0x0318

static const CHIP_PROFILE ChipProfiles[] = {
    {CHIP_W83627DHG, 8, HwmVoltageRegs, KWO_COUNT_OF(HwmVoltageRegs), HwmTempRegs,
     KWO_COUNT_OF(HwmTempRegs), NULL, 0, FALSE, 0},
    {CHIP_W83627HF, 16, HwmVoltageRegs, KWO_COUNT_OF(HwmVoltageRegs), HwmTempRegs,
     KWO_COUNT_OF(HwmTempRegs), NULL, 0, FALSE, 0},
    {CHIP_NCT6776, 8, HwmVoltageRegs, KWO_COUNT_OF(HwmVoltageRegs), HwmTempRegs,
     KWO_COUNT_OF(HwmTempRegs), Nct6776FanRegs, KWO_COUNT_OF(Nct6776FanRegs), TRUE,
     HWM_NCT6776_VBAT_CONTROL},
    {CHIP_NCT5523D, 8, Nct5523VoltageRegs, KWO_COUNT_OF(Nct5523VoltageRegs), Nct5523TempRegs,
     KWO_COUNT_OF(Nct5523TempRegs), Nct5523FanRegs, KWO_COUNT_OF(Nct5523FanRegs), TRUE,
     HWM_NCT5523_VBAT_CONTROL},
};

// Configuration register 0x20 of each supported chip. The W83627DHG answers 0xA0 or 0xB0
// depending on its stepping.
typedef struct _CHIP_ID_ENTRY {
    UCHAR ChipId;
    ULONG ChipType;
} CHIP_ID_ENTRY;

static const CHIP_ID_ENTRY ChipIds[] = {
    {0x52, CHIP_W83627HF}, {0xA0, CHIP_W83627DHG}, {0xB0, CHIP_W83627DHG},
    {0xC3, CHIP_NCT6776},  {0xC4, CHIP_NCT5523D},
};

const CHIP_PROFILE* ChipProfileFromType(ULONG ChipType)
{
    for (ULONG i = 0; i < KWO_COUNT_OF(ChipProfiles); i++) {
        if (ChipProfiles[i].ChipType == ChipType) {
            return &ChipProfiles[i];
        }
    }
    return NULL;
}

const CHIP_PROFILE* ChipProfileFromId(UCHAR ChipId)
{
    for (ULONG i = 0; i < KWO_COUNT_OF(ChipIds); i++) {
        if (ChipIds[i].ChipId == ChipId) {
            return ChipProfileFromType(ChipIds[i].ChipType);
        }
    }
    return NULL;
}

// ---- register width, one predicate per chip family ----------------------------------------------

// W83627HF/DHG: the 16-bit temperatures of banks 1 and 2 (the whole bank byte is compared, so
// 0x0350 is 8-bit).
BOOLEAN W83627IsWordRegister(USHORT Register)
{
    UCHAR bank = HWM_BANK(Register);
    UCHAR index = HWM_INDEX(Register);

    return (BOOLEAN)((bank == 1 || bank == 2) && (index == 0x50 || index == 0x53 || index == 0x55));
}

// NCT6776: the W83627 temperatures plus the 16-bit registers of banks 4 and 6 (0x0630-0x063F,
// 0x0402, 0x0640, 0x0642, the fan counts 0x0656-0x065F) and 0x0073/0x0075/0x0077 of bank 0.
BOOLEAN Nct6776IsWordRegister(USHORT Register)
{
    return (BOOLEAN)(W83627IsWordRegister(Register) || (Register & 0xFFF0) == 0x0630 ||
                     Register == 0x0402 || Register == 0x0640 || Register == 0x0642 ||
                     ((Register & 0xFFF0) == 0x0650 && (Register & 0x000F) >= 0x6) ||
                     Register == 0x0073 || Register == 0x0075 || Register == 0x0077);
}

// NCT5523D: the temperatures 0x10-0x15 of bank 0, whose low-order bit lives in the shared
// register 0x16 (see HwmReadRegisterNct5523). Any other bank is 8-bit.
BOOLEAN Nct5523IsWordRegister(USHORT Register)
{
    UCHAR index = HWM_INDEX(Register);

    return (BOOLEAN)(HWM_BANK(Register) == 0 && index >= 0x10 && index <= 0x15);
}

// The chips the driver knows, as constant tables: identification by ID byte, the register
// tables of each chip, the register width rule and fixed input scaling of each chip, and the
// per-chip profile that points at them.
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

// ---- register width rule: the 16-bit registers of each chip -------------------------------------

// The W83627HF/DHG's rule is the first six rows (the 16-bit temperatures of banks 1 and 2); the
// NCT6776 adds banks 4 and 6 (0x0630-0x063F, 0x0402, 0x0640, 0x0642, the fan counts
// 0x0656-0x065F) and 0x0073/0x0075/0x0077 of bank 0.
#define W83627_WORD_REGISTER_COUNT 6
static const HWM_REGISTER_RANGE HwmWordRegisters[] = {
    {0x0150, 0x0150}, {0x0153, 0x0153}, {0x0155, 0x0155}, {0x0250, 0x0250}, {0x0253, 0x0253},
    {0x0255, 0x0255}, {0x0630, 0x063F}, {0x0402, 0x0402}, {0x0640, 0x0640}, {0x0642, 0x0642},
    {0x0656, 0x065F}, {0x0073, 0x0073}, {0x0075, 0x0075}, {0x0077, 0x0077},
};

// The NCT5523D's temperatures 0x10-0x15 of bank 0, whose low-order bit lives in the shared
// register 0x16.
static const HWM_REGISTER_RANGE Nct5523WordRegisters[] = {{0x0010, 0x0015}};
#define NCT5523_SHARED_LOW_REGISTER 0x16

// ---- fixed input scaling, by the low byte of the register number --------------------------------

static const VOLTAGE_INPUT_SCALE W83627HfInputScales[] = {{0x23, 84, 50}, {0x50, 50, 33}};
// The W83627DHG and the NCT6776 see the same four inputs through a divider of two.
static const VOLTAGE_INPUT_SCALE DoubledInputScales[] = {
    {0x22, 2, 1}, {0x23, 2, 1}, {0x50, 2, 1}, {0x51, 2, 1}};
static const VOLTAGE_INPUT_SCALE Nct5523InputScales[] = {
    {0x02, 2, 1}, {0x03, 2, 1}, {0x07, 2, 1}, {0x08, 2, 1}};

// ---- profiles -----------------------------------------------------------------------------------

#define HWM_NCT6776_VBAT_CONTROL 0x005D
#define HWM_NCT5523_VBAT_CONTROL 0x0318
#define KWO_TABLE(Array) Array, KWO_COUNT_OF(Array)

static const CHIP_PROFILE ChipProfiles[] = {
    {CHIP_W83627DHG, L"Winbond W83627DHG Hardware Monitor", 8, KWO_TABLE(HwmVoltageRegs),
     KWO_TABLE(HwmTempRegs), NULL, 0, HwmWordRegisters, W83627_WORD_REGISTER_COUNT,
     KWO_TABLE(DoubledInputScales), 0, FALSE, FALSE, 0},
    {CHIP_W83627HF, L"Winbond W83627HF Hardware Monitor", 16, KWO_TABLE(HwmVoltageRegs),
     KWO_TABLE(HwmTempRegs), NULL, 0, HwmWordRegisters, W83627_WORD_REGISTER_COUNT,
     KWO_TABLE(W83627HfInputScales), 0, FALSE, FALSE, 0},
    {CHIP_NCT6776, L"Nuvoton NCT6776 Hardware Monitor", 8, KWO_TABLE(HwmVoltageRegs),
     KWO_TABLE(HwmTempRegs), KWO_TABLE(Nct6776FanRegs), KWO_TABLE(HwmWordRegisters),
     KWO_TABLE(DoubledInputScales), 0, FALSE, TRUE, HWM_NCT6776_VBAT_CONTROL},
    {CHIP_NCT5523D, L"Nuvoton NCT5523D/6106D Hardware Monitor", 8, KWO_TABLE(Nct5523VoltageRegs),
     KWO_TABLE(Nct5523TempRegs), KWO_TABLE(Nct5523FanRegs), KWO_TABLE(Nct5523WordRegisters),
     KWO_TABLE(Nct5523InputScales), NCT5523_SHARED_LOW_REGISTER, TRUE, TRUE,
     HWM_NCT5523_VBAT_CONTROL},
};

// Chip types without a profile are described as this one.
#define CHIP_DESCRIPTION_DEFAULT CHIP_NCT6776

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

PCWSTR ChipDescription(ULONG ChipType)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(ChipType);

    if (profile == NULL) {
        profile = ChipProfileFromType(CHIP_DESCRIPTION_DEFAULT);
    }
    return profile->Description;
}

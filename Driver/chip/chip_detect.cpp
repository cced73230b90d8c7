// Detection of the Super I/O chip through its configuration interface: identification by ID
// byte at 0x2E/0x2F (falling back once, for good, to 0x4E/0x4F), the hardware monitor's base
// port, its activation, the chip profile in the device extension, and the published
// "ChipsetType" value.
#include "chip_profile.h"

static VOID SioWritePort(ULONG Port, UCHAR Value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port, Value);
}

static UCHAR SioReadPort(ULONG Port)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port);
}

// Opens the configuration registers: the enter key, twice in a row.
VOID SioEnterConfig(VOID)
{
    SioWritePort(Globals.SioIndexPort, SIO_ENTER_KEY);
    SioWritePort(Globals.SioIndexPort, SIO_ENTER_KEY);
}

// Closes the configuration registers.
VOID SioExitConfig(VOID)
{
    SioWritePort(Globals.SioIndexPort, SIO_EXIT_KEY);
}

// Reads one configuration register (global, or of the selected logical device).
UCHAR SioReadConfig(UCHAR Register)
{
    SioWritePort(Globals.SioIndexPort, Register);
    return SioReadPort(Globals.SioDataPort);
}

// Selects the hardware monitor's logical device for the registers 0x30 and up.
VOID SioSelectHwmDevice(VOID)
{
    SioWritePort(Globals.SioIndexPort, SIO_REG_LOGICAL_DEVICE);
    SioWritePort(Globals.SioDataPort, SIO_HWM_LOGICAL_DEVICE);
}

// The ID byte of whatever answers at the current port pair (0xFF when nothing does).
static UCHAR SioReadChipId(VOID)
{
    UCHAR chipId;

    SioEnterConfig();
    chipId = SioReadConfig(SIO_REG_CHIP_ID);
    SioExitConfig();
    return chipId;
}

// The hardware monitor's I/O base from its logical device's registers 0x60 (high) and 0x61.
static ULONG SioReadHwmBase(VOID)
{
    UCHAR high;
    UCHAR low;

    SioEnterConfig();
    SioSelectHwmDevice();
    high = SioReadConfig(SIO_REG_BASE_HIGH);
    low = SioReadConfig(SIO_REG_BASE_LOW);
    SioExitConfig();
    return ((ULONG)high << 8) | low;
}

// Sets the activation bit of the hardware monitor's logical device, writing the register's
// other bits back as read. The write is made even when the bit is already set.
static VOID SioActivateHwmDevice(VOID)
{
    UCHAR activation;

    SioEnterConfig();
    SioSelectHwmDevice();
    activation = SioReadConfig(SIO_REG_ACTIVATION);
    SioWritePort(Globals.SioIndexPort, SIO_REG_ACTIVATION);
    SioWritePort(Globals.SioDataPort, (UCHAR)(activation | SIO_ACTIVATE));
    SioExitConfig();
}

// Publishes the chip type as "ChipsetType" (REG_DWORD) under the service key. The key path
// is copied into a terminated buffer first: RtlWriteRegistryValue takes a zero-terminated path
// and the counted RegistryPath need not carry a terminator. A failed write is not an error of
// detection.
static VOID PublishChipType(PDEVICE_EXTENSION Extension)
{
    WCHAR path[KWO_REGISTRY_PATH_ROOM / sizeof(WCHAR) + 1];
    ULONG chars = Extension->RegistryPath.Length / sizeof(WCHAR);
    ULONG chipType = Extension->ChipType;

    if (Extension->RegistryPath.Buffer == NULL || chars == 0 || chars >= KWO_COUNT_OF(path)) {
        return;
    }
    RtlCopyMemory(path, Extension->RegistryPath.Buffer, chars * sizeof(WCHAR));
    path[chars] = L'\0';
    (VOID) RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, L"ChipsetType", REG_DWORD, &chipType,
                                 sizeof(chipType));
}

// Finds the chip and fills the chip profile of the device extension. TRUE when a supported
// chip was found with a non-zero hardware-monitor base; FALSE otherwise. With no supported chip
// the extension is left as it was; with a zero base the chip type, voltage step and base are
// set (and published) but the register tables are not.
BOOLEAN DetectChip(PDEVICE_EXTENSION Extension)
{
    const CHIP_PROFILE* profile;

    if (Extension == NULL) {
        return FALSE;
    }

    profile = ChipProfileFromId(SioReadChipId());
    if (profile == NULL) {
        Globals.SioIndexPort = SIO_SECONDARY_INDEX_PORT;
        Globals.SioDataPort = SIO_SECONDARY_DATA_PORT;
        profile = ChipProfileFromId(SioReadChipId());
        if (profile == NULL) {
            return FALSE;
        }
    }

    Extension->ChipType = profile->ChipType;
    Extension->VoltageLsb = profile->VoltageLsb;
    PublishChipType(Extension);

    Extension->HwmBase = SioReadHwmBase();
    if (Extension->HwmBase == 0) {
        return FALSE;
    }

    Extension->VoltageRegs = profile->VoltageRegs;
    Extension->VoltageRegCount = profile->VoltageRegCount;
    Extension->TempRegs = profile->TempRegs;
    Extension->TempRegCount = profile->TempRegCount;
    Extension->FanRegs = profile->FanRegs;
    Extension->FanRegCount = profile->FanRegCount;

    SioActivateHwmDevice();
    return TRUE;
}

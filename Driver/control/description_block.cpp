// The device description built once per start: the chip's description text, the list of
// voltage channel names, battery-voltage monitoring when one of them is "VBAT", the two
// published registry values and the info block returned by IOCTL_HWM_GET_CHIP_INFO.
#include "control.h"
#include "../chip/chip_profile.h"
#include "../config/channel.h"

#define VOLTAGE_LIST_UNITS (HWM_VOLTAGE_LIST_SIZE / sizeof(WCHAR))
#define CHANNEL_NAME_UNITS (sizeof(((SENSOR_GROUP*)0)->u.Temperature.ChannelName) / sizeof(WCHAR))

// Characters of a channel's name: those before its zero character, never more than its Name
// buffer holds.
KWO_PAGED_CODE static ULONG ChannelNameUnits(const SENSOR_CHANNEL* Channel)
{
    ULONG units = 0;

    PAGED_CODE();

    if (Channel->Name == NULL) {
        return 0;
    }
    while (units < Channel->NameSize / sizeof(WCHAR) && Channel->Name[units] != L'\0') {
        units++;
    }
    return units;
}

// Fills VoltageList with each voltage channel's name followed by a space, then a NUL, and
// returns the units used up to and including the NUL (0 without a voltage list). A channel
// whose name, space and the final NUL no longer fit in the 64 units ends the list before it,
// so the list always ends in "name space NUL".
KWO_PAGED_CODE static ULONG BuildVoltageList(PDEVICE_EXTENSION Extension)
{
    const SENSOR_CHANNEL_LIST* list = Extension->VoltageChannels;
    ULONG position = 0;
    ULONG index;
    ULONG units;

    PAGED_CODE();

    RtlZeroMemory(Extension->VoltageList, sizeof(Extension->VoltageList));
    if (list == NULL) {
        return 0;
    }
    for (index = 0; index < list->Count; index++) {
        units = ChannelNameUnits(&list->Channels[index]);
        if (units + 2 > VOLTAGE_LIST_UNITS - position) {
            break;
        }
        RtlCopyMemory(&Extension->VoltageList[position], list->Channels[index].Name,
                      units * sizeof(WCHAR));
        position += units;
        Extension->VoltageList[position++] = L' ';
    }
    Extension->VoltageList[position] = L'\0';
    return position + 1;
}

// Fills one temperature record of the info block from a channel, the name cut to the field.
KWO_PAGED_CODE static VOID FillTemperatureGroup(SENSOR_GROUP* Group, USHORT Kind,
                                                const SENSOR_CHANNEL* Channel)
{
    ULONG units = ChannelNameUnits(Channel);

    PAGED_CODE();

    if (units > CHANNEL_NAME_UNITS) {
        units = CHANNEL_NAME_UNITS;
    }
    Group->Kind = Kind;
    RtlCopyMemory(Group->u.Temperature.ChannelName, Channel->Name, units * sizeof(WCHAR));
    Group->u.Temperature.Attribute = 1;
    Group->u.Temperature.Attribute2 = 0;
}

// Describes the device once per start: ChipDesc, VoltageList, VbatMonitor, the "ChipDesc" and
// "VoltageList" registry values, and ChipInfo. A block from an earlier start is freed first.
KWO_PAGED_CODE NTSTATUS BuildDescriptionBlock(PDEVICE_EXTENSION Extension)
{
    const SENSOR_CHANNEL_LIST* temps;
    UNICODE_STRING description;
    CHIP_INFO_BLOCK* block;
    ULONG listUnits;
    ULONG tempGroups = 0;
    ULONG size;

    PAGED_CODE();

    if (Extension == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Extension->ChipInfo != NULL) {
        ExFreePoolWithTag(Extension->ChipInfo, KWO_TAG_CHIP_INFO);
        Extension->ChipInfo = NULL;
    }

    RtlInitUnicodeString(&description, ChipDescription(Extension->ChipType));
    RtlZeroMemory(Extension->ChipDesc, sizeof(Extension->ChipDesc));
    RtlCopyMemory(Extension->ChipDesc, description.Buffer, description.Length);

    listUnits = BuildVoltageList(Extension);
    if (wcsstr(Extension->VoltageList, L"VBAT") != NULL) {
        Extension->VbatMonitor = TRUE;
        HwmEnableVbatMonitor(Extension);
    }

    // Failed writes leave the values absent or stale; the description is still built.
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KWO_SERVICE_KEY, L"ChipDesc", REG_SZ,
                          Extension->ChipDesc, sizeof(Extension->ChipDesc));
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KWO_SERVICE_KEY, L"VoltageList", REG_MULTI_SZ,
                          Extension->VoltageList, listUnits * sizeof(WCHAR));

    // One record per temperature channel the flags announce and the list really holds.
    temps = Extension->TempChannels;
    if (temps != NULL && Extension->HasTemp1 && temps->Count > 0) {
        tempGroups = 1;
        if (Extension->HasTemp2 && temps->Count > 1) {
            tempGroups = 2;
        }
    }

    size = CHIP_INFO_BLOCK_SIZE(tempGroups);
    block =
        (CHIP_INFO_BLOCK*)ExAllocatePoolWithTag(Globals.NonPagedPoolType, size, KWO_TAG_CHIP_INFO);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, size);
    block->Size = size;
    block->Reserved1 = 0;
    block->Reserved2 = 0;
    RtlCopyMemory(block->Description, description.Buffer, description.Length);
    block->GroupCount = 1 + tempGroups;

    block->Groups[0].Kind = HWM_SELECT_VOLTAGES;
    RtlCopyMemory(block->Groups[0].u.VoltageNames, Extension->VoltageList,
                  listUnits * sizeof(WCHAR));
    if (tempGroups >= 1) {
        FillTemperatureGroup(&block->Groups[1], HWM_SELECT_TEMPERATURE1, &temps->Channels[0]);
    }
    if (tempGroups >= 2) {
        FillTemperatureGroup(&block->Groups[2], HWM_SELECT_TEMPERATURE2, &temps->Channels[1]);
    }

    Extension->ChipInfo = block;
    return STATUS_SUCCESS;
}

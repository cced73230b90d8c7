// Device-control requests: the eight buffered codes through which user mode reads the sensors,
// the channel names and limits, and the description of the chip.
//
// Every reply follows one pattern: the caller's output length is checked before any sensor is
// read; a reply never claims more bytes than the output buffer holds. Where the caller may want
// to know the size it should have offered (chip info, channel names, values and limits), an output
// buffer of at least four bytes receives that size as a 32-bit value, with Information 4.
//
// Counts beyond the room of the reading arrays (9 voltages, 3 temperatures, 5 fans) are bounded
// to that room, for the channel names as for the channel values, so that both requests always
// describe the same channels; they are also bounded by the channels the list really holds.
//
// The readings drive the chip through one index/data port pair and rewrite the shared reading
// arrays, so each request holds the device lock from its first reading to the end of its copy.
#include "control.h"

#include "../chip/chip_profile.h"
#include "../config/channel.h"
#include "../sensors/sensors.h"

typedef enum _READING_KIND { ReadingVoltages, ReadingTemperatures, ReadingFans } READING_KIND;

// A channel group of the names and values requests, resolved from its selector.
typedef struct _CHANNEL_GROUP {
    PSENSOR_CHANNEL_LIST List; // may be null
    ULONG FirstChannel;        // list position of the group's first channel
    ULONG Count;               // channels in the group, bounded as described above
    READING_KIND Reading;      // which reading refreshes the values
    const VOID* Values;        // first value of the group in its reading array
} CHANNEL_GROUP;

static inline ULONG MinUlong(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

// Resolves a selector to its group. Returns FALSE for a selector outside 1..5.
static KWO_PAGED_CODE BOOLEAN SelectChannelGroup(PDEVICE_EXTENSION Extension, ULONG Selector,
                                                 CHANNEL_GROUP* Group)
{
    PAGED_CODE();

    ULONG count;
    switch (Selector) {
    case HWM_SELECT_VOLTAGES:
        Group->List = Extension->VoltageChannels;
        Group->FirstChannel = 0;
        Group->Reading = ReadingVoltages;
        Group->Values = &Extension->Voltages[0];
        count = MinUlong(Extension->VoltageCount, HWM_MAX_VOLTAGES);
        break;
    case HWM_SELECT_TEMPERATURE1:
        Group->List = Extension->TempChannels;
        Group->FirstChannel = 0;
        Group->Reading = ReadingTemperatures;
        Group->Values = &Extension->Temperatures[0];
        count = Extension->HasTemp1 != 0 ? 1 : 0;
        break;
    case HWM_SELECT_TEMPERATURE2:
        Group->List = Extension->TempChannels;
        Group->FirstChannel = 1;
        Group->Reading = ReadingTemperatures;
        Group->Values = &Extension->Temperatures[1];
        count = Extension->HasTemp2 != 0 ? 1 : 0;
        break;
    case HWM_SELECT_TEMPERATURES:
        Group->List = Extension->TempChannels;
        Group->FirstChannel = 0;
        Group->Reading = ReadingTemperatures;
        Group->Values = &Extension->Temperatures[0];
        count = MinUlong(Extension->TempCount, HWM_MAX_TEMPERATURES);
        break;
    case HWM_SELECT_FANS:
        Group->List = Extension->FanChannels;
        Group->FirstChannel = 0;
        Group->Reading = ReadingFans;
        Group->Values = &Extension->Fans[0];
        count = MinUlong(Extension->FanCount, HWM_MAX_FANS);
        break;
    default:
        return FALSE;
    }

    // Never name a channel the list does not hold.
    if (Group->List == NULL || Group->List->Count <= Group->FirstChannel)
        count = 0;
    else
        count = MinUlong(count, Group->List->Count - Group->FirstChannel);

    Group->Count = count;
    return TRUE;
}

// Takes the temperature reading variant that the chip's profile names.
static KWO_PAGED_CODE VOID ReadTemperatures(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    const CHIP_PROFILE* profile = ChipProfileFromType(Extension->ChipType);
    if (profile != NULL && profile->SecondTempFromRegister)
        SampleTemperaturesNct5523(Extension);
    else
        SampleTemperatures(Extension);
}

static KWO_PAGED_CODE VOID ReadGroup(PDEVICE_EXTENSION Extension, READING_KIND Reading)
{
    PAGED_CODE();

    switch (Reading) {
    case ReadingVoltages:
        SampleVoltages(Extension);
        break;
    case ReadingTemperatures:
        ReadTemperatures(Extension);
        break;
    case ReadingFans:
        SampleFans(Extension);
        break;
    }
}

// The overflow reply that tells the caller the size needed: written as a 32-bit value into the
// first four bytes of the output when it has room for them. Returns the bytes written, 4 or 0.
static KWO_PAGED_CODE ULONG ReportSizeNeeded(PVOID Buffer, ULONG OutputLength, ULONG Needed)
{
    PAGED_CODE();

    HWM_SIZE_NEEDED reply = Needed;
    if (Buffer == NULL || OutputLength < sizeof(reply))
        return 0;

    RtlCopyMemory(Buffer, &reply, sizeof(reply));
    return sizeof(reply);
}

// CopyChannelNames
//
// Fills one 64-byte slot per channel of the selected group with the channel's name (UTF-16,
// padded with zero bytes; a name of 64 bytes or more fills its slot without a terminator).
// *Length holds the room of Buffer on entry and the bytes written on return.
KWO_PAGED_CODE NTSTATUS CopyChannelNames(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                                         PULONG Length)
{
    PAGED_CODE();

    if (Length == NULL || Extension == NULL || Buffer == NULL)
        return STATUS_INVALID_PARAMETER;

    CHANNEL_GROUP group;
    if (!SelectChannelGroup(Extension, Selector, &group))
        return STATUS_INVALID_PARAMETER;

    if (group.Count == 0) {
        *Length = 0;
        return STATUS_INVALID_PARAMETER;
    }

    ULONG needed = group.Count * HWM_CHANNEL_NAME_SLOT;
    if (*Length < needed) {
        *Length = ReportSizeNeeded(Buffer, *Length, needed);
        return STATUS_BUFFER_OVERFLOW;
    }

    *Length = needed;
    RtlZeroMemory(Buffer, needed);
    PUCHAR slot = (PUCHAR)Buffer;
    for (ULONG i = 0; i < group.Count; i++, slot += HWM_CHANNEL_NAME_SLOT) {
        const SENSOR_CHANNEL* channel = &group.List->Channels[group.FirstChannel + i];
        if (channel->Name != NULL)
            RtlCopyMemory(slot, channel->Name, MinUlong(channel->NameSize, HWM_CHANNEL_NAME_SLOT));
    }
    return STATUS_SUCCESS;
}

// The checks a values or limits reply starts with: its arguments, the group (a selector outside
// 1..5 or an empty group is invalid, *Length untouched), and room for EntrySize bytes per channel
// (too little gets the overflow reply with the size needed). STATUS_SUCCESS with *Length set to
// the reply's size when the reply can be written.
static KWO_PAGED_CODE NTSTATUS BeginGroupReply(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                               ULONG Selector, ULONG EntrySize, PULONG Length,
                                               CHANNEL_GROUP* Group)
{
    PAGED_CODE();

    if (Length == NULL || Extension == NULL || Buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    if (!SelectChannelGroup(Extension, Selector, Group) || Group->Count == 0)
        return STATUS_INVALID_PARAMETER;

    ULONG needed = Group->Count * EntrySize;
    if (*Length < needed) {
        *Length = ReportSizeNeeded(Buffer, *Length, needed);
        return STATUS_BUFFER_OVERFLOW;
    }
    *Length = needed;
    return STATUS_SUCCESS;
}

// CopyChannelValues
//
// Reads the selected group afresh and copies one 32-bit value per channel. *Length holds the
// room of Buffer on entry and the bytes written on return. Nothing is read when the buffer is
// too small.
KWO_PAGED_CODE NTSTATUS CopyChannelValues(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                                          PULONG Length)
{
    PAGED_CODE();

    CHANNEL_GROUP group;
    NTSTATUS status =
        BeginGroupReply(Extension, Buffer, Selector, sizeof(HWM_READING), Length, &group);
    if (status != STATUS_SUCCESS)
        return status;

    RtlZeroMemory(Buffer, *Length);
    ReadGroup(Extension, group.Reading);
    RtlCopyMemory(Buffer, group.Values, *Length);
    return STATUS_SUCCESS;
}

// CopyChannelLimits
//
// Copies the configured low and high limit of each channel of the selected group, in the order
// of its values, HWM_LIMIT_NONE where a side has none. *Length holds the room of Buffer on entry
// and the bytes written on return. Reads no sensor.
KWO_PAGED_CODE NTSTATUS CopyChannelLimits(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                                          PULONG Length)
{
    PAGED_CODE();

    CHANNEL_GROUP group;
    NTSTATUS status =
        BeginGroupReply(Extension, Buffer, Selector, sizeof(HWM_CHANNEL_LIMITS), Length, &group);
    if (status != STATUS_SUCCESS)
        return status;

    HWM_CHANNEL_LIMITS* limits = (HWM_CHANNEL_LIMITS*)Buffer;
    for (ULONG i = 0; i < group.Count; i++) {
        const SENSOR_CHANNEL* channel = &group.List->Channels[group.FirstChannel + i];
        HWM_CHANNEL_LIMITS entry = {channel->LowLimit, channel->HighLimit};
        RtlCopyMemory(&limits[i], &entry, sizeof(entry));
    }
    return STATUS_SUCCESS;
}

// IOCTL_HWM_GET_TEMPERATURES: a zero value, then the first and second channel's temperature.
static KWO_PAGED_CODE NTSTATUS GetTemperatures(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                               ULONG OutputLength, PULONG Information)
{
    PAGED_CODE();

    if (OutputLength < HWM_TEMPERATURES_REPLY_SIZE)
        return STATUS_BUFFER_OVERFLOW;
    if (Buffer == NULL)
        return STATUS_BUFFER_ALL_ZEROS;

    ReadTemperatures(Extension);
    LONG reply[3] = {0, Extension->Temperatures[0], Extension->Temperatures[1]};
    static_assert(sizeof(reply) == HWM_TEMPERATURES_REPLY_SIZE, "temperature reply layout");
    RtlCopyMemory(Buffer, reply, sizeof(reply));
    *Information = sizeof(reply);
    return STATUS_SUCCESS;
}

// IOCTL_HWM_GET_VOLTAGES: exactly 20 bytes for a 20-byte buffer; for a larger one the readings
// of the configured channels, cut at the buffer's end.
static KWO_PAGED_CODE NTSTATUS GetVoltages(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                           ULONG OutputLength, PULONG Information)
{
    PAGED_CODE();

    if (OutputLength < HWM_VOLTAGES_REPLY_SIZE)
        return STATUS_BUFFER_OVERFLOW;
    if (Buffer == NULL)
        return STATUS_BUFFER_ALL_ZEROS;

    ULONG length = HWM_VOLTAGES_REPLY_SIZE;
    if (OutputLength != HWM_VOLTAGES_REPLY_SIZE) {
        ULONG configured =
            MinUlong(Extension->VoltageCount, HWM_MAX_VOLTAGES) * sizeof(HWM_READING);
        length = MinUlong(OutputLength, configured);
    }
    static_assert(HWM_VOLTAGES_REPLY_SIZE <= sizeof(((DEVICE_EXTENSION*)0)->Voltages),
                  "the fixed voltage reply lies inside the array");

    SampleVoltages(Extension);
    RtlCopyMemory(Buffer, Extension->Voltages, length);
    *Information = length;
    return STATUS_SUCCESS;
}

// IOCTL_HWM_GET_CHIP_DESC: the description text and the voltage list, 384 bytes as stored.
static KWO_PAGED_CODE NTSTATUS GetChipDescription(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                                  ULONG OutputLength, PULONG Information)
{
    PAGED_CODE();

    if (OutputLength < HWM_CHIP_DESC_REPLY_SIZE)
        return STATUS_BUFFER_OVERFLOW;
    if (Buffer == NULL)
        return STATUS_BUFFER_ALL_ZEROS;

    // ChipDesc and VoltageList are adjacent fields (checked in device.h).
    RtlCopyMemory(Buffer, Extension->ChipDesc, HWM_CHIP_DESC_REPLY_SIZE);
    *Information = HWM_CHIP_DESC_REPLY_SIZE;
    return STATUS_SUCCESS;
}

// IOCTL_HWM_GET_CHIP_INFO: the info block built at start, Size bytes as stored. A device that
// has no block (not started, start failed, or removed) is not ready.
static KWO_PAGED_CODE NTSTATUS GetChipInfo(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                           ULONG OutputLength, PULONG Information)
{
    PAGED_CODE();

    if (Buffer == NULL)
        return STATUS_BUFFER_ALL_ZEROS;
    if (Extension->ChipInfo == NULL)
        return STATUS_DEVICE_NOT_READY;

    ULONG size = Extension->ChipInfo->Size;
    if (OutputLength < size) {
        *Information = ReportSizeNeeded(Buffer, OutputLength, size);
        return STATUS_BUFFER_OVERFLOW;
    }

    RtlCopyMemory(Buffer, Extension->ChipInfo, size);
    *Information = size;
    return STATUS_SUCCESS;
}

// IOCTL_HWM_GET_FANS: the five fan slots, whatever the number of fan channels.
static KWO_PAGED_CODE NTSTATUS GetFans(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                       ULONG OutputLength, PULONG Information)
{
    PAGED_CODE();

    if (OutputLength < HWM_FANS_REPLY_SIZE)
        return STATUS_BUFFER_OVERFLOW;
    if (Buffer == NULL)
        return STATUS_BUFFER_ALL_ZEROS;

    static_assert(sizeof(((DEVICE_EXTENSION*)0)->Fans) == HWM_FANS_REPLY_SIZE, "fan reply");
    SampleFans(Extension);
    RtlCopyMemory(Buffer, Extension->Fans, HWM_FANS_REPLY_SIZE);
    *Information = HWM_FANS_REPLY_SIZE;
    return STATUS_SUCCESS;
}

typedef NTSTATUS (*CHANNEL_COPY_ROUTINE)(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                                         PULONG Length);

// IOCTL_HWM_GET_CHANNEL_NAMES, _VALUES and _LIMITS: a 4-byte selector in, what Copy gives for
// the group out.
static KWO_PAGED_CODE NTSTATUS GetChannelData(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                              ULONG InputLength, ULONG OutputLength,
                                              CHANNEL_COPY_ROUTINE Copy, PULONG Information)
{
    PAGED_CODE();

    if (InputLength != sizeof(HWM_CHANNEL_SELECTOR) || Buffer == NULL)
        return STATUS_INVALID_PARAMETER;

    HWM_CHANNEL_SELECTOR selector;
    RtlCopyMemory(&selector, Buffer, sizeof(selector));

    ULONG length = OutputLength;
    NTSTATUS status = Copy(Extension, Buffer, selector, &length);

    // An error status carries no data back to the caller.
    *Information = (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? length : 0;
    return status;
}

static KWO_PAGED_CODE NTSTATUS HandleControlCode(PDEVICE_EXTENSION Extension, PVOID Buffer,
                                                 ULONG Code, ULONG InputLength, ULONG OutputLength,
                                                 PULONG Information)
{
    PAGED_CODE();

    switch (Code) {
    case IOCTL_HWM_GET_TEMPERATURES:
        return GetTemperatures(Extension, Buffer, OutputLength, Information);
    case IOCTL_HWM_GET_VOLTAGES:
        return GetVoltages(Extension, Buffer, OutputLength, Information);
    case IOCTL_HWM_GET_CHIP_DESC:
        return GetChipDescription(Extension, Buffer, OutputLength, Information);
    case IOCTL_HWM_GET_CHIP_INFO:
        return GetChipInfo(Extension, Buffer, OutputLength, Information);
    case IOCTL_HWM_GET_FANS:
        return GetFans(Extension, Buffer, OutputLength, Information);
    case IOCTL_HWM_GET_CHANNEL_NAMES:
        return GetChannelData(Extension, Buffer, InputLength, OutputLength, CopyChannelNames,
                              Information);
    case IOCTL_HWM_GET_CHANNEL_VALUES:
        return GetChannelData(Extension, Buffer, InputLength, OutputLength, CopyChannelValues,
                              Information);
    case IOCTL_HWM_GET_CHANNEL_LIMITS:
        return GetChannelData(Extension, Buffer, InputLength, OutputLength, CopyChannelLimits,
                              Information);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// DispatchDeviceControl
//
// Runs one device-control request to completion in the caller's thread: under the remove lock
// and inside a critical region for its whole run, and under the device lock while it reads
// and copies. Every request is completed here; none is left pending.
KWO_PAGED_CODE NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG information = 0;

    NTSTATUS status =
        IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
    if (NT_SUCCESS(status)) {
        KeEnterCriticalRegion();

        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        Irp->IoStatus.Information = 0;

        AcquireDeviceLock(extension);
        status = HandleControlCode(extension, Irp->AssociatedIrp.SystemBuffer, code, inputLength,
                                   outputLength, &information);
        ReleaseDeviceLock(extension);

        Irp->IoStatus.Information = information;
        Irp->IoStatus.Status = status;
        KeLeaveCriticalRegion();
        IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    } else {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
    }

    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

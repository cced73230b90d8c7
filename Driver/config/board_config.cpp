// The channel configuration store: finds the first Product pattern that matches the board's
// product name and loads that configuration's voltage, temperature and fan channel lists from
// the registry onto the DEVICE_EXTENSION. Pageable: it runs only inside the start request.
#include "board_config.h"
#include "firmware.h"

// The kinds a board configuration holds, in load order, with the key that lists their channels.
typedef struct _BOARD_CHANNEL_KIND {
    PCWSTR KeyName;
    ULONG Kind;
} BOARD_CHANNEL_KIND;

static const BOARD_CHANNEL_KIND BoardChannelKinds[] = {
    {L"Voltage", SENSOR_KIND_VOLTAGE},
    {L"Temperature", SENSOR_KIND_TEMPERATURE},
    {L"Fan", SENSOR_KIND_FAN},
};

#define BOARD_CHANNEL_KIND_COUNT (sizeof(BoardChannelKinds) / sizeof(BoardChannelKinds[0]))

// Frees whatever channel lists the extension holds and clears their counts and flags.
KWO_PAGED_CODE VOID ReleaseChannelLists(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    FreeChannelList(&Extension->VoltageChannels);
    Extension->VoltageCount = 0;
    FreeChannelList(&Extension->TempChannels);
    Extension->HasTemp1 = 0;
    Extension->HasTemp2 = 0;
    Extension->TempCount = 0;
    FreeChannelList(&Extension->FanChannels);
    Extension->FanCount = 0;
}

// Queries a value into the caller's buffer. The value counts as present only when the query
// succeeds, the type is the expected one and its data lies wholly within the bytes returned.
KWO_PAGED_CODE static BOOLEAN QueryTypedValue(HANDLE Key, PCWSTR Name, PVOID Buffer,
                                              ULONG BufferSize, ULONG Type, const UCHAR** Data,
                                              PULONG DataLength)
{
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)Buffer;
    UNICODE_STRING valueName;
    ULONG returned = 0;
    NTSTATUS status;

    PAGED_CODE();

    RtlInitUnicodeString(&valueName, Name);
    status =
        ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, Buffer, BufferSize, &returned);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    if (returned > BufferSize) {
        returned = BufferSize;
    }
    if (returned < (ULONG)FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) || info->Type != Type) {
        return FALSE;
    }
    if (info->DataLength == 0) {
        *Data = NULL;
        *DataLength = 0;
        return TRUE;
    }
    if (info->DataOffset < (ULONG)FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) ||
        info->DataOffset > returned || info->DataLength > returned - info->DataOffset) {
        return FALSE;
    }
    *Data = (const UCHAR*)Buffer + info->DataOffset;
    *DataLength = info->DataLength;
    return TRUE;
}

// A REG_DWORD value: its first four bytes. Shorter data is not a number and counts as absent;
// longer data is read as its first four bytes.
KWO_PAGED_CODE static BOOLEAN QueryDwordValue(HANDLE Key, PCWSTR Name, PVOID Buffer,
                                              ULONG BufferSize, PULONG Value)
{
    const UCHAR* data = NULL;
    ULONG length = 0;

    PAGED_CODE();

    if (!QueryTypedValue(Key, Name, Buffer, BufferSize, REG_DWORD, &data, &length) ||
        length < sizeof(ULONG)) {
        return FALSE;
    }
    memcpy(Value, data, sizeof(ULONG));
    return TRUE;
}

// Number of characters of the REG_SZ text in Data before its first zero character; a trailing
// odd byte is not a character.
KWO_PAGED_CODE static ULONG RegistryTextUnits(const UCHAR* Data, ULONG DataLength)
{
    ULONG units = 0;
    WCHAR character;

    PAGED_CODE();

    while (units < DataLength / sizeof(WCHAR)) {
        memcpy(&character, Data + units * sizeof(WCHAR), sizeof(WCHAR));
        if (character == 0) {
            break;
        }
        units++;
    }
    return units;
}

// Gives the channel its name: the FriendlyName text when there is one, else the kind's default
// name. The name always ends in one zero character that NameSize counts.
KWO_PAGED_CODE static NTSTATUS SetChannelName(PSENSOR_CHANNEL Channel, ULONG Kind,
                                              const UCHAR* Text, ULONG TextUnits)
{
    const SENSOR_KIND_INFO* info = &SensorKinds[Kind];
    ULONG size;

    PAGED_CODE();

    if (TextUnits == 0) {
        Text = (const UCHAR*)info->DefaultName;
        size = info->DefaultNameSize;
    } else {
        size = (TextUnits + 1) * sizeof(WCHAR);
    }

    Channel->Name = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, info->NameTag);
    if (Channel->Name == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Channel->Name, size);
    RtlCopyMemory(Channel->Name, Text, size - sizeof(WCHAR));
    Channel->NameSize = size;
    return STATUS_SUCCESS;
}

// Reads the optional limits of one open channel subkey; a side without its value keeps what the
// caller set (no limit).
KWO_PAGED_CODE static VOID ReadChannelLimits(HANDLE ChannelKey, PSENSOR_CHANNEL Channel,
                                             PVOID ValueBuffer, ULONG ValueBufferSize)
{
    ULONG value;

    PAGED_CODE();

    if (QueryDwordValue(ChannelKey, L"LowLimit", ValueBuffer, ValueBufferSize, &value)) {
        Channel->LowLimit = (LONG)value;
    }
    if (QueryDwordValue(ChannelKey, L"HighLimit", ValueBuffer, ValueBufferSize, &value)) {
        Channel->HighLimit = (LONG)value;
    }
}

// Reads the values of one open channel subkey into Channel, whose Name the caller frees if this
// fails after naming it.
KWO_PAGED_CODE static NTSTATUS ReadChannelValues(HANDLE ChannelKey, PSENSOR_CHANNEL Channel,
                                                 ULONG Kind, ULONG HighestRegIndex,
                                                 PVOID ValueBuffer, ULONG ValueBufferSize)
{
    const UCHAR* text = NULL;
    ULONG textLength = 0;
    ULONG textUnits = 0;
    ULONG value;
    BOOLEAN hasRegIndex;
    NTSTATUS status;

    PAGED_CODE();

    if (QueryDwordValue(ChannelKey, L"PreferenceOrder", ValueBuffer, ValueBufferSize, &value)) {
        Channel->PreferenceOrder = value;
    }

    if (QueryTypedValue(ChannelKey, L"FriendlyName", ValueBuffer, ValueBufferSize, REG_SZ, &text,
                        &textLength)) {
        textUnits = RegistryTextUnits(text, textLength);
    }
    status = SetChannelName(Channel, Kind, text, textUnits);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (QueryDwordValue(ChannelKey, L"FunctionIndex", ValueBuffer, ValueBufferSize, &value)) {
        Channel->FunctionIndex = (LONG)value;
    }

    hasRegIndex = QueryDwordValue(ChannelKey, L"RegIndex", ValueBuffer, ValueBufferSize, &value);
    if (hasRegIndex) {
        if (value > HighestRegIndex) {
            return STATUS_REGISTRY_CORRUPT;
        }
        Channel->RegIndex = value;
    } else if (Channel->FunctionIndex < 0) {
        return STATUS_REGISTRY_CORRUPT;
    }

    if (QueryDwordValue(ChannelKey, L"AltRegIndex", ValueBuffer, ValueBufferSize, &value)) {
        Channel->AltRegIndex = value;
    }
    if (QueryDwordValue(ChannelKey, L"R1", ValueBuffer, ValueBufferSize, &value)) {
        Channel->R1 = value;
    }
    if (QueryDwordValue(ChannelKey, L"R2", ValueBuffer, ValueBufferSize, &value)) {
        Channel->R2 = value;
    }
    if (QueryDwordValue(ChannelKey, L"Resolution", ValueBuffer, ValueBufferSize, &value)) {
        Channel->Resolution = value;
    }
    if (QueryDwordValue(ChannelKey, L"TjMax", ValueBuffer, ValueBufferSize, &value)) {
        Channel->TjMax = (LONG)value;
    }
    if (QueryDwordValue(ChannelKey, L"Offset", ValueBuffer, ValueBufferSize, &value)) {
        Channel->Offset = (LONG)value;
    }
    ReadChannelLimits(ChannelKey, Channel, ValueBuffer, ValueBufferSize);
    return STATUS_SUCCESS;
}

// Puts Channel into the list before the first record whose PreferenceOrder is not smaller, so
// that equal orders end up in reverse enumeration order.
KWO_PAGED_CODE static VOID InsertChannel(PSENSOR_CHANNEL_LIST List, const SENSOR_CHANNEL* Channel)
{
    ULONG position;

    PAGED_CODE();

    for (position = 0; position < List->Count; position++) {
        if (List->Channels[position].PreferenceOrder >= Channel->PreferenceOrder) {
            break;
        }
    }
    if (position < List->Count) {
        RtlMoveMemory(&List->Channels[position + 1], &List->Channels[position],
                      (List->Count - position) * sizeof(SENSOR_CHANNEL));
    }
    List->Channels[position] = *Channel;
    List->Count++;
}

// Builds the channel list of one kind key: one record per channel subkey, ordered by
// PreferenceOrder. Enumerating or opening a channel subkey that fails ends the list there.
KWO_PAGED_CODE NTSTATUS LoadChannelList(HANDLE KindKey, PSENSOR_CHANNEL_LIST* List,
                                        ULONG HighestRegIndex, PVOID ValueBuffer,
                                        ULONG ValueBufferSize, ULONG Kind)
{
    PKEY_BASIC_INFORMATION basic = (PKEY_BASIC_INFORMATION)ValueBuffer;
    KEY_FULL_INFORMATION keyInfo;
    PSENSOR_CHANNEL_LIST list = NULL;
    SENSOR_CHANNEL channel;
    HANDLE channelKey = NULL;
    UNICODE_STRING channelName;
    ULONG returned = 0;
    ULONG index;
    NTSTATUS status;

    PAGED_CODE();

    if (List != NULL) {
        *List = NULL;
    }
    if (KindKey == NULL || List == NULL || ValueBuffer == NULL || Kind >= SENSOR_KIND_COUNT ||
        ValueBufferSize < sizeof(KEY_VALUE_FULL_INFORMATION) + sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }

    status = ZwQueryKey(KindKey, KeyFullInformation, &keyInfo, sizeof(keyInfo), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (keyInfo.SubKeys == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (keyInfo.SubKeys >
        (0x7FFFFFFF - offsetof(SENSOR_CHANNEL_LIST, Channels)) / sizeof(SENSOR_CHANNEL)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    list = (PSENSOR_CHANNEL_LIST)ExAllocatePoolWithTag(
        PagedPool, SENSOR_CHANNEL_LIST_SIZE(keyInfo.SubKeys), SensorKinds[Kind].ListTag);
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, SENSOR_CHANNEL_LIST_SIZE(keyInfo.SubKeys));
    list->Capacity = keyInfo.SubKeys;
    list->Count = 0;

    for (index = 0; index < list->Capacity; index++) {
        RtlZeroMemory(&channel, sizeof(channel));
        channel.FunctionIndex = -1;
        channel.AltRegIndex = 255;
        channel.LowLimit = HWM_LIMIT_NONE;
        channel.HighLimit = HWM_LIMIT_NONE;
        channel.PreferenceOrder = index + 1;

        // Two bytes are held back so the name can be zero-terminated in place.
        status = ZwEnumerateKey(KindKey, index, KeyBasicInformation, ValueBuffer,
                                ValueBufferSize - sizeof(WCHAR), &returned);
        if (!NT_SUCCESS(status) ||
            basic->NameLength > ValueBufferSize - sizeof(WCHAR) -
                                    (ULONG)FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)) {
            break;
        }
        basic->Name[basic->NameLength / sizeof(WCHAR)] = L'\0';
        channelName.Length = (USHORT)(basic->NameLength & ~1u);
        channelName.MaximumLength = (USHORT)(channelName.Length + sizeof(WCHAR));
        channelName.Buffer = basic->Name;

        channelKey = NULL;
        status = OpenRegistrySubkey(KindKey, &channelName, &channelKey);
        if (!NT_SUCCESS(status)) {
            break;
        }

        // A name that is not a number leaves Number as the conversion leaves it.
        RtlUnicodeStringToInteger(&channelName, 0, &channel.Number);

        status = ReadChannelValues(channelKey, &channel, Kind, HighestRegIndex, ValueBuffer,
                                   ValueBufferSize);
        ZwClose(channelKey);
        channelKey = NULL;
        if (!NT_SUCCESS(status)) {
            goto failed;
        }
        InsertChannel(list, &channel);
    }

    *List = list;
    return STATUS_SUCCESS;

failed:
    if (channel.Name != NULL) {
        ExFreePoolWithTag(channel.Name, SensorKinds[Kind].NameTag);
    }
    FreeChannelList(&list);
    return status;
}

// Opens the board key of the pattern subkey Name: the subkey itself, or the sibling that its
// Profile value names. Redirection is one level deep.
KWO_PAGED_CODE NTSTATUS OpenProductSubkey(HANDLE ProductKey, PUNICODE_STRING SubkeyName,
                                          PHANDLE BoardKey, PVOID ValueBuffer,
                                          ULONG ValueBufferSize)
{
    HANDLE patternKey = NULL;
    UNICODE_STRING profileName;
    const UCHAR* data = NULL;
    ULONG dataLength = 0;
    ULONG units = 0;
    NTSTATUS status;

    PAGED_CODE();

    if (BoardKey != NULL) {
        *BoardKey = NULL;
    }
    if (ProductKey == NULL || SubkeyName == NULL || BoardKey == NULL || ValueBuffer == NULL ||
        ValueBufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }

    status = OpenRegistrySubkey(ProductKey, SubkeyName, &patternKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The profile name is the text before the value's first zero character; an empty one is
    // no redirection.
    if (QueryTypedValue(patternKey, L"Profile", ValueBuffer, ValueBufferSize, REG_SZ, &data,
                        &dataLength)) {
        units = RegistryTextUnits(data, dataLength);
    }
    if (units == 0) {
        *BoardKey = patternKey;
        return STATUS_SUCCESS;
    }

    profileName.Length = (USHORT)(units * sizeof(WCHAR));
    profileName.MaximumLength = (USHORT)(profileName.Length + sizeof(WCHAR));
    profileName.Buffer =
        (PWSTR)ExAllocatePoolWithTag(PagedPool, profileName.MaximumLength, KWO_TAG_PROFILE_NAME);
    if (profileName.Buffer == NULL) {
        ZwClose(patternKey);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(profileName.Buffer, profileName.MaximumLength);
    RtlCopyMemory(profileName.Buffer, data, profileName.Length);

    ZwClose(patternKey);
    status = OpenRegistrySubkey(ProductKey, &profileName, BoardKey);
    ExFreePoolWithTag(profileName.Buffer, KWO_TAG_PROFILE_NAME);
    return status;
}

// The chip's register count for a kind: the highest RegIndex a channel may name is one less.
KWO_PAGED_CODE static ULONG KindRegisterCount(PDEVICE_EXTENSION Extension, ULONG Kind)
{
    PAGED_CODE();

    switch (Kind) {
    case SENSOR_KIND_VOLTAGE:
        return Extension->VoltageRegCount;
    case SENSOR_KIND_TEMPERATURE:
        return Extension->TempRegCount;
    case SENSOR_KIND_FAN:
        return Extension->FanRegCount;
    default:
        return 0;
    }
}

// Hangs a loaded list on the extension with its count and, for temperatures, the two flags.
KWO_PAGED_CODE static VOID AttachChannelList(PDEVICE_EXTENSION Extension, ULONG Kind,
                                             PSENSOR_CHANNEL_LIST List)
{
    PAGED_CODE();

    switch (Kind) {
    case SENSOR_KIND_VOLTAGE:
        Extension->VoltageChannels = List;
        Extension->VoltageCount = List->Count;
        break;
    case SENSOR_KIND_TEMPERATURE:
        // The flags follow the channels actually read, so channel 0 exists whenever HasTemp1
        // says so, and channel 1 whenever HasTemp2 does.
        Extension->TempChannels = List;
        Extension->TempCount = List->Count;
        Extension->HasTemp1 = List->Count > 0 ? 1 : 0;
        Extension->HasTemp2 = List->Count > 1 ? 1 : 0;
        break;
    case SENSOR_KIND_FAN:
        Extension->FanChannels = List;
        Extension->FanCount = List->Count;
        break;
    }
}

// Loads the voltage, temperature and fan lists of one Product subkey onto the extension. On
// failure the extension holds no list.
KWO_PAGED_CODE NTSTATUS LoadProductChannels(PDEVICE_EXTENSION Extension, HANDLE ProductKey,
                                            PUNICODE_STRING SubkeyName)
{
    ULONG valueBuffer[KWO_VALUE_BUFFER_SIZE / sizeof(ULONG)];
    HANDLE boardKey = NULL;
    HANDLE kindKey;
    UNICODE_STRING kindName;
    PSENSOR_CHANNEL_LIST list;
    ULONG registers;
    ULONG channels = 0;
    ULONG kind;
    NTSTATUS status;

    PAGED_CODE();

    if (Extension == NULL || ProductKey == NULL || SubkeyName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ReleaseChannelLists(Extension);

    status = OpenProductSubkey(ProductKey, SubkeyName, &boardKey, valueBuffer, sizeof(valueBuffer));
    if (!NT_SUCCESS(status)) {
        goto cleanup;
    }

    for (kind = 0; kind < BOARD_CHANNEL_KIND_COUNT; kind++) {
        kindKey = NULL;
        RtlInitUnicodeString(&kindName, BoardChannelKinds[kind].KeyName);
        registers = KindRegisterCount(Extension, BoardChannelKinds[kind].Kind);
        if (!NT_SUCCESS(OpenRegistrySubkey(boardKey, &kindName, &kindKey))) {
            continue;
        }
        if ((LONG)registers <= 0) {
            ZwClose(kindKey);
            continue;
        }
        status = LoadChannelList(kindKey, &list, registers - 1, valueBuffer, sizeof(valueBuffer),
                                 BoardChannelKinds[kind].Kind);
        ZwClose(kindKey);
        if (!NT_SUCCESS(status)) {
            goto cleanup;
        }
        AttachChannelList(Extension, BoardChannelKinds[kind].Kind, list);
        channels += list->Count;
    }

    status = channels != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;

cleanup:
    if (!NT_SUCCESS(status)) {
        ReleaseChannelLists(Extension);
    }
    if (boardKey != NULL) {
        ZwClose(boardKey);
    }
    return status;
}

// The buffers a walk over the Product subkeys reuses: one subkey's basic information and its
// name with a terminator, sized for the longest subkey name the key reports and grown if a
// longer one turns up.
typedef struct _PRODUCT_WALK {
    PKEY_BASIC_INFORMATION Basic;
    ULONG BasicSize;
    PWSTR Name;
    ULONG NameSize;
} PRODUCT_WALK, *PPRODUCT_WALK;

#define BASIC_INFO_NAME_OFFSET ((ULONG)FIELD_OFFSET(KEY_BASIC_INFORMATION, Name))
// Longest name a UNICODE_STRING holds with its terminator.
#define LONGEST_SUBKEY_NAME (0xFFFF - sizeof(WCHAR))

// Makes the walk's buffers hold a subkey name of NameLength bytes. FALSE when an allocation
// fails; the buffers already held stay.
KWO_PAGED_CODE static BOOLEAN ReserveWalkBuffers(PPRODUCT_WALK Walk, ULONG NameLength)
{
    PAGED_CODE();

    if (Walk->Basic == NULL || Walk->BasicSize < BASIC_INFO_NAME_OFFSET + NameLength) {
        const ULONG size = BASIC_INFO_NAME_OFFSET + NameLength < sizeof(KEY_BASIC_INFORMATION)
                               ? (ULONG)sizeof(KEY_BASIC_INFORMATION)
                               : BASIC_INFO_NAME_OFFSET + NameLength;
        PKEY_BASIC_INFORMATION basic =
            (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, KWO_TAG_BASIC_INFO);

        if (basic == NULL) {
            return FALSE;
        }
        if (Walk->Basic != NULL) {
            ExFreePoolWithTag(Walk->Basic, KWO_TAG_BASIC_INFO);
        }
        Walk->Basic = basic;
        Walk->BasicSize = size;
    }
    if (Walk->Name == NULL || Walk->NameSize < NameLength + sizeof(WCHAR)) {
        PWSTR name = (PWSTR)ExAllocatePoolWithTag(PagedPool, NameLength + sizeof(WCHAR),
                                                  KWO_TAG_NAME_BUFFER);

        if (name == NULL) {
            return FALSE;
        }
        if (Walk->Name != NULL) {
            ExFreePoolWithTag(Walk->Name, KWO_TAG_NAME_BUFFER);
        }
        Walk->Name = name;
        Walk->NameSize = NameLength + (ULONG)sizeof(WCHAR);
    }
    return TRUE;
}

KWO_PAGED_CODE static VOID ReleaseWalkBuffers(PPRODUCT_WALK Walk)
{
    PAGED_CODE();

    if (Walk->Basic != NULL) {
        ExFreePoolWithTag(Walk->Basic, KWO_TAG_BASIC_INFO);
        Walk->Basic = NULL;
    }
    if (Walk->Name != NULL) {
        ExFreePoolWithTag(Walk->Name, KWO_TAG_NAME_BUFFER);
        Walk->Name = NULL;
    }
}

// Tests Product subkey Index against the board's product name and, on a match, loads it.
// *Done is set when the walk ends here: a match (whatever its load gives) or a failed
// allocation; *Matched when the subkey matched.
KWO_PAGED_CODE static NTSTATUS TryProductSubkey(PDEVICE_EXTENSION Extension, HANDLE ProductKey,
                                                ULONG Index, PPRODUCT_WALK Walk,
                                                PBOARD_IDENTITY Identity, PBOOLEAN Done,
                                                PBOOLEAN Matched)
{
    UNICODE_STRING name;
    ANSI_STRING ansiName;
    ULONG returned = 0;
    ULONG nameLength = 0;
    BOOLEAN matched = FALSE;
    NTSTATUS status;

    PAGED_CODE();

    *Done = FALSE;

    // A subkey whose information cannot be read takes part with an empty name.
    status = ZwEnumerateKey(ProductKey, Index, KeyBasicInformation, Walk->Basic, Walk->BasicSize,
                            &returned);
    if ((status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) &&
        returned > Walk->BasicSize && returned - BASIC_INFO_NAME_OFFSET <= LONGEST_SUBKEY_NAME) {
        // A name longer than the key reported (it changed since): grow and read again.
        if (!ReserveWalkBuffers(Walk, returned - BASIC_INFO_NAME_OFFSET)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            *Done = TRUE;
            goto cleanup;
        }
        status = ZwEnumerateKey(ProductKey, Index, KeyBasicInformation, Walk->Basic,
                                Walk->BasicSize, &returned);
    }
    if (NT_SUCCESS(status) && Walk->Basic->NameLength <= Walk->BasicSize - BASIC_INFO_NAME_OFFSET &&
        Walk->Basic->NameLength > Walk->NameSize - sizeof(WCHAR)) {
        // The read fitted the information buffer (its fixed part leaves room for a short name)
        // but the name is longer than the key query promised: grow the name buffer for it.
        if (!ReserveWalkBuffers(Walk, Walk->Basic->NameLength)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            *Done = TRUE;
            goto cleanup;
        }
    }
    if (NT_SUCCESS(status) && Walk->Basic->NameLength <= Walk->BasicSize - BASIC_INFO_NAME_OFFSET &&
        Walk->Basic->NameLength <= Walk->NameSize - sizeof(WCHAR)) {
        nameLength = Walk->Basic->NameLength & ~1u;
    }

    RtlZeroMemory(Walk->Name, nameLength + sizeof(WCHAR));
    RtlCopyMemory(Walk->Name, Walk->Basic->Name, nameLength);
    name.Length = (USHORT)nameLength;
    name.MaximumLength = (USHORT)(nameLength + sizeof(WCHAR));
    name.Buffer = Walk->Name;

    // A name that cannot be converted is a mismatch.
    if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansiName, &name, TRUE))) {
        matched = MatchBoardPattern(ansiName.Buffer, Identity);
        RtlFreeAnsiString(&ansiName);
    }

    status = STATUS_SUCCESS;
    if (matched) {
        status = LoadProductChannels(Extension, ProductKey, &name);
        *Done = TRUE;
    }

cleanup:
    if (!matched && !*Done) {
        BoardPatternMismatched(Identity);
    }
    *Matched = matched;
    return status;
}

// Loads the board's channel configuration: the first subkey of the Product key whose name, a
// wildcard pattern, matches the board's product name. Lists held from an earlier start are
// freed first. Any failure leaves the extension without lists.
KWO_PAGED_CODE NTSTATUS LoadBoardConfiguration(PDEVICE_EXTENSION Extension)
{
    UNICODE_STRING productPath;
    HANDLE productKey = NULL;
    PKEY_FULL_INFORMATION keyInfo = NULL;
    ULONG infoSize = 0;
    ULONG index;
    BOARD_IDENTITY identity = {FALSE, FALSE};
    PRODUCT_WALK walk = {NULL, 0, NULL, 0};
    BOOLEAN done = FALSE;
    BOOLEAN matched = FALSE;
    NTSTATUS status;

    PAGED_CODE();

    if (Extension == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ReleaseChannelLists(Extension);

    RtlInitUnicodeString(&productPath, KWO_PRODUCT_KEY);
    status = OpenRegistryKey(&productPath, &productKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = ZwQueryKey(productKey, KeyFullInformation, NULL, 0, &infoSize);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_TOO_SMALL &&
        status != STATUS_BUFFER_OVERFLOW) {
        goto cleanup;
    }
    if (infoSize < sizeof(KEY_FULL_INFORMATION)) {
        infoSize = sizeof(KEY_FULL_INFORMATION);
    }
    keyInfo = (PKEY_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, infoSize, KWO_TAG_KEY_INFO);
    if (keyInfo == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto cleanup;
    }
    RtlZeroMemory(keyInfo, infoSize);
    status = ZwQueryKey(productKey, KeyFullInformation, keyInfo, infoSize, &infoSize);
    if (!NT_SUCCESS(status)) {
        goto cleanup;
    }

    status = STATUS_UNSUCCESSFUL;
    if (keyInfo->SubKeys != 0 &&
        !ReserveWalkBuffers(&walk, keyInfo->MaxNameLen <= LONGEST_SUBKEY_NAME
                                       ? keyInfo->MaxNameLen
                                       : (ULONG)LONGEST_SUBKEY_NAME)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto cleanup;
    }
    for (index = 0; index < keyInfo->SubKeys && !done; index++) {
        status = TryProductSubkey(Extension, productKey, index, &walk, &identity, &done, &matched);
    }
    if (!done) {
        status = STATUS_UNSUCCESSFUL;
    }

cleanup:
    EndBoardIdentification(&identity, matched);
    ReleaseWalkBuffers(&walk);
    if (keyInfo != NULL) {
        ExFreePoolWithTag(keyInfo, KWO_TAG_KEY_INFO);
    }
    ZwClose(productKey);
    return status;
}

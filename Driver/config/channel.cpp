// Channel records: the constant facts of each sensor kind and the release of a channel list.
#include "channel.h"

// Tags and default names per kind. The current kind shares its name tag with temperatures.
const SENSOR_KIND_INFO SensorKinds[SENSOR_KIND_COUNT] = {
    {KWO_POOL_TAG('V', 'l', 's', 't'), KWO_POOL_TAG('V', 'o', 'l', 'B'), L"Voltage",
     sizeof(L"Voltage")},
    {KWO_POOL_TAG('T', 'l', 's', 't'), KWO_POOL_TAG('T', 'e', 'm', 'B'), L"Temperature",
     sizeof(L"Temperature")},
    {KWO_POOL_TAG('C', 'l', 's', 't'), KWO_POOL_TAG('T', 'e', 'm', 'B'), L"Current",
     sizeof(L"Current")},
    {KWO_POOL_TAG('F', 'l', 's', 't'), KWO_POOL_TAG('F', 'a', 'n', 'B'), L"Fan", sizeof(L"Fan")},
    {KWO_POOL_TAG('P', 'l', 's', 't'), KWO_POOL_TAG('P', 'o', 'w', 'B'), L"Power",
     sizeof(L"Power")},
};

static_assert(sizeof(L"Voltage") == 16 && sizeof(L"Temperature") == 24 &&
                  sizeof(L"Current") == 16 && sizeof(L"Fan") == 8 && sizeof(L"Power") == 12,
              "default name sizes count 16-bit characters and one terminator");

// FreeChannelList
//
// Frees the names of records 0 .. Count - 1, then the list, and clears the caller's pointer.
// A list does not record its kind, so neither its own tag nor its names' tag is known here.
// Freeing with a guessed tag is not an option (a tag mismatch on a checked free stops the
// system), so both are released with ExFreePool, which frees a block whatever its tag.
VOID FreeChannelList(PSENSOR_CHANNEL_LIST* List)
{
    if (List == NULL || *List == NULL)
        return;

    PSENSOR_CHANNEL_LIST list = *List;
    ULONG count = list->Count <= list->Capacity ? list->Count : list->Capacity;
    for (ULONG i = 0; i < count; i++) {
        if (list->Channels[i].Name != NULL) {
            ExFreePool(list->Channels[i].Name);
            list->Channels[i].Name = NULL;
        }
    }
    ExFreePool(list);
    *List = NULL;
}

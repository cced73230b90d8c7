// Channel records: the release of a channel list and the names its records own.
#include "channel.h"

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

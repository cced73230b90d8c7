// The channel configuration store: the board's channel lists loaded from the registry key of
// the first Product pattern that matches the board's product name.
#pragma once

#include "channel.h"

#define KWO_PRODUCT_KEY                                                                            \
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product"
#define KWO_VALUE_BUFFER_SIZE 256

NTSTATUS LoadBoardConfiguration(PDEVICE_EXTENSION Extension);
VOID ReleaseChannelLists(PDEVICE_EXTENSION Extension);
NTSTATUS LoadProductChannels(PDEVICE_EXTENSION Extension, HANDLE ProductKey,
                             PUNICODE_STRING SubkeyName);
NTSTATUS OpenProductSubkey(HANDLE ProductKey, PUNICODE_STRING SubkeyName, PHANDLE BoardKey,
                           PVOID ValueBuffer, ULONG ValueBufferSize);
NTSTATUS LoadChannelList(HANDLE KindKey, PSENSOR_CHANNEL_LIST* List, ULONG HighestRegIndex,
                         PVOID ValueBuffer, ULONG ValueBufferSize, ULONG Kind);
NTSTATUS OpenRegistryKey(PUNICODE_STRING Path, PHANDLE Key);
NTSTATUS OpenRegistrySubkey(HANDLE Parent, PUNICODE_STRING Name, PHANDLE Key);

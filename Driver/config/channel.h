// Channel records: one configured sensor channel, and the counted, ordered list of them that the
// configuration store builds at start and the readings and requests only read.
#pragma once

#include "../control/device.h"

typedef struct _SENSOR_CHANNEL {
    ULONG NameSize; // bytes of Name, its terminating zero character included
    PWSTR Name;
    ULONG PreferenceOrder;
    ULONG Number;
    ULONG RegIndex;
    ULONG AltRegIndex;
    ULONG R1;
    ULONG R2;
    ULONG Resolution;
    LONG TjMax;
    LONG Offset;
    LONG FunctionIndex;
    // Safe range in the units of the channel's reading; HWM_LIMIT_NONE where none is configured.
    LONG LowLimit;
    LONG HighLimit;
} SENSOR_CHANNEL, *PSENSOR_CHANNEL;

typedef struct _SENSOR_CHANNEL_LIST {
    ULONG Capacity;
    ULONG Count;
    SENSOR_CHANNEL Channels[1];
} SENSOR_CHANNEL_LIST, *PSENSOR_CHANNEL_LIST;

// A record holds its name's pointer, so its size differs between x86 and x64; every size is
// taken with sizeof and computed in SIZE_T, and records stay in the kernel.
#define SENSOR_CHANNEL_LIST_SIZE(Capacity)                                                         \
    (offsetof(SENSOR_CHANNEL_LIST, Channels) + (SIZE_T)(Capacity) * sizeof(SENSOR_CHANNEL))

// Sensor kinds and the constant facts of each.
#define SENSOR_KIND_VOLTAGE 0
#define SENSOR_KIND_TEMPERATURE 1
#define SENSOR_KIND_CURRENT 2
#define SENSOR_KIND_FAN 3
#define SENSOR_KIND_POWER 4
#define SENSOR_KIND_COUNT 5

typedef struct _SENSOR_KIND_INFO {
    ULONG ListTag;
    ULONG NameTag;
    PCWSTR DefaultName;
    ULONG DefaultNameSize; // bytes, terminator included
} SENSOR_KIND_INFO;

extern const SENSOR_KIND_INFO SensorKinds[SENSOR_KIND_COUNT];

// Frees the names of the filled records, then the list, and sets *List to null.
VOID FreeChannelList(PSENSOR_CHANNEL_LIST* List);

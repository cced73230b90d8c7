// The constant facts of each sensor kind: the pool tags of its channel list and channel names,
// and the name a channel gets when the registry gives none.
#include "channel.h"

const SENSOR_KIND_INFO SensorKinds[SENSOR_KIND_COUNT] = {
    // SENSOR_KIND_VOLTAGE
    {KWO_POOL_TAG('V', 'l', 's', 't'), KWO_POOL_TAG('V', 'o', 'l', 'B'), L"Voltage",
     sizeof(L"Voltage")},
    // SENSOR_KIND_TEMPERATURE
    {KWO_POOL_TAG('T', 'l', 's', 't'), KWO_POOL_TAG('T', 'e', 'm', 'B'), L"Temperature",
     sizeof(L"Temperature")},
    // SENSOR_KIND_CURRENT: its names share the temperature names' tag.
    {KWO_POOL_TAG('C', 'l', 's', 't'), KWO_POOL_TAG('T', 'e', 'm', 'B'), L"Current",
     sizeof(L"Current")},
    // SENSOR_KIND_FAN
    {KWO_POOL_TAG('F', 'l', 's', 't'), KWO_POOL_TAG('F', 'a', 'n', 'B'), L"Fan", sizeof(L"Fan")},
    // SENSOR_KIND_POWER
    {KWO_POOL_TAG('P', 'l', 's', 't'), KWO_POOL_TAG('P', 'o', 'w', 'B'), L"Power",
     sizeof(L"Power")},
};

static_assert(sizeof(L"Voltage") == 16 && sizeof(L"Temperature") == 24 &&
                  sizeof(L"Current") == 16 && sizeof(L"Fan") == 8 && sizeof(L"Power") == 12,
              "default name sizes count 16-bit characters and one terminator");

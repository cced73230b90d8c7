// The contract between the driver and user-mode programs: device names, the interface class,
// the device-control codes and selectors, and the layouts of the replies. Plain data only, no
// pointers, so the same bytes mean the same thing to a driver and a client of either width.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_WRITE_ACCESS 0x0002
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif

// Names of the device as user mode opens it.
#define KWOTARV_DEVICE_NAME L"\\Device\\KwoTarv"
#define KWOTARV_SYMBOLIC_LINK L"\\DosDevices\\KwoTarvDev"
#define KWOTARV_USER_PATH "\\\\.\\KwoTarvDev"

// The mutex that monitoring tools on one machine share around their Super I/O port accesses.
// The driver's reading requests drive the chip's index/data ports, so an application that sends
// them itself should do as kwotarv does: open the mutex by this name (or create it, with a
// security descriptor that grants everyone full access, when no tool has yet), wait for it a
// bounded time (kwotarv: 500 ms) before each batch of requests (the three values requests of
// one reading), treat WAIT_ABANDONED as acquired, and release it right after the batch.
#define KWOTARV_ISA_BUS_MUTEX_NAME L"Global\\Access_ISABUS.HTP.Method"

// Device interface class {C52B5736-1ADB-43D0-9A05-25B5C26CBA96}.
#define KWOTARV_INTERFACE_GUID_INIT                                                                \
    {                                                                                              \
        0xC52B5736, 0x1ADB, 0x43D0,                                                                \
        {                                                                                          \
            0x9A, 0x05, 0x25, 0xB5, 0xC2, 0x6C, 0xBA, 0x96                                         \
        }                                                                                          \
    }
#define KWOTARV_INTERFACE_GUID_TEXT "{C52B5736-1ADB-43D0-9A05-25B5C26CBA96}"

// Device-control codes. All are buffered; the two readings of temperatures and voltages need a
// handle opened for writing.
#define IOCTL_HWM_GET_TEMPERATURES                                                                 \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_HWM_GET_VOLTAGES                                                                     \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_HWM_GET_CHIP_DESC                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HWM_GET_CHIP_INFO                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HWM_GET_FANS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HWM_GET_CHANNEL_NAMES                                                                \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x920, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HWM_GET_CHANNEL_VALUES                                                               \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x921, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The configured limits of each channel of a group: input and buffer rules of the values request,
// one HWM_CHANNEL_LIMITS per channel in the order of the values. Reads no sensor.
#define IOCTL_HWM_GET_CHANNEL_LIMITS                                                               \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x922, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_HWM_GET_TEMPERATURES == 0x22A400, "control code layout");
static_assert(IOCTL_HWM_GET_VOLTAGES == 0x22A404, "control code layout");
static_assert(IOCTL_HWM_GET_CHIP_DESC == 0x22240C, "control code layout");
static_assert(IOCTL_HWM_GET_CHIP_INFO == 0x222410, "control code layout");
static_assert(IOCTL_HWM_GET_FANS == 0x222414, "control code layout");
static_assert(IOCTL_HWM_GET_CHANNEL_NAMES == 0x222480, "control code layout");
static_assert(IOCTL_HWM_GET_CHANNEL_VALUES == 0x222484, "control code layout");
static_assert(IOCTL_HWM_GET_CHANNEL_LIMITS == 0x222488, "control code layout");

// Channel selectors of the names and values requests; 1 to 3 are also the info block's kinds.
#define HWM_SELECT_VOLTAGES 1
#define HWM_SELECT_TEMPERATURE1 2
#define HWM_SELECT_TEMPERATURE2 3
#define HWM_SELECT_TEMPERATURES 4
#define HWM_SELECT_FANS 5

// Reply sizes.
#define HWM_TEMPERATURES_REPLY_SIZE 12
#define HWM_VOLTAGES_REPLY_SIZE 20
#define HWM_CHIP_DESC_SIZE 256
#define HWM_VOLTAGE_LIST_SIZE 128
#define HWM_CHIP_DESC_REPLY_SIZE (HWM_CHIP_DESC_SIZE + HWM_VOLTAGE_LIST_SIZE)
#define HWM_FANS_REPLY_SIZE 20
#define HWM_CHANNEL_NAME_SLOT 64

// Room of the reading arrays.
#define HWM_MAX_VOLTAGES 9
#define HWM_MAX_TEMPERATURES 3
#define HWM_MAX_FANS 5

// Chip type codes.
#define CHIP_NONE 0
#define CHIP_W83627DHG 1
#define CHIP_W83627HF 2
#define CHIP_NCT6776 6
#define CHIP_NCT5523D 7

#pragma pack(push, 4)

// One group of the info block: the voltage names (kind 1) or one temperature channel (2, 3).
typedef struct _SENSOR_GROUP {
    uint16_t Kind;
    uint16_t Reserved;
    union {
        uint16_t VoltageNames[64]; // kind 1: the voltage list
        struct {
            uint16_t ChannelName[32]; // kinds 2 and 3
            uint32_t Attribute;
            uint32_t Attribute2;
            uint8_t Unused[56];
        } Temperature;
    } u;
} SENSOR_GROUP;

// The info block as returned by IOCTL_HWM_GET_CHIP_INFO. Size counts one zero record more than
// GroupCount uses, so Size is 536, 668 or 800.
typedef struct _CHIP_INFO_BLOCK {
    uint32_t Size;
    uint32_t Reserved1;
    uint32_t Reserved2;
    uint16_t Description[128];
    uint32_t GroupCount;
    SENSOR_GROUP Groups[4];
} CHIP_INFO_BLOCK;

#pragma pack(pop)

#define CHIP_INFO_BLOCK_HEADER_SIZE offsetof(CHIP_INFO_BLOCK, Groups)
#define CHIP_INFO_BLOCK_SIZE(TempGroups)                                                           \
    ((uint32_t)(CHIP_INFO_BLOCK_HEADER_SIZE + sizeof(SENSOR_GROUP) * ((TempGroups) + 2)))

static_assert(sizeof(SENSOR_GROUP) == 132, "SENSOR_GROUP layout");
static_assert(offsetof(SENSOR_GROUP, u.VoltageNames) == 4, "SENSOR_GROUP layout");
static_assert(offsetof(SENSOR_GROUP, u.Temperature.ChannelName) == 4, "SENSOR_GROUP layout");
static_assert(offsetof(SENSOR_GROUP, u.Temperature.Attribute) == 68, "SENSOR_GROUP layout");
static_assert(offsetof(SENSOR_GROUP, u.Temperature.Attribute2) == 72, "SENSOR_GROUP layout");
static_assert(offsetof(CHIP_INFO_BLOCK, Description) == 12, "CHIP_INFO_BLOCK layout");
static_assert(offsetof(CHIP_INFO_BLOCK, GroupCount) == 268, "CHIP_INFO_BLOCK layout");
static_assert(offsetof(CHIP_INFO_BLOCK, Groups) == 272, "CHIP_INFO_BLOCK layout");
static_assert(CHIP_INFO_BLOCK_SIZE(0) == 536, "info block without temperature groups");
static_assert(CHIP_INFO_BLOCK_SIZE(1) == 668, "info block with one temperature group");
static_assert(CHIP_INFO_BLOCK_SIZE(2) == 800, "info block with two temperature groups");
static_assert(sizeof(CHIP_INFO_BLOCK) == 800, "largest info block");

// ---- callers of both widths ----------------------------------------------------------------
// A 32-bit program on 64-bit Windows (WOW64) talks to the 64-bit driver with no translation, and
// a 64-bit program to the 32-bit driver likewise: every code is METHOD_BUFFERED, so the I/O
// manager copies bytes and no pointer crosses, and every input and reply below is made of
// fixed-width fields aligned to at most 4 bytes, so it has one layout on x86 and x64. These
// asserts are compiled into the x86 and x64 driver, the 32- and 64-bit kwotarv.exe and the host.
typedef uint32_t HWM_CHANNEL_SELECTOR; // input of the names and values requests
typedef uint32_t HWM_SIZE_NEEDED;      // an overflow reply: the output length that would do
typedef int32_t HWM_TEMPERATURE;       // each value of IOCTL_HWM_GET_TEMPERATURES
typedef uint32_t HWM_READING;          // each value of the voltages, fans and channel values

// One channel's limits, in the units of its reading: hundredths of a volt, tenths of a degree
// Celsius (signed), or the fan's raw count. A reading below Low or above High is out of range.
// HWM_LIMIT_NONE on a side means the channel has no limit there (a configured value of
// 0x80000000 reads as no limit too).
#define HWM_LIMIT_NONE ((int32_t)(-2147483647 - 1))
typedef struct _HWM_CHANNEL_LIMITS {
    int32_t Low;
    int32_t High;
} HWM_CHANNEL_LIMITS;

static_assert(sizeof(HWM_CHANNEL_SELECTOR) == 4 && sizeof(HWM_SIZE_NEEDED) == 4,
              "request fields are 32 bits for every caller");
static_assert(HWM_TEMPERATURES_REPLY_SIZE == 3 * sizeof(HWM_TEMPERATURE), "temperature reply");
static_assert(HWM_VOLTAGES_REPLY_SIZE == 5 * sizeof(HWM_READING), "voltage reply");
static_assert(HWM_FANS_REPLY_SIZE == HWM_MAX_FANS * sizeof(HWM_READING), "fan reply");
static_assert(HWM_CHANNEL_NAME_SLOT % sizeof(uint16_t) == 0, "name slots hold UTF-16 units");
static_assert(sizeof(HWM_CHANNEL_LIMITS) == 8 && offsetof(HWM_CHANNEL_LIMITS, High) == 4 &&
                  alignof(HWM_CHANNEL_LIMITS) == 4,
              "limits reply: two signed 32-bit values per channel");
static_assert(alignof(SENSOR_GROUP) == 4 && alignof(CHIP_INFO_BLOCK) == 4,
              "info block: no field needs more than 4-byte alignment, so no width pads it");

/* kwotarv.h: the KwoTarv hardware monitor for applications (kwotarv.dll on Windows,
 * libkwotarv.so over the simulator on Linux).
 *
 * Calling convention: plain C (cdecl on x86; x64 has only one), so that ctypes.CDLL and
 * P/Invoke's CallingConvention.Cdecl call it as they are. Every function returns a kwo_status;
 * text is UTF-8. A handle is a number from the library's own table: one never handed out, or
 * already closed, gives KWO_ERROR_INVALID_HANDLE, whatever its value. Handles may be used from
 * several threads; calls on one handle are serialised.
 *
 * The library takes the ISA-bus mutex that monitoring tools share
 * (Global\Access_ISABUS.HTP.Method) around each batch of requests it sends, waiting up to the
 * handle's bus-lock wait (KWO_DEFAULT_BUS_LOCK_WAIT_MS unless opened with kwo_open_with). */
#ifndef KWOTARV_H
#define KWOTARV_H

#include <stdint.h>

#include "kwotarv_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(KWOTARV_BUILDING_LIBRARY)
#define KWO_API __declspec(dllexport)
#else
#define KWO_API __declspec(dllimport)
#endif
#define KWO_CALL __cdecl
#else
#define KWO_API __attribute__((visibility("default")))
#define KWO_CALL
#endif

typedef uint32_t kwo_handle; /* 0 is never a handle */
typedef int32_t kwo_status;

/* Statuses. */
#define KWO_OK 0
#define KWO_ERROR_INVALID_HANDLE 1   /* never opened, already closed, or not a handle */
#define KWO_ERROR_INVALID_ARGUMENT 2 /* a NULL pointer, an unknown kind, too long a wait */
#define KWO_ERROR_BUFFER_TOO_SMALL 3 /* *count (or *needed) tells how many would do */
#define KWO_ERROR_NO_DEVICE 4        /* the driver's device is not there */
#define KWO_ERROR_ACCESS_DENIED 5    /* the device may not be opened by this user */
#define KWO_ERROR_BUS_LOCK_TIMEOUT 6 /* another tool held the ISA-bus mutex for the whole wait */
#define KWO_ERROR_REQUEST_FAILED 7   /* the driver failed a request or replied malformed */
#define KWO_ERROR_TOO_MANY_HANDLES 8 /* KWO_MAX_HANDLES are open */
#define KWO_ERROR_SYSTEM 9           /* the system refused a resource (the bus mutex, memory) */

#define KWO_DEFAULT_BUS_LOCK_WAIT_MS 500u
#define KWO_MAX_BUS_LOCK_WAIT_MS 60000u
#define KWO_MAX_HANDLES 64u

/* Channel kinds, also the groups of kwo_read_group. */
#define KWO_KIND_VOLTAGE 1
#define KWO_KIND_TEMPERATURE 2
#define KWO_KIND_FAN 3

/* Alarm states. */
#define KWO_ALARM_NONE 0
#define KWO_ALARM_LOW 1     /* below its low limit */
#define KWO_ALARM_HIGH 2    /* above its high limit */
#define KWO_ALARM_STOPPED 3 /* a fan whose chip says it stands */

/* A side of a channel's range that has no limit. */
#define KWO_NO_LIMIT (-1.0e300)
/* A fan whose counts are not speeds on its chip. */
#define KWO_NO_RPM (-1.0)

typedef struct kwo_channel {
    char name[100];    /* as configured for the board */
    char unit[12];     /* of value, low and high: "V", "\xC2\xB0" "C" or "count" */
    uint32_t kind;     /* KWO_KIND_* */
    uint32_t index;    /* within its group, from 0 */
    int32_t has_value; /* 0 for a temperature channel after the second, which is never read */
    int32_t alarm;     /* KWO_ALARM_* */
    double value;      /* volts, degrees Celsius, or the fan's count */
    double low;        /* KWO_NO_LIMIT when absent */
    double high;       /* KWO_NO_LIMIT when absent */
    double rpm;        /* fans: revolutions per minute, or KWO_NO_RPM; others KWO_NO_RPM */
} kwo_channel;

/* One group of the chip's info block: the voltage names (kind 1, separated by spaces) or one
 * temperature channel (kinds 2 and 3) with its two attributes. */
typedef struct kwo_info_group {
    uint32_t kind;
    uint32_t attribute;
    uint32_t attribute2;
    char names[196];
} kwo_info_group;

#define KWO_MAX_INFO_GROUPS 4

typedef struct kwo_chip_info {
    char description[388];  /* the chip's description */
    char voltage_list[196]; /* the voltage names as stored, each followed by a space */
    uint32_t block_size;    /* the info block's size: 536, 668 or 800 bytes */
    uint32_t group_count;   /* groups[] entries in use */
    kwo_info_group groups[KWO_MAX_INFO_GROUPS];
} kwo_chip_info;

/* Opens the device with the default bus-lock wait. */
KWO_API kwo_status KWO_CALL kwo_open(kwo_handle* handle);
/* Opens the device; each batch of requests waits up to bus_lock_wait_ms (at most
 * KWO_MAX_BUS_LOCK_WAIT_MS) for the ISA-bus mutex. */
KWO_API kwo_status KWO_CALL kwo_open_with(uint32_t bus_lock_wait_ms, kwo_handle* handle);
KWO_API kwo_status KWO_CALL kwo_close(kwo_handle handle);

/* Every channel: voltages, then temperatures, then fans. With fewer than needed places
 * (capacity), nothing is written, *count is the number needed and the status is
 * KWO_ERROR_BUFFER_TOO_SMALL; channels may be NULL with capacity 0 to ask for it. */
KWO_API kwo_status KWO_CALL kwo_read_all(kwo_handle handle, kwo_channel* channels,
                                         uint32_t capacity, uint32_t* count);
/* The channels of one kind (KWO_KIND_*), with the same buffer rule. */
KWO_API kwo_status KWO_CALL kwo_read_group(kwo_handle handle, uint32_t kind, kwo_channel* channels,
                                           uint32_t capacity, uint32_t* count);
/* The chip's description and its info block. */
KWO_API kwo_status KWO_CALL kwo_describe(kwo_handle handle, kwo_chip_info* info);

/* What a status means, in English; never NULL. */
KWO_API const char* KWO_CALL kwo_status_text(kwo_status status);
/* The library's version, "MAJOR.MINOR.PATCH". */
KWO_API const char* KWO_CALL kwo_version(void);

#ifdef __cplusplus
}
#endif

#endif

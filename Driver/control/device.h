// The per-device state record and the pool tags of the driver. Every driver routine that works
// on a device takes its DEVICE_EXTENSION as the first argument.
#pragma once

#include "../kernel.h"
#include "../public/kwotarv_public.h"
#include "globals.h"

struct _SENSOR_CHANNEL_LIST;

// Pool tags, one per kind of allocation.
#define KWO_TAG_REGISTRY_PATH KWO_POOL_TAG('T', 'a', 'r', 'v')
#define KWO_TAG_REMOVE_LOCK KWO_POOL_TAG('T', 'a', 'r', 'v')
#define KWO_TAG_INTERFACE_PATH KWO_POOL_TAG('D', 'o', 's', 'N')
#define KWO_TAG_CHIP_INFO KWO_POOL_TAG('C', 'i', 'n', 'f')
#define KWO_TAG_FIRMWARE KWO_POOL_TAG('B', 'B', 'N', 'm')
#define KWO_TAG_PRODUCT_NAME KWO_POOL_TAG('D', 'e', 'v', 'N')
#define KWO_TAG_KEY_INFO KWO_POOL_TAG('K', 'I', 'n', 'f')
#define KWO_TAG_BASIC_INFO KWO_POOL_TAG('B', 'I', 'n', 'f')
#define KWO_TAG_NAME_BUFFER KWO_POOL_TAG('N', 'B', 'u', 'f')
#define KWO_TAG_PROFILE_NAME KWO_POOL_TAG('P', 'n', 'm', 'e')

#define KWO_REGISTRY_PATH_ROOM 260

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    IO_REMOVE_LOCK RemoveLock;
    ULONG HwmBase;
    UNICODE_STRING RegistryPath;
    WCHAR RegistryPathBuffer[KWO_REGISTRY_PATH_ROOM / sizeof(WCHAR)];
    ULONG ChipType;
    LONG Temperatures[HWM_MAX_TEMPERATURES];
    ULONG Voltages[HWM_MAX_VOLTAGES];
    ULONG Fans[HWM_MAX_FANS];
    WCHAR ChipDesc[HWM_CHIP_DESC_SIZE / sizeof(WCHAR)];
    WCHAR VoltageList[HWM_VOLTAGE_LIST_SIZE / sizeof(WCHAR)];
    CHIP_INFO_BLOCK* ChipInfo;
    ULONG HasTemp1;
    ULONG HasTemp2;
    ULONG TempCount;
    BOOLEAN VbatMonitor;
    ULONG VoltageCount;
    ULONG FanCount;
    const USHORT* VoltageRegs;
    ULONG VoltageRegCount;
    ULONG VoltageLsb;
    const USHORT* TempRegs;
    ULONG TempRegCount;
    const USHORT* FanRegs;
    ULONG FanRegCount;
    struct _SENSOR_CHANNEL_LIST* VoltageChannels;
    struct _SENSOR_CHANNEL_LIST* TempChannels;
    struct _SENSOR_CHANNEL_LIST* FanChannels;
    UNICODE_STRING InterfaceName;
    // Serialises whole uses of the chip's hardware-monitor ports and of the reading arrays:
    // a request from its first reading to the end of its copy, and the power path's re-arm.
    KEVENT DeviceLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The extension holds pointers, so its size differs between x86 and x64; it never reaches user
// mode as a whole. What does is copied straight out of these fields, which therefore keep the
// contract's widths on every architecture.
static_assert(offsetof(DEVICE_EXTENSION, VoltageList) ==
                  offsetof(DEVICE_EXTENSION, ChipDesc) + HWM_CHIP_DESC_SIZE,
              "the chip-description reply returns ChipDesc and VoltageList as one block");
static_assert(sizeof(((DEVICE_EXTENSION*)0)->Temperatures[0]) == sizeof(HWM_TEMPERATURE) &&
                  sizeof(((DEVICE_EXTENSION*)0)->Voltages[0]) == sizeof(HWM_READING) &&
                  sizeof(((DEVICE_EXTENSION*)0)->Fans[0]) == sizeof(HWM_READING),
              "the reading arrays are copied to user mode as they are");

// The device lock is a synchronisation event: usable at passive level inside a critical region.
inline VOID InitializeDeviceLock(PDEVICE_EXTENSION Extension)
{
    KeInitializeEvent(&Extension->DeviceLock, SynchronizationEvent, TRUE);
}

inline VOID AcquireDeviceLock(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->DeviceLock, Executive, KernelMode, FALSE, NULL);
}

inline VOID ReleaseDeviceLock(PDEVICE_EXTENSION Extension)
{
    KeSetEvent(&Extension->DeviceLock, IO_NO_INCREMENT, FALSE);
}

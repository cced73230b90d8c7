// The control interface: create/close and device-control requests, and the description block
// built once per start.
#pragma once

#include "device.h"

#define KWO_SERVICE_KEY L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv"

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CopyChannelNames(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector, PULONG Length);
NTSTATUS CopyChannelValues(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                           PULONG Length);
NTSTATUS CopyChannelLimits(PDEVICE_EXTENSION Extension, PVOID Buffer, ULONG Selector,
                           PULONG Length);

NTSTATUS BuildDescriptionBlock(PDEVICE_EXTENSION Extension);

// Driver lifecycle: entry, AddDevice, unload, Plug and Play and power.
#pragma once

#include "../control/device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp);
NTSTATUS StartDevice(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS RemoveDevice(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID FreeDeviceDescription(PDEVICE_EXTENSION Extension);
VOID DisableDeviceInterface(PDEVICE_EXTENSION Extension);

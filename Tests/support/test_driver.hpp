// A tiny WDM driver for exercising the simulated I/O and PnP managers: each dispatch routine,
// AddDevice and unload forward to a std::function set by the test, so every case states the
// driver behaviour it needs next to its expectations.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim_fixture.hpp"
#include "kernel/pnp/bus_device.hpp"
#include "kernel/ke/threads.hpp"
#include "kernel/io/device_io.hpp"
#include "kernel/io/io_manager.hpp"
#include "kernel/pnp/pnp_manager.hpp"
#include "sim_ntddk.h"

namespace testdrv {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Extension {
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
};

struct Behaviour {
    Dispatch dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
    std::function<NTSTATUS(PDRIVER_OBJECT, PDEVICE_OBJECT)> addDevice;
    std::function<void(PDRIVER_OBJECT)> unload;
    bool installUnload = true;
    std::u16string pathSeenAtEntry;
    PCUNICODE_STRING pathPointer = nullptr;
};

inline Behaviour& B()
{
    static Behaviour behaviour;
    return behaviour;
}

inline NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return B().dispatch[major](device, irp);
}

inline NTSTATUS NTAPI AddDeviceTrampoline(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return B().addDevice(driver, pdo);
}

inline VOID NTAPI UnloadTrampoline(PDRIVER_OBJECT driver)
{
    if (B().unload)
        B().unload(driver);
}

// DriverEntry: installs a routine for each major function the test gave a behaviour for.
inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    B().pathSeenAtEntry = sim::io::ToU16(*path);
    B().pathPointer = path;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (B().dispatch[major])
            driver->MajorFunction[major] = DispatchAny;
    if (B().addDevice)
        driver->DriverExtension->AddDevice = AddDeviceTrampoline;
    if (B().installUnload)
        driver->DriverUnload = UnloadTrampoline;
    return STATUS_SUCCESS;
}

inline Extension* Ext(PDEVICE_OBJECT device)
{
    return static_cast<Extension*>(device->DeviceExtension);
}

// Completes the request with a status and returns it, as a dispatch routine's single exit does.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(Ext(device)->lower, irp);
}

inline NTSTATUS NTAPI SignalOnPending(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned && context != nullptr)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower drivers hand it back.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnPending, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// AddDevice of a plain function driver: unnamed FDO with an Extension, attached to the PDO.
inline NTSTATUS PlainAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PCWSTR name = nullptr)
{
    UNICODE_STRING deviceName;
    if (name != nullptr)
        RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), name ? &deviceName : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(fdo->DeviceExtension, sizeof(Extension));
    IoInitializeRemoveLock(&Ext(fdo)->removeLock, 0x74736554, 1, 10);
    Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (Ext(fdo)->lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Default behaviour: AddDevice as above, PnP and power passed down, create/close succeed,
// removal detaches and deletes.
inline void InstallPassThrough()
{
    Behaviour& b = B();
    b.addDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        return PlainAddDevice(driver, pdo);
    };
    b.dispatch[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
        const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        if (minor != IRP_MN_REMOVE_DEVICE)
            return PassDown(device, irp);
        PDEVICE_OBJECT lower = Ext(device)->lower;
        const NTSTATUS status = PassDown(device, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    };
    b.dispatch[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Ext(device)->lower, irp);
    };
    b.dispatch[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS);
    };
    b.dispatch[IRP_MJ_CLOSE] = b.dispatch[IRP_MJ_CREATE];
}

} // namespace testdrv

// Every test starts from a fresh machine and a driver with no behaviour.
class IoTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        testdrv::B() = testdrv::Behaviour{};
    }

    void TearDown() override
    {
        sim::bus::WaitForPendingCompletions();
        SimTest::TearDown();
    }

    // Faults reported so far that contain `text`; clears the list so TearDown passes.
    static size_t TakeFaults(const std::string& text)
    {
        size_t count = 0;
        for (const auto& fault : sim::faults::All())
            count += fault.find(text) != std::string::npos ? 1 : 0;
        sim::faults::Clear();
        return count;
    }

    static PDRIVER_OBJECT Load()
    {
        sim::pnp::LoadResult load = sim::pnp::LoadDriver(
            testdrv::Entry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\IoTest");
        EXPECT_EQ(load.status, STATUS_SUCCESS);
        return load.driver;
    }

    // Loads the pass-through driver over a fresh PDO; returns the PDO's bus device.
    sim::bus::BusDevice& LoadOverBus()
    {
        testdrv::InstallPassThrough();
        sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();
        driver_ = Load();
        EXPECT_EQ(sim::pnp::AddDevice(driver_, bus.Pdo()), STATUS_SUCCESS);
        fdo_ = sim::io::TopOfStack(bus.Pdo());
        return bus;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

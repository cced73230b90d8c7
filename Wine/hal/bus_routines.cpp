// The HAL routines the driver imports, carried by the simulated board: port I/O on the simulated
// port bus (which records the trace) and PCI configuration reads from the simulated
// configuration space. Wine's own versions are stubs that touch nothing.
#include <windows.h>

#include "hardware/hardware.hpp"
#include "session.hpp"

namespace {

// BUS_DATA_TYPE's PCIConfiguration.
constexpr ULONG kPciConfiguration = 4;

} // namespace

extern "C" UCHAR WINAPI READ_PORT_UCHAR(PUCHAR port)
{
    const uint8_t value = sim::hw::Current().ports.Read(static_cast<uint16_t>(ULONG_PTR(port)));
    kwohal::FlushModelFaults();
    return value;
}

extern "C" VOID WINAPI WRITE_PORT_UCHAR(PUCHAR port, UCHAR value)
{
    sim::hw::Current().ports.Write(static_cast<uint16_t>(ULONG_PTR(port)), value);
    kwohal::FlushModelFaults();
}

// The same rules as the host build's HAL (Simulator/kernel/hal/hal.cpp): another bus type or an
// absent function transfers nothing.
extern "C" ULONG WINAPI HalGetBusDataByOffset(ULONG busDataType, ULONG bus, ULONG slot,
                                              PVOID buffer, ULONG offset, ULONG length)
{
    if (busDataType != kPciConfiguration)
        return 0;
    if (buffer == nullptr && length != 0) {
        kwohal::Fault("HalGetBusDataByOffset with a null buffer");
        return 0;
    }
    const ULONG done = sim::hw::Current().pci.Read(bus, slot, buffer, offset, length);
    kwohal::FlushModelFaults();
    return done;
}

// Wine's ntoskrnl.exe imports these two from hal.dll on i386, so every hal.dll must provide
// them. Everything in winedevice.exe runs at passive level: the previous IRQL is always 0.
extern "C" VOID WINAPI KeAcquireSpinLock(volatile LONG_PTR* lock, PUCHAR oldIrql)
{
    while (InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(lock), 1, 0) != 0)
        YieldProcessor();
    if (oldIrql != nullptr)
        *oldIrql = 0;
}

extern "C" VOID WINAPI KeReleaseSpinLock(volatile LONG_PTR* lock, UCHAR)
{
    InterlockedExchange(reinterpret_cast<volatile LONG*>(lock), 0);
}

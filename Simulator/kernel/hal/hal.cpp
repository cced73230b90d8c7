// The HAL and the processor instructions as the driver calls them, routed to the current
// machine's hardware models.
#include "nt/hal.h"

#include <cstdio>

#include "hardware/hardware.hpp"
#include "kernel/debug/faults.hpp"
#include "kernel/ke/threads.hpp"

namespace {

// Mapping I/O space is allowed at DISPATCH_LEVEL and below.
void CheckMappingIrql(const char* routine)
{
    if (sim::threads::CurrentIrql() > DISPATCH_LEVEL) {
        char text[96];
        std::snprintf(text, sizeof text, "%s called at IRQL %u", routine,
                      static_cast<unsigned>(sim::threads::CurrentIrql()));
        sim::faults::Report(text);
    }
}

uint16_t PortNumber(PUCHAR Port)
{
    const auto address = reinterpret_cast<ULONG_PTR>(Port);
    if (address > 0xFFFF) {
        char text[80];
        std::snprintf(text, sizeof text, "port transfer to 0x%llX, outside the I/O space",
                      static_cast<unsigned long long>(address));
        sim::faults::Report(text);
    }
    return static_cast<uint16_t>(address);
}

} // namespace

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    return sim::hw::Current().ports.Read(PortNumber(Port));
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    sim::hw::Current().ports.Write(PortNumber(Port), Value);
}

ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length)
{
    if (BusDataType != PCIConfiguration)
        return 0;
    if (Buffer == nullptr && Length != 0) {
        sim::faults::Report("HalGetBusDataByOffset with a null buffer");
        return 0;
    }
    return sim::hw::Current().pci.Read(BusNumber, SlotNumber, Buffer, Offset, Length);
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType)
{
    UNREFERENCED_PARAMETER(CacheType);
    CheckMappingIrql("MmMapIoSpace");
    if (PhysicalAddress.QuadPart < 0)
        return nullptr;
    return sim::hw::Current().memory.Map(static_cast<uint64_t>(PhysicalAddress.QuadPart),
                                         NumberOfBytes);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    CheckMappingIrql("MmUnmapIoSpace");
    sim::hw::Current().memory.Unmap(BaseAddress, NumberOfBytes);
}

ULONGLONG __readmsr(ULONG Register)
{
    return sim::hw::Current().cpu.ReadMsr(Register);
}

void __cpuid(int CpuInfo[4], int Function)
{
    const auto registers = sim::hw::Current().cpu.Cpuid(static_cast<uint32_t>(Function));
    for (int i = 0; i < 4; ++i)
        CpuInfo[i] = static_cast<int>(registers[i]);
}

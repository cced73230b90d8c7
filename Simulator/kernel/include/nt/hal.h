// Hardware access as the HAL and the processor give it: byte ports, PCI configuration space,
// physical memory mappings, model-specific registers and CPUID.
#pragma once

#include "types.h"

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);

typedef enum _BUS_DATA_TYPE {
    ConfigurationSpaceUndefined = -1,
    Cmos,
    EisaConfiguration,
    Pos,
    CbusConfiguration,
    PCIConfiguration,
    VMEConfiguration,
    NuBusConfiguration,
    PCMCIAConfiguration,
    MPIConfiguration,
    MPSAConfiguration,
    PNPISAConfiguration,
    SgiInternalConfiguration,
    MaximumBusDataType
} BUS_DATA_TYPE;

ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length);

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2
} MEMORY_CACHING_TYPE;

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType);
VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// Processor instructions; the simulator routes them to its CPU model.
ULONGLONG __readmsr(ULONG Register);
void __cpuid(int CpuInfo[4], int Function);

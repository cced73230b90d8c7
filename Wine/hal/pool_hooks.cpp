// stdcall entry points for the simulated pool. This file sees the simulated kernel's
// declarations (nt/pool.h), not <windows.h>.
#include "pool_hooks.hpp"

#include <cstring>
#include <string>

#include "kernel/pool/pool.hpp"
#include "nt/pool.h"
#include "session.hpp"

namespace kwohal {

namespace {

#define KWO_STDCALL __attribute__((stdcall))

PVOID KWO_STDCALL AllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    PVOID block = ExAllocatePoolWithTag(type, size, tag);
    FlushModelFaults();
    return block;
}

VOID KWO_STDCALL FreePoolWithTag(PVOID block, ULONG tag)
{
    ExFreePoolWithTag(block, tag);
    FlushModelFaults();
}

VOID KWO_STDCALL FreePool(PVOID block)
{
    ExFreePool(block);
    FlushModelFaults();
}

} // namespace

void* PoolRoutine(const char* name)
{
    if (std::strcmp(name, "ExAllocatePoolWithTag") == 0)
        return reinterpret_cast<void*>(AllocatePoolWithTag);
    if (std::strcmp(name, "ExFreePoolWithTag") == 0)
        return reinterpret_cast<void*>(FreePoolWithTag);
    if (std::strcmp(name, "ExFreePool") == 0)
        return reinterpret_cast<void*>(FreePool);
    return nullptr;
}

void ReportPoolLeftovers()
{
    Log("pool: " + std::to_string(sim::pool::AllocationCount()) + " allocations, " +
        std::to_string(sim::pool::OutstandingCount()) + " outstanding");
    for (const auto& leftover : sim::pool::DescribeOutstanding())
        Fault(leftover + " after unload");
}

} // namespace kwohal

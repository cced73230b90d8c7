// Per-thread kernel state: the IRQL and the critical-region count, with the checks a checked
// build makes on them.
#include "kernel/ke/threads.hpp"

#include <string>

#include "kernel/debug/faults.hpp"
#include "sim_ntddk.h"

namespace {

thread_local int tCriticalRegionDepth = 0;
thread_local uint8_t tIrql = PASSIVE_LEVEL;

} // namespace

namespace sim::threads {

int CriticalRegionDepth()
{
    return tCriticalRegionDepth;
}

uint8_t CurrentIrql()
{
    return tIrql;
}

void SetCurrentIrql(uint8_t irql)
{
    tIrql = irql;
}

} // namespace sim::threads

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    ++tCriticalRegionDepth;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    if (tCriticalRegionDepth == 0) {
        sim::faults::Report("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --tCriticalRegionDepth;
}

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return tIrql;
}

VOID NTAPI SimCheckPagedCode(const char* Function)
{
    if (tIrql > APC_LEVEL)
        sim::faults::Report(std::string("pageable routine ") + Function + " called at IRQL " +
                            std::to_string(tIrql));
}

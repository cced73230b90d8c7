// Per-thread kernel state: critical regions and the IRQL checks of pageable code.
#include <thread>

#include "kernel/debug/faults.hpp"
#include "kernel/ke/threads.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

class ThreadsTest : public SimTest {};

TEST_F(ThreadsTest, CriticalRegionsAreCountedPerThreadAndChecked)
{
    KeEnterCriticalRegion();
    EXPECT_EQ(sim::threads::CriticalRegionDepth(), 1);
    std::thread other([] { EXPECT_EQ(sim::threads::CriticalRegionDepth(), 0); });
    other.join();
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    ASSERT_EQ(sim::faults::All().size(), 1u);
    sim::faults::Clear();
}

TEST_F(ThreadsTest, PagedCodeAtDispatchLevelIsReported)
{
    sim::threads::SetCurrentIrql(DISPATCH_LEVEL);
    PAGED_CODE();
    sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::faults::All().size(), 1u);
    sim::faults::Clear();
}

} // namespace

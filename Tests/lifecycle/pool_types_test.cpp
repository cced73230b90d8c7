// The pool types of a whole life: on Windows 8 (6.2) and later no allocation may be executable,
// so non-paged blocks come from NonPagedPoolNx; before it the system does not know that type
// (it would stop the machine), so they come from NonPagedPool.
#include <gtest/gtest.h>

#include "kernel/debug/faults.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/rtl/version.hpp"
#include "lifecycle_machine.hpp"
#include "sim_fixture.hpp"

using namespace lifecycle;

namespace {

class PoolTypeTest : public SimTest,
                     public ::testing::WithParamInterface<sim::rtl::SystemVersion> {};

TEST_P(PoolTypeTest, EveryBlockIsNonExecutableWhereTheSystemAllows)
{
    const sim::rtl::SystemVersion version = GetParam();
    sim::rtl::SetSystemVersion(version);
    {
        LifecycleMachine machine;
        machine.BringUp();
        sim::io::OpenResult open = machine.Open();
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        for (const Request& request : EveryRequest())
            open.handle.DeviceIoControl(request.code, request.input, request.outputLength);
        open.handle.Close();
        machine.Remove();
        machine.Unload();
    }
    const int nonPaged = version.HasNxPool() ? NonPagedPoolNx : NonPagedPool;
    size_t nonPagedBlocks = 0;
    for (const auto& block : sim::pool::History()) {
        EXPECT_TRUE(block.poolType == PagedPool || block.poolType == nonPaged)
            << sim::pool::TagText(block.tag) << " from pool type " << block.poolType;
        nonPagedBlocks += block.poolType == nonPaged;
    }
    EXPECT_GE(nonPagedBlocks, 1u) << "the info block is non-paged";
    EXPECT_TRUE(sim::faults::All().empty());
    sim::faults::Clear();
}

INSTANTIATE_TEST_SUITE_P(Versions, PoolTypeTest,
                         ::testing::Values(sim::rtl::SystemVersion{5, 1, 2600},
                                           sim::rtl::SystemVersion{6, 1, 7601},
                                           sim::rtl::SystemVersion{6, 2, 9200},
                                           sim::rtl::SystemVersion{10, 0, 22631}),
                         [](const auto& info) {
                             return "Windows" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

// The simulated system stops a driver that asks for a pool type it does not know.
TEST(PoolTypeFidelity, NonExecutablePoolBeforeWindows8IsAFault)
{
    sim::ResetAll();
    sim::rtl::SetSystemVersion({6, 1, 7601});
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT'), nullptr);
    ASSERT_EQ(sim::faults::All().size(), 1u);
    EXPECT_NE(sim::faults::All()[0].find("BAD_POOL_CALLER"), std::string::npos);
    sim::ResetAll();
}

} // namespace

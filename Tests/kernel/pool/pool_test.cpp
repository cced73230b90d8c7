// The simulated pool: fill pattern, per-tag accounting, fault injection and misuse reports.
#include "kernel/debug/faults.hpp"
#include "kernel/pool/pool.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

constexpr ULONG kTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

class PoolTest : public SimTest {};

TEST_F(PoolTest, PoolFillsNewMemoryAndCountsPerTag)
{
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 8, kTag));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(p[i], sim::pool::kFillPattern);
    EXPECT_EQ(sim::pool::OutstandingCount("Test"), 1u);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(sim::pool::OutstandingCount("Test"), 0u);
}

TEST_F(PoolTest, PoolListsTheTagsUsedOnceInTheOrderOfFirstUse)
{
    constexpr ULONG kOther = 'O' | ('t' << 8) | ('h' << 16) | ('r' << 24);
    sim::pool::FailTag("Othr"); // a failed allocation counts as a use too
    PVOID a = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kOther), nullptr);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    EXPECT_EQ(sim::pool::TagsUsed(), (std::vector<std::string>{"Test", "Othr"}));
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    sim::pool::Reset();
    EXPECT_TRUE(sim::pool::TagsUsed().empty());
}

TEST_F(PoolTest, PoolFaultInjectionByCountAndTag)
{
    sim::pool::FailNthAllocation(2);
    PVOID first = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    PVOID second = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    PVOID third = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);

    sim::pool::FailTag("Test");
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kTag), nullptr);
    EXPECT_NE(ExAllocatePoolWithTag(PagedPool, 4, 'x'), nullptr);
    EXPECT_EQ(sim::pool::AllocationCount(), 5u);
}

TEST_F(PoolTest, PoolReportsOverrunWrongTagAndDoubleFree)
{
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 4, kTag));
    p[4] = 0; // one byte past the end
    ExFreePoolWithTag(p, kTag);
    PVOID q = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    ExFreePoolWithTag(q, 'x');
    ExFreePoolWithTag(q, kTag);
    const auto faults = sim::faults::All();
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_NE(faults[0].find("past the end"), std::string::npos);
    EXPECT_NE(faults[1].find("allocated with 'Test'"), std::string::npos);
    EXPECT_NE(faults[2].find("double free"), std::string::npos);
    sim::faults::Clear();
}

} // namespace

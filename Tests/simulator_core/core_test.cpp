// The simulated kernel's own core: pool accounting and faults, strings, events, DbgPrint.
#include <atomic>
#include <thread>

#include "kernel/debug.hpp"
#include "kernel/pool.hpp"
#include "kernel/threads.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

constexpr ULONG kTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

class CoreTest : public SimTest {};

TEST_F(CoreTest, PoolFillsNewMemoryAndCountsPerTag)
{
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 8, kTag));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(p[i], sim::pool::kFillPattern);
    EXPECT_EQ(sim::pool::OutstandingCount("Test"), 1u);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(sim::pool::OutstandingCount("Test"), 0u);
}

TEST_F(CoreTest, PoolListsTheTagsUsedOnceInTheOrderOfFirstUse)
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

TEST_F(CoreTest, PoolFaultInjectionByCountAndTag)
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

TEST_F(CoreTest, PoolReportsOverrunWrongTagAndDoubleFree)
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

TEST_F(CoreTest, CopyUnicodeStringCutsAtDestinationRoomAndTerminatesOnlyWhenItFits)
{
    WCHAR room[4];
    UNICODE_STRING destination = {0, sizeof room, room};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abcdef");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 8);
    EXPECT_EQ(room[3], L'd');

    WCHAR bigger[8];
    destination = {0, sizeof bigger, bigger};
    RtlInitUnicodeString(&source, L"abc");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 6);
    EXPECT_EQ(bigger[3], 0);
}

TEST_F(CoreTest, UnicodeToAnsiAllocatesWithTerminator)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"QIB-12*");
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ansi.Length, 7);
    EXPECT_STREQ(ansi.Buffer, "QIB-12*");
    EXPECT_EQ(sim::pool::OutstandingCount(), 1u);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(CoreTest, UnicodeStringToIntegerBases)
{
    struct Case {
        const wchar_t* text;
        ULONG base;
        ULONG expected;
    } cases[] = {{L"10", 0, 10},    {L"0x1F", 0, 31},  {L"0b101", 0, 5},
                 {L"0o17", 0, 15},  {L"  42", 10, 42}, {L"-1", 10, 0xFFFFFFFF},
                 {L"12ab", 10, 12}, {L"ff", 16, 255},  {L"", 0, 0}};
    for (const auto& c : cases) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 77;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.expected);
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"1");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(CoreTest, WideStringSearchIsCaseSensitive)
{
    EXPECT_NE(SimWcsstr(L"Voltage VBAT ", L"VBAT"), nullptr);
    EXPECT_EQ(SimWcsstr(L"Voltage vbat ", L"VBAT"), nullptr);
    EXPECT_EQ(SimWcslen(L"VBAT"), 4u);
}

TEST_F(CoreTest, DbgPrintFormatsLikeTheKernel)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\\\.\\ROOT#X");
    DbgPrint("Registered interface name: L\"%wZ\".\n\n", &name);
    DbgPrint("thermal_status:0x%X, dsr:%d, tjmax:%d, ulValue:%d\n", 0x88390000u, 57, 100, 43);
    DbgPrint("%lx %ws %I64x", 0xABCDu, L"wide", 0x123456789ull);
    const auto lines = sim::debug::Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Registered interface name: L\"\\\\.\\ROOT#X\".\n\n");
    EXPECT_EQ(lines[1], "thermal_status:0x88390000, dsr:57, tjmax:100, ulValue:43\n");
    EXPECT_EQ(lines[2], "abcd wide 123456789");
}

TEST_F(CoreTest, SynchronizationEventWakesOneWaiterAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread waiter([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(CoreTest, NotificationEventStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(CoreTest, CriticalRegionsAreCountedPerThreadAndChecked)
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

TEST_F(CoreTest, PagedCodeAtDispatchLevelIsReported)
{
    sim::threads::SetCurrentIrql(DISPATCH_LEVEL);
    PAGED_CODE();
    sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::faults::All().size(), 1u);
    sim::faults::Clear();
}

} // namespace

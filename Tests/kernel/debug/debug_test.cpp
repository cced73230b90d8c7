// DbgPrint: formatted as the kernel formats it and captured for tests.
#include "kernel/debug/debug.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

class DbgPrintTest : public SimTest {};

TEST_F(DbgPrintTest, DbgPrintFormatsLikeTheKernel)
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

} // namespace

// The run-time library's counted-string routines and the driver's wide-string helpers.
#include "kernel/pool/pool.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

class RtlStringsTest : public SimTest {};

TEST_F(RtlStringsTest, CopyUnicodeStringCutsAtDestinationRoomAndTerminatesOnlyWhenItFits)
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

TEST_F(RtlStringsTest, UnicodeToAnsiAllocatesWithTerminator)
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

TEST_F(RtlStringsTest, UnicodeStringToIntegerBases)
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

TEST_F(RtlStringsTest, WideStringSearchIsCaseSensitive)
{
    EXPECT_NE(SimWcsstr(L"Voltage VBAT ", L"VBAT"), nullptr);
    EXPECT_EQ(SimWcsstr(L"Voltage vbat ", L"VBAT"), nullptr);
    EXPECT_EQ(SimWcslen(L"VBAT"), 4u);
}

} // namespace

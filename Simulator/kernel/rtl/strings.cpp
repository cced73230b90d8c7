// Run-time library routines on counted strings, with the kernel's length and allocation rules.
#include <cstring>

#include "kernel/debug/faults.hpp"
#include "sim_ntddk.h"

namespace {

constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24); // "Strg"
constexpr USHORT kMaxStringBytes = 0xFFFE;

WCHAR UpcaseUnit(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - (L'a' - L'A')) : c;
}

// The system's ANSI code page (1252) for the characters it shares with Latin-1; everything
// else becomes the default character, as the kernel's conversion does.
char ToAnsi(WCHAR c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    return '?';
}

} // namespace

SIZE_T SimWcslen(PCWSTR String)
{
    SIZE_T length = 0;
    while (String[length] != 0)
        ++length;
    return length;
}

PWCHAR SimWcsstr(PCWSTR Haystack, PCWSTR Needle)
{
    if (*Needle == 0)
        return const_cast<PWCHAR>(Haystack);
    for (; *Haystack != 0; ++Haystack) {
        PCWSTR h = Haystack;
        PCWSTR n = Needle;
        while (*h != 0 && *n != 0 && *h == *n) {
            ++h;
            ++n;
        }
        if (*n == 0)
            return const_cast<PWCHAR>(Haystack);
    }
    return nullptr;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    SIZE_T bytes = SimWcslen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxStringBytes - sizeof(WCHAR))
        bytes = kMaxStringBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE)
        bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    // A terminator is added only when it fits behind the copied text.
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, 0);
        memset(UnicodeString, 0, sizeof(*UnicodeString));
    }
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr) {
        ExFreePoolWithTag(AnsiString->Buffer, 0);
        memset(AnsiString, 0, sizeof(*AnsiString));
    }
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    const ULONG units = SourceString->Length / sizeof(WCHAR);
    const ULONG needed = units + 1;
    if (needed > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG copy = units;
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        if (DestinationString->Buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0)
            return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        copy = DestinationString->MaximumLength - 1U;
    }
    for (ULONG i = 0; i < copy; ++i)
        DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
    DestinationString->Buffer[copy] = 0;
    DestinationString->Length = static_cast<USHORT>(copy);
    return status;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + String->Length / sizeof(WCHAR);
    while (p < end && (*p == L' ' || *p == L'\t'))
        ++p;
    bool negative = false;
    if (p < end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
    }
    if (Base == 0) {
        Base = 10;
        if (p + 1 < end && *p == L'0') {
            switch (p[1]) {
            case L'x':
                Base = 16;
                p += 2;
                break;
            case L'o':
                Base = 8;
                p += 2;
                break;
            case L'b':
                Base = 2;
                p += 2;
                break;
            default:
                break;
            }
        }
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        ULONG digit;
        const WCHAR c = UpcaseUnit(*p);
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        result = result * Base + digit;
    }
    *Value = negative ? 0U - result : result;
    return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    const ULONG n1 = String1->Length / sizeof(WCHAR);
    const ULONG n2 = String2->Length / sizeof(WCHAR);
    const ULONG n = n1 < n2 ? n1 : n2;
    for (ULONG i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpcaseUnit(a);
            b = UpcaseUnit(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

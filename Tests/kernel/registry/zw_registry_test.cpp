// The configuration manager routines as a driver sees them: names, handles, information-class
// layouts and size rules, enumeration order, failure injection and RtlWriteRegistryValue.
#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kernel/debug/faults.hpp"
#include "kernel/registry/registry.hpp"
#include "kernel/ke/threads.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

namespace reg = sim::registry;

const std::string kService = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
const std::string kProduct = kService + "\\Product";
constexpr UCHAR kPattern = 0xA5;

std::u16string U16(const std::string& s)
{
    return reg::Utf8ToUtf16(s);
}

class ZwRegistryTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        reg::CreateKey(kProduct);
    }

    void TearDown() override
    {
        EXPECT_EQ(reg::OpenHandleCount(), 0u) << "a test left a key handle open";
        SimTest::TearDown();
    }

    // Opens `name` (absolute, or relative to `root`) the way the driver does.
    static NTSTATUS Open(HANDLE* handle, const std::string& name, HANDLE root = nullptr,
                         ACCESS_MASK access = KEY_READ)
    {
        std::u16string text = U16(name);
        UNICODE_STRING us;
        us.Length = static_cast<USHORT>(text.size() * 2);
        us.MaximumLength = us.Length;
        us.Buffer = reinterpret_cast<PWSTR>(text.data());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        return ZwOpenKey(handle, access, &oa);
    }

    static HANDLE MustOpen(const std::string& name, HANDLE root = nullptr,
                           ACCESS_MASK access = KEY_READ)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(&handle, name, root, access), STATUS_SUCCESS) << name;
        return handle;
    }

    static NTSTATUS QueryValue(HANDLE key, const std::string& name, KEY_VALUE_INFORMATION_CLASS cls,
                               void* buffer, ULONG length, ULONG* result)
    {
        std::u16string text = U16(name);
        UNICODE_STRING us{static_cast<USHORT>(text.size() * 2),
                          static_cast<USHORT>(text.size() * 2),
                          reinterpret_cast<PWSTR>(text.data())};
        return ZwQueryValueKey(key, &us, cls, buffer, length, result);
    }

    static std::u16string NameAt(const void* buffer, ULONG offset, ULONG bytes)
    {
        std::u16string name(bytes / 2, u'\0');
        memcpy(name.data(), static_cast<const UCHAR*>(buffer) + offset, bytes);
        return name;
    }

    static ULONG U32(const void* buffer, ULONG offset)
    {
        ULONG v;
        memcpy(&v, static_cast<const UCHAR*>(buffer) + offset, 4);
        return v;
    }

    // Takes the fault reports a test provoked on purpose, so the fixture does not fail on them.
    static std::vector<std::string> TakeFaults()
    {
        auto faults = sim::faults::All();
        sim::faults::Clear();
        return faults;
    }
};

// ---- opening keys ----------------------------------------------------------------------------

TEST_F(ZwRegistryTest, OpensAbsolutePathsCaseInsensitivelyAndCountsHandles)
{
    HANDLE key = MustOpen("\\registry\\Machine\\system\\CURRENTCONTROLSET\\services\\kwotarv");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(reg::OpenHandleCount(), 1u);
    EXPECT_EQ(reg::OpenHandlePaths().at(0), kService);
    // Kernel handles on x86 Windows: multiples of 4 with the top bit of 32 set.
    const auto value = reinterpret_cast<uintptr_t>(key);
    EXPECT_EQ(value % 4, 0u);
    EXPECT_NE(value & 0x80000000u, 0u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(reg::OpenHandleCount(), 0u);
}

struct OpenCase {
    const char* name;
    NTSTATUS expected;
};

TEST_F(ZwRegistryTest, AbsoluteOpenStatuses)
{
    const OpenCase cases[] = {
        {"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Missing",
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"\\REGISTRY\\MACHINE\\NoSuchHive\\SYSTEM\\Services", STATUS_OBJECT_NAME_NOT_FOUND},
        {"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"REGISTRY\\MACHINE", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {"\\Device\\KwoTarv", STATUS_OBJECT_PATH_NOT_FOUND},
        {"\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND},
        {"\\REGISTRY\\\\MACHINE", STATUS_OBJECT_NAME_INVALID},
        {"\\REGISTRY\\MACHINE\\", STATUS_SUCCESS},
        {"\\REGISTRY", STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
        EXPECT_EQ(Open(&handle, c.name), c.expected) << c.name;
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        } else {
            // A failed open leaves the caller's variable alone.
            EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234)) << c.name;
        }
    }
}

TEST_F(ZwRegistryTest, OpensRelativeToARootHandle)
{
    reg::CreateKey(kProduct + "\\Board*\\Voltage\\0");
    HANDLE product = MustOpen(kProduct);
    HANDLE voltage = MustOpen("board*\\VOLTAGE", product);
    HANDLE channel = MustOpen("0", voltage);
    HANDLE again = MustOpen("", product); // an empty name opens the root key once more
    EXPECT_NE(again, product);
    EXPECT_EQ(reg::OpenHandleCount(), 4u);

    HANDLE handle = nullptr;
    EXPECT_EQ(Open(&handle, "\\Board*", product), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(&handle, "Board*\\Fan", product), STATUS_OBJECT_NAME_NOT_FOUND);

    for (HANDLE h : {channel, voltage, again, product})
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, RejectsMalformedObjectAttributes)
{
    std::u16string text = U16(kService);
    UNICODE_STRING odd{3, 4, reinterpret_cast<PWSTR>(text.data())};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &odd, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(ZwOpenKey(&handle, KEY_READ, &oa), STATUS_OBJECT_NAME_INVALID);

    UNICODE_STRING good{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        reinterpret_cast<PWSTR>(text.data())};
    InitializeObjectAttributes(&oa, &good, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    oa.Length = sizeof(oa) - 4;
    EXPECT_EQ(ZwOpenKey(&handle, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    oa.Length = sizeof(oa);
    oa.Attributes = 0x80000000;
    EXPECT_EQ(ZwOpenKey(&handle, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg::OpenHandleCount(), 0u);
}

TEST_F(ZwRegistryTest, DeniedAndFailingOpensAffectOnlyTheirKey)
{
    reg::CreateKey(kProduct + "\\A\\Voltage");
    reg::DenyOpen(kProduct + "\\a"); // names match case-insensitively
    reg::FailOpen(kProduct + "\\A\\Voltage\\0", STATUS_INSUFFICIENT_RESOURCES);
    reg::CreateKey(kProduct + "\\A\\Voltage\\0");

    HANDLE handle = nullptr;
    EXPECT_EQ(Open(&handle, kProduct + "\\A"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(&handle, kProduct + "\\A\\Voltage\\0"), STATUS_INSUFFICIENT_RESOURCES);
    // A key below a denied one opens by its full path, as traverse checking is not done.
    HANDLE voltage = MustOpen(kProduct + "\\A\\Voltage");
    EXPECT_EQ(ZwClose(voltage), STATUS_SUCCESS);

    reg::ClearFailures();
    HANDLE a = MustOpen(kProduct + "\\A");
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, HandleAccessIsChecked)
{
    reg::CreateKey(kService + "\\Sub");
    reg::SetDword(kService, "ChipsetType", 6);
    UCHAR buffer[256];
    ULONG result = 0;

    HANDLE queryOnly = MustOpen(kService, nullptr, KEY_QUERY_VALUE);
    EXPECT_EQ(ZwEnumerateKey(queryOnly, 0, KeyBasicInformation, buffer, sizeof buffer, &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(QueryValue(queryOnly, "ChipsetType", KeyValuePartialInformation, buffer,
                         sizeof buffer, &result),
              STATUS_SUCCESS);

    HANDLE enumerateOnly = MustOpen(kService, nullptr, KEY_ENUMERATE_SUB_KEYS);
    EXPECT_EQ(QueryValue(enumerateOnly, "ChipsetType", KeyValuePartialInformation, buffer,
                         sizeof buffer, &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryKey(enumerateOnly, KeyFullInformation, buffer, sizeof buffer, &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryKey(enumerateOnly, KeyNameInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(enumerateOnly, 0, KeyBasicInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);

    HANDLE generic = MustOpen(kService, nullptr, GENERIC_READ);
    EXPECT_EQ(ZwQueryKey(generic, KeyFullInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);

    for (HANDLE h : {queryOnly, enumerateOnly, generic})
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

// ---- key information ---------------------------------------------------------------------------

TEST_F(ZwRegistryTest, KeyFullInformationSizeRulesAndCounts)
{
    reg::CreateKey(kService + "\\Ab");
    reg::CreateKey(kService + "\\Longest"); // 14 bytes
    reg::SetDword(kService, "ChipsetType", 1);
    reg::SetString(kService, "ChipDesc", "Nuvoton"); // 16 bytes of data
    HANDLE key = MustOpen(kService);

    const ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
    ASSERT_EQ(fixed, 44u);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, fixed);

    std::array<UCHAR, 64> buffer;
    buffer.fill(kPattern);
    result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), fixed - 1, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, fixed);
    EXPECT_EQ(buffer[0], kPattern) << "nothing is written when the fixed part does not fit";

    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), fixed, &result), STATUS_SUCCESS);
    const auto* info = reinterpret_cast<const KEY_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->SubKeys, 3u); // Product, Ab, Longest
    EXPECT_EQ(info->Values, 2u);
    EXPECT_EQ(info->MaxNameLen, 14u);
    EXPECT_EQ(info->MaxValueNameLen, 22u); // "ChipsetType"
    EXPECT_EQ(info->MaxValueDataLen, 16u);
    EXPECT_EQ(info->ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(info->ClassLength, 0u);
    EXPECT_EQ(info->MaxClassLen, 0u);
    EXPECT_EQ(info->TitleIndex, 0u);
    EXPECT_GT(info->LastWriteTime.QuadPart, 0);
    EXPECT_EQ(buffer[fixed], kPattern);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, MaximumLengthsAreHighWaterMarksUntilTheKeyEmpties)
{
    reg::CreateKey(kService + "\\M\\Short");
    reg::CreateKey(kService + "\\M\\MuchLongerName");
    reg::SetDword(kService + "\\M", "A", 1);
    reg::SetBinary(kService + "\\M", "LongValueName", std::vector<uint8_t>(40));
    HANDLE key = MustOpen(kService + "\\M");
    KEY_FULL_INFORMATION info;
    ULONG result = 0;

    reg::DeleteKey(kService + "\\M\\MuchLongerName");
    reg::DeleteValue(kService + "\\M", "LongValueName");
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, &info, sizeof info, &result), STATUS_SUCCESS);
    EXPECT_EQ(info.SubKeys, 1u);
    EXPECT_EQ(info.MaxNameLen, 28u);
    EXPECT_EQ(info.MaxValueNameLen, 26u);
    EXPECT_EQ(info.MaxValueDataLen, 40u);

    reg::DeleteKey(kService + "\\M\\Short");
    reg::DeleteValue(kService + "\\M", "A");
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, &info, sizeof info, &result), STATUS_SUCCESS);
    EXPECT_EQ(info.SubKeys, 0u);
    EXPECT_EQ(info.Values, 0u);
    EXPECT_EQ(info.MaxNameLen, 0u);
    EXPECT_EQ(info.MaxValueNameLen, 0u);
    EXPECT_EQ(info.MaxValueDataLen, 0u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, KeyBasicAndNodeInformationCutTheNameWithOverflow)
{
    HANDLE key = MustOpen(kService); // name "KwoTarv", 14 bytes
    struct Case {
        KEY_INFORMATION_CLASS cls;
        ULONG fixed;
        ULONG nameLengthOffset;
    };
    const Case cases[] = {
        {KeyBasicInformation, 16, FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength)},
        {KeyNodeInformation, 24, FIELD_OFFSET(KEY_NODE_INFORMATION, NameLength)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cls);
        std::array<UCHAR, 64> buffer;
        ULONG result = 0;
        EXPECT_EQ(ZwQueryKey(key, c.cls, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(result, c.fixed + 14);

        buffer.fill(kPattern);
        EXPECT_EQ(ZwQueryKey(key, c.cls, buffer.data(), c.fixed, &result), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(result, c.fixed + 14);
        EXPECT_EQ(U32(buffer.data(), c.nameLengthOffset), 14u);
        EXPECT_EQ(buffer[c.fixed], kPattern);

        buffer.fill(kPattern);
        EXPECT_EQ(ZwQueryKey(key, c.cls, buffer.data(), c.fixed + 7, &result),
                  STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(NameAt(buffer.data(), c.fixed, 6), u"Kwo");
        EXPECT_EQ(buffer[c.fixed + 6], 'T'); // the odd byte that fitted is copied too
        EXPECT_EQ(buffer[c.fixed + 7], kPattern);

        buffer.fill(kPattern);
        EXPECT_EQ(ZwQueryKey(key, c.cls, buffer.data(), c.fixed + 14, &result), STATUS_SUCCESS);
        EXPECT_EQ(NameAt(buffer.data(), c.fixed, 14), u"KwoTarv");
        EXPECT_EQ(buffer[c.fixed + 14], kPattern) << "the name is not terminated";
        if (c.cls == KeyNodeInformation) {
            const auto* node = reinterpret_cast<const KEY_NODE_INFORMATION*>(buffer.data());
            EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu);
            EXPECT_EQ(node->ClassLength, 0u);
        }
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, KeyNameInformationGivesTheFullPath)
{
    HANDLE key = MustOpen("\\registry\\machine\\system\\currentcontrolset\\services\\kwotarv");
    std::array<UCHAR, 256> buffer;
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), buffer.size(), &result),
              STATUS_SUCCESS);
    const ULONG length = U32(buffer.data(), 0);
    EXPECT_EQ(NameAt(buffer.data(), 4, length), U16(kService)); // stored spelling
    EXPECT_EQ(result, 4 + length);
    EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), 3, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwQueryKey(key, static_cast<KEY_INFORMATION_CLASS>(7), buffer.data(), buffer.size(),
                         &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---- enumeration -----------------------------------------------------------------------------

std::vector<std::u16string> EnumerateAll(HANDLE key)
{
    std::vector<std::u16string> names;
    for (ULONG i = 0;; ++i) {
        std::array<UCHAR, 600> buffer;
        ULONG result = 0;
        const NTSTATUS status =
            ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(), buffer.size(), &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (status != STATUS_SUCCESS)
            break;
        const auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
        names.emplace_back(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2);
    }
    return names;
}

TEST_F(ZwRegistryTest, SubkeysEnumerateInUpperCasedCodeUnitOrder)
{
    // Created out of order; the registry keeps them sorted by upper-cased UTF-16 code units:
    // '*' 0x2A < digits < '?' 0x3F < letters < '_' 0x5F, and "10" < "2".
    for (const char* name : {"_x", "b", "Z", "a1", "2", "10", "*", "?", "A"})
        reg::CreateKey(kProduct + "\\" + name);
    HANDLE key = MustOpen(kProduct);
    const std::vector<std::u16string> expected = {u"*",  u"10", u"2", u"?", u"A",
                                                  u"a1", u"b",  u"Z", u"_x"};
    EXPECT_EQ(EnumerateAll(key), expected);
    EXPECT_EQ(reg::SubKeys(kProduct),
              (std::vector<std::string>{"*", "10", "2", "?", "A", "a1", "b", "Z", "_x"}));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, NumberedChannelsEnumerateAsText)
{
    for (int i = 10; i >= 0; --i)
        reg::CreateKey(kProduct + "\\B\\Voltage\\" + std::to_string(i));
    HANDLE key = MustOpen(kProduct + "\\B\\Voltage");
    const std::vector<std::u16string> expected = {u"0", u"1", u"10", u"2", u"3", u"4",
                                                  u"5", u"6", u"7",  u"8", u"9"};
    EXPECT_EQ(EnumerateAll(key), expected);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, EnumerationSizeRules)
{
    // 16 bytes of fixed fields leave 238 bytes of a 254-byte buffer for the name: 119
    // characters fit, 120 do not.
    const std::string fits(119, 'F');
    const std::string tooLong(120, 'G');
    reg::CreateKey(kProduct + "\\" + fits);
    reg::CreateKey(kProduct + "\\" + tooLong);
    HANDLE key = MustOpen(kProduct);
    std::array<UCHAR, 256> buffer;
    ULONG result = 0;

    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 254, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 254u);
    EXPECT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, nullptr, 0, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 256u);
    EXPECT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, buffer.data(), 254, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 256u);
    EXPECT_EQ(U32(buffer.data(), FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength)), 240u);

    // Past the end: no more entries, and the result length is left alone.
    result = 12345;
    EXPECT_EQ(ZwEnumerateKey(key, 2, KeyBasicInformation, buffer.data(), 254, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(result, 12345u);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyNameInformation, buffer.data(), 254, &result),
              STATUS_INVALID_PARAMETER);

    // KeyFullInformation of a subkey describes that subkey.
    reg::SetDword(kProduct + "\\" + fits, "R1", 10);
    ASSERT_EQ(ZwEnumerateKey(key, 0, KeyFullInformation, buffer.data(), 254, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const KEY_FULL_INFORMATION*>(buffer.data())->Values, 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, InjectedEnumerationAndQueryKeyFailures)
{
    reg::CreateKey(kProduct + "\\A");
    reg::CreateKey(kProduct + "\\B");
    reg::FailEnumerate(kProduct, 1, STATUS_INSUFFICIENT_RESOURCES);
    reg::FailQueryKey(kProduct, STATUS_UNSUCCESSFUL);
    HANDLE key = MustOpen(kProduct);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 64, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, buffer.data(), 64, &result),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), 64, &result), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---- values ----------------------------------------------------------------------------------

TEST_F(ZwRegistryTest, KeyValueFullInformationAlignsTheData)
{
    struct Case {
        const char* name;
        KEY_VALUE_INFORMATION_CLASS cls;
        ULONG dataOffset;
    };
    // DataOffset = offset of Name (20) + name bytes, rounded up to 4 (8 for the Align64 class).
    const Case cases[] = {
        {"", KeyValueFullInformation, 20},           {"R1", KeyValueFullInformation, 24},
        {"Abc", KeyValueFullInformation, 28},        {"Abcd", KeyValueFullInformation, 28},
        {"Abc", KeyValueFullInformationAlign64, 32}, {"R1", KeyValueFullInformationAlign64, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reg::SetDword(kService, c.name, 0x11223344);
        HANDLE key = MustOpen(kService);
        std::array<UCHAR, 64> buffer;
        buffer.fill(kPattern);
        ULONG result = 0;
        ASSERT_EQ(QueryValue(key, c.name, c.cls, buffer.data(), buffer.size(), &result),
                  STATUS_SUCCESS);
        const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(info->DataOffset, c.dataOffset);
        EXPECT_EQ(info->DataLength, 4u);
        EXPECT_EQ(info->NameLength, strlen(c.name) * 2);
        EXPECT_EQ(U32(buffer.data(), info->DataOffset), 0x11223344u);
        EXPECT_EQ(result, c.dataOffset + 4);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
}

TEST_F(ZwRegistryTest, KeyValueFullInformationSizeRules)
{
    reg::SetString(kService, "Abc", "xyz"); // name 6 bytes, data 8 bytes at offset 28
    HANDLE key = MustOpen(kService);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    const ULONG full = 28 + 8;

    EXPECT_EQ(QueryValue(key, "Abc", KeyValueFullInformation, nullptr, 0, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, full);
    buffer.fill(kPattern);
    EXPECT_EQ(QueryValue(key, "Abc", KeyValueFullInformation, buffer.data(), 19, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], kPattern);

    // The fixed part fits: it is filled, the rest is cut.
    buffer.fill(kPattern);
    EXPECT_EQ(QueryValue(key, "Abc", KeyValueFullInformation, buffer.data(), 20, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, full);
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->DataOffset, 28u);
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(info->NameLength, 6u);
    EXPECT_EQ(buffer[20], kPattern);

    // Name whole, data partly.
    buffer.fill(kPattern);
    EXPECT_EQ(QueryValue(key, "Abc", KeyValueFullInformation, buffer.data(), 30, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(NameAt(buffer.data(), 20, 6), u"Abc");
    EXPECT_EQ(buffer[28], 'x');
    EXPECT_EQ(buffer[29], 0);
    EXPECT_EQ(buffer[30], kPattern);

    buffer.fill(kPattern);
    EXPECT_EQ(QueryValue(key, "Abc", KeyValueFullInformation, buffer.data(), full, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(NameAt(buffer.data(), 28, 8), std::u16string(u"xyz\0", 4));
    EXPECT_EQ(buffer[full], kPattern);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, ValueWithoutDataHasNoDataOffset)
{
    reg::SetValue(kService, "Empty", REG_DWORD, {});
    HANDLE key = MustOpen(kService);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    ASSERT_EQ(
        QueryValue(key, "Empty", KeyValueFullInformation, buffer.data(), buffer.size(), &result),
        STATUS_SUCCESS);
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->DataLength, 0u);
    EXPECT_EQ(info->DataOffset, 0xFFFFFFFFu);
    EXPECT_EQ(result, 20u + 10u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, PartialAndBasicValueInformation)
{
    reg::SetBinary(kService, "Blob", {1, 2, 3, 4, 5});
    HANDLE key = MustOpen(kService);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;

    buffer.fill(kPattern);
    EXPECT_EQ(QueryValue(key, "blob", KeyValuePartialInformation, buffer.data(), 14, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 17u);
    const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(partial->DataLength, 5u);
    EXPECT_EQ(buffer[12], 1);
    EXPECT_EQ(buffer[13], 2);
    EXPECT_EQ(buffer[14], kPattern);
    EXPECT_EQ(QueryValue(key, "blob", KeyValuePartialInformation, buffer.data(), 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(QueryValue(key, "blob", KeyValuePartialInformation, buffer.data(), 17, &result),
              STATUS_SUCCESS);

    EXPECT_EQ(
        QueryValue(key, "blob", KeyValuePartialInformationAlign64, buffer.data(), 13, &result),
        STATUS_SUCCESS);
    EXPECT_EQ(U32(buffer.data(), 4), 5u);
    EXPECT_EQ(buffer[8], 1);

    EXPECT_EQ(QueryValue(key, "blob", KeyValueBasicInformation, buffer.data(), 20, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 20u);
    const auto* basic = reinterpret_cast<const KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(basic->NameLength, 8u);
    EXPECT_EQ(NameAt(buffer.data(), 12, 8), u"Blob"); // the stored spelling
    EXPECT_EQ(QueryValue(key, "blob", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer.data(),
                         64, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, ValueNameRules)
{
    reg::SetString(kService, "", "default");
    reg::SetDword(kService, "RegIndex", 3);
    HANDLE key = MustOpen(kService);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;

    EXPECT_EQ(QueryValue(key, "Missing", KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(QueryValue(key, "", KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(U32(buffer.data(), 4), static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(QueryValue(key, "REGINDEX", KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_SUCCESS);

    // Trailing zero characters are not part of the name; an odd length is refused.
    std::u16string withZeros = u"RegIndex";
    withZeros.append(2, u'\0');
    UNICODE_STRING name{static_cast<USHORT>(withZeros.size() * 2),
                        static_cast<USHORT>(withZeros.size() * 2),
                        reinterpret_cast<PWSTR>(withZeros.data())};
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_SUCCESS);
    name.Length = 5;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_INVALID_PARAMETER);

    reg::FailQueryValue(kService, "regindex", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryValue(key, "RegIndex", KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, KeyDeletedWhileOpen)
{
    reg::SetDword(kProduct + "\\Gone\\Fan\\0", "RegIndex", 1);
    HANDLE gone = MustOpen(kProduct + "\\Gone");
    HANDLE channel = MustOpen(kProduct + "\\Gone\\Fan\\0");
    ASSERT_TRUE(reg::DeleteKey(kProduct + "\\gone"));
    EXPECT_FALSE(reg::KeyExists(kProduct + "\\Gone\\Fan"));

    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(gone, KeyFullInformation, buffer.data(), 64, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(
        QueryValue(channel, "RegIndex", KeyValuePartialInformation, buffer.data(), 64, &result),
        STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    EXPECT_EQ(Open(&child, "Fan", gone), STATUS_KEY_DELETED);
    // A new key of the same name is a different key.
    reg::CreateKey(kProduct + "\\Gone");
    EXPECT_EQ(ZwQueryKey(gone, KeyFullInformation, buffer.data(), 64, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(gone), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(channel), STATUS_SUCCESS);
}

// ---- misuse that would stop or corrupt a real system ------------------------------------------

TEST_F(ZwRegistryTest, ClosingOrUsingAHandleThatIsNotOpenIsReported)
{
    HANDLE key = MustOpen(kService);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(TakeFaults().empty());

    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeFaults().size(), 1u);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeFaults().size(), 1u);

    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), 64, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 64, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(QueryValue(key, "x", KeyValueFullInformation, buffer.data(), 64, &result),
              STATUS_INVALID_HANDLE);
    HANDLE child = nullptr;
    EXPECT_EQ(Open(&child, "Product", key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TakeFaults().size(), 4u);
}

TEST_F(ZwRegistryTest, NullPointersThatWindowsWouldWriteThroughAreReported)
{
    HANDLE key = MustOpen(kService);
    reg::SetDword(kService, "V", 1);
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, nullptr, 64, nullptr), STATUS_ACCESS_VIOLATION);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, nullptr, 64, &result), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ZwQueryValueKey(key, nullptr, KeyValueFullInformation, nullptr, 0, &result),
              STATUS_ACCESS_VIOLATION);
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    RtlInitUnicodeString(&name, L"Product");
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, key, nullptr);
    EXPECT_EQ(ZwOpenKey(nullptr, KEY_READ, &oa), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(TakeFaults().size(), 4u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, CallsAbovePassiveLevelAreReported)
{
    HANDLE key = MustOpen(kService);
    sim::threads::SetCurrentIrql(DISPATCH_LEVEL);
    std::array<UCHAR, 64> buffer;
    ULONG result = 0;
    ZwQueryKey(key, KeyFullInformation, buffer.data(), 64, &result);
    sim::threads::SetCurrentIrql(PASSIVE_LEVEL);
    const auto faults = TakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("ZwQueryKey"), std::string::npos);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, ConcurrentOpensQueriesAndClosesKeepCountsExact)
{
    for (int i = 0; i < 8; ++i)
        reg::SetDword(kProduct + "\\P" + std::to_string(i), "RegIndex", i);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 300; ++n) {
                HANDLE product = nullptr;
                HANDLE channel = nullptr;
                if (Open(&product, kProduct) != STATUS_SUCCESS ||
                    Open(&channel, "P" + std::to_string((n + t) % 8), product) != STATUS_SUCCESS) {
                    ++failures;
                    continue;
                }
                std::array<UCHAR, 64> buffer;
                ULONG result = 0;
                if (QueryValue(channel, "RegIndex", KeyValuePartialInformation, buffer.data(), 64,
                               &result) != STATUS_SUCCESS ||
                    U32(buffer.data(), 12) != static_cast<ULONG>((n + t) % 8))
                    ++failures;
                if (ZwClose(channel) != STATUS_SUCCESS || ZwClose(product) != STATUS_SUCCESS)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(reg::OpenHandleCount(), 0u);
}

// ---- RtlWriteRegistryValue ------------------------------------------------------------------

TEST_F(ZwRegistryTest, WriteStoresTheBytesAsGiven)
{
    // A REG_SZ written with its maximum length keeps every byte, zeros included.
    const WCHAR text[8] = L"\\\\.\\X";
    ULONG chip = 7;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, nullptr, L"ChipsetType", REG_DWORD,
                                    &chip, sizeof chip),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(TakeFaults().size(), 1u);
    const std::u16string path = U16(kService);
    std::vector<WCHAR> pathText(path.begin(), path.end());
    pathText.push_back(0);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, pathText.data(), L"InterfaceName",
                                    REG_SZ, const_cast<WCHAR*>(text), 16),
              STATUS_SUCCESS);
    const auto value = reg::GetValue(kService, "interfacename");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->name, "InterfaceName");
    EXPECT_EQ(value->type, static_cast<uint32_t>(REG_SZ));
    ASSERT_EQ(value->data.size(), 16u);
    EXPECT_EQ(value->data[0], '\\');
    EXPECT_EQ(value->data[14], 0);
    EXPECT_EQ(reg::GetString(kService, "InterfaceName"), "\\\\.\\X");

    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, pathText.data(), L"ChipsetType",
                                    REG_DWORD, &chip, sizeof chip),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(kService, "ChipsetType"), 7u);
    // Rewriting keeps the value's place and spelling.
    chip = 2;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, pathText.data(), L"CHIPSETTYPE",
                                    REG_DWORD, &chip, sizeof chip),
              STATUS_SUCCESS);
    const auto values = reg::Values(kService);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[1].name, "ChipsetType");
    EXPECT_EQ(reg::GetDword(kService, "ChipsetType"), 2u);
    EXPECT_EQ(reg::OpenHandleCount(), 0u);
}

std::vector<WCHAR> Wide(const std::string& s)
{
    const auto u = U16(s);
    std::vector<WCHAR> w(u.begin(), u.end());
    w.push_back(0);
    return w;
}

TEST_F(ZwRegistryTest, WriteCreatesOnlyTheLastKeyOfThePath)
{
    ULONG one = 1;
    const auto fresh = Wide(std::string(reg::kServicesKey) + "\\NewService");
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, fresh.data(), L"Start", REG_DWORD, &one, 4),
        STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(std::string(reg::kServicesKey) + "\\NewService", "Start"), 1u);

    const auto deep = Wide(std::string(reg::kServicesKey) + "\\Missing\\Parameters");
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, deep.data(), L"Start", REG_DWORD, &one, 4),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists(std::string(reg::kServicesKey) + "\\Missing"));

    const auto relative = Wide("REGISTRY\\MACHINE");
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, relative.data(), L"X", REG_DWORD, &one, 4),
        STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(ZwRegistryTest, WriteRelativeToWellKnownKeysAndHandles)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"KwoTarv", L"A", REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"\\KwoTarv", L"B", REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(kService, "A"), 1u);
    EXPECT_EQ(reg::GetDword(kService, "B"), 1u);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"KwoTarv", L"C", REG_DWORD, &one, 4),
              STATUS_INVALID_PARAMETER);
    // NULL names the default value.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"KwoTarv",
                                    nullptr, REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(kService, ""), 1u);

    HANDLE readOnly = MustOpen(kService);
    HANDLE writable = MustOpen(kService, nullptr, KEY_WRITE);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(readOnly), L"D",
                                    REG_DWORD, &one, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(writable), L"D",
                                    REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(kService, "D"), 1u);
    EXPECT_EQ(reg::OpenHandleCount(), 2u) << "a handle passed in stays open";
    EXPECT_EQ(ZwClose(readOnly), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(writable), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, WriteFailuresLeaveTheValueAbsent)
{
    ULONG one = 1;
    const auto service = Wide(kService);
    reg::DenyOpen(kService);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, service.data(), L"ChipDesc", REG_DWORD,
                                    &one, 4),
              STATUS_ACCESS_DENIED);
    reg::ClearFailures();

    reg::FailWrite(kService, "ChipDesc", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, service.data(), L"ChipDesc", REG_DWORD,
                                    &one, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, service.data(), L"VoltageList",
                                    REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_FALSE(reg::GetValue(kService, "ChipDesc").has_value());
    EXPECT_TRUE(reg::GetValue(kService, "VoltageList").has_value());

    // A key that does not exist yet can be denied too: it is then not created.
    reg::DenyOpen(kService + "\\Later");
    const auto later = Wide(kService + "\\Later");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, later.data(), L"X", REG_DWORD, &one, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_FALSE(reg::KeyExists(kService + "\\Later"));

    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, service.data(), L"X", REG_DWORD, nullptr, 4),
        STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(TakeFaults().size(), 1u);
}

} // namespace

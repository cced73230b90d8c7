// The host API over the registry tree: paths, name rules, value helpers, Reset, and the text
// helpers the rest of the simulator relies on.
#include <string>
#include <vector>

#include "kernel/registry/registry.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

namespace reg = sim::registry;

const std::string kService = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";

class RegistryTreeTest : public SimTest {};

TEST_F(RegistryTreeTest, PathsAcceptKernelAndRegeditRootsCaseInsensitively)
{
    reg::CreateKey("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product");
    EXPECT_TRUE(reg::KeyExists(kService + "\\Product"));
    EXPECT_TRUE(reg::KeyExists("hklm\\system\\currentcontrolset\\services\\KWOTARV\\product"));
    EXPECT_TRUE(reg::KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services"));
    EXPECT_FALSE(reg::KeyExists(kService + "\\Produc"));
    reg::CreateKey("HKU\\.DEFAULT\\Software");
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\USER\\.Default\\software"));
    // The first spelling stays.
    reg::CreateKey(kService + "\\PRODUCT\\Board");
    EXPECT_EQ(reg::SubKeys(kService), std::vector<std::string>{"Product"});

    EXPECT_THROW(reg::CreateKey("HKEY_CURRENT_USER\\Software"), reg::RegistryError);
    EXPECT_THROW(reg::CreateKey("\\Device\\X"), reg::RegistryError);
    EXPECT_THROW(reg::CreateKey(kService + "\\\\Empty"), reg::RegistryError);
    EXPECT_THROW(reg::CreateKey(kService + "\\" + std::string(256, 'k')), reg::RegistryError);
    EXPECT_NO_THROW(reg::CreateKey(kService + "\\" + std::string(255, 'k')));
}

TEST_F(RegistryTreeTest, ResetLeavesTheKeysOfAFreshSystem)
{
    reg::SetDword(kService, "ChipsetType", 6);
    reg::DenyOpen(kService);
    reg::Reset();
    EXPECT_FALSE(reg::KeyExists(kService));
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control"));
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE"));
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\USER\\.DEFAULT"));

    // The failure injected before the reset is gone.
    reg::CreateKey(kService);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name,
                         L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    // Reset forgets open handles too (a fresh boot has none).
    reg::Reset();
    EXPECT_EQ(reg::OpenHandleCount(), 0u);
}

TEST_F(RegistryTreeTest, DeleteKeyRemovesTheWholeTree)
{
    reg::SetDword(kService + "\\Product\\A\\Voltage\\0", "RegIndex", 1);
    reg::CreateKey(kService + "\\Product\\B");
    EXPECT_TRUE(reg::DeleteKey(kService + "\\product\\a"));
    EXPECT_FALSE(reg::KeyExists(kService + "\\Product\\A\\Voltage\\0"));
    EXPECT_EQ(reg::SubKeys(kService + "\\Product"), std::vector<std::string>{"B"});
    EXPECT_FALSE(reg::DeleteKey(kService + "\\Product\\A"));
    EXPECT_FALSE(reg::DeleteKey(kService + "\\Nothing\\Below"));
    EXPECT_THROW(reg::DeleteKey("\\REGISTRY"), reg::RegistryError);
}

TEST_F(RegistryTreeTest, ValuesKeepTheirOrderAndFirstSpelling)
{
    reg::SetDword(kService, "RegIndex", 1);
    reg::SetString(kService, "FriendlyName", "CPU");
    reg::SetBinary(kService, "Blob", {9});
    reg::SetDword(kService, "REGINDEX", 2); // replaces in place
    const auto values = reg::Values(kService);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], (reg::Value{"RegIndex", REG_DWORD, {2, 0, 0, 0}}));
    EXPECT_EQ(values[1].name, "FriendlyName");
    EXPECT_EQ(values[2], (reg::Value{"Blob", REG_BINARY, {9}}));

    EXPECT_TRUE(reg::DeleteValue(kService, "friendlyname"));
    EXPECT_FALSE(reg::DeleteValue(kService, "FriendlyName"));
    EXPECT_EQ(reg::Values(kService).size(), 2u);
    EXPECT_THROW(reg::SetDword(kService, std::string(16384, 'v'), 1), reg::RegistryError);
}

TEST_F(RegistryTreeTest, TypedGettersCheckTypeAndSize)
{
    reg::SetDword(kService, "Dword", 0xA1B2C3D4);
    reg::SetValue(kService, "ShortDword", REG_DWORD, {1, 2});
    reg::SetString(kService, "RegIndexText", "3");
    reg::SetString(kService, "Path", "%SystemRoot%\\x", REG_EXPAND_SZ);
    reg::SetValue(kService, "Embedded", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0});
    reg::SetMultiString(kService, "Multi", {"Vcore", "", "+12V"});

    EXPECT_EQ(reg::GetDword(kService, "Dword"), 0xA1B2C3D4u);
    EXPECT_EQ(reg::GetDword(kService, "ShortDword"), std::nullopt);
    EXPECT_EQ(reg::GetDword(kService, "RegIndexText"), std::nullopt);
    EXPECT_EQ(reg::GetDword(kService, "Missing"), std::nullopt);
    EXPECT_EQ(reg::GetString(kService, "RegIndexText"), "3");
    EXPECT_EQ(reg::GetValue(kService, "RegIndexText")->data, (std::vector<uint8_t>{'3', 0, 0, 0}));
    EXPECT_EQ(reg::GetString(kService, "Path"), "%SystemRoot%\\x");
    EXPECT_EQ(reg::GetString(kService, "Embedded"), "a");
    EXPECT_EQ(reg::GetString(kService, "Dword"), std::nullopt);
    // An empty string inside a REG_MULTI_SZ ends the list, as readers of the type see it.
    EXPECT_EQ(reg::GetMultiString(kService, "Multi"), std::vector<std::string>{"Vcore"});
    reg::SetMultiString(kService, "Multi", {"Vcore", "+12V"});
    EXPECT_EQ(reg::GetMultiString(kService, "Multi"), (std::vector<std::string>{"Vcore", "+12V"}));
    EXPECT_EQ(reg::GetValue(kService, "Multi")->data.size(), (6 + 5 + 1) * 2u);
}

TEST(RegistryNames, CompareLikeTheConfigurationManager)
{
    struct Case {
        std::u16string a;
        std::u16string b;
        int sign;
    };
    const Case cases[] = {
        {u"a", u"A", 0},           {u"abc", u"ABD", -1},      {u"_", u"Z", 1},
        {u"_", u"z", 1},           {u"*", u"0", -1},          {u"10", u"2", -1},
        {u"Fan", u"fan1", -1},     {u"\u00e9", u"\u00c9", 0}, {u"\u0161", u"\u0160", 0},
        {u"\u044f", u"\u042f", 0}, {u"\u00f7", u"\u00d7", 1}, {u"", u"a", -1},
    };
    for (const auto& c : cases) {
        const int result = reg::CompareNames(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign)
            << reg::Utf16ToUtf8(c.a) << " vs " << reg::Utf16ToUtf8(c.b);
    }
}

TEST(RegistryText, Utf8AndUtf16ConvertBothWays)
{
    const std::string samples[] = {"ASCII",
                                   "Gr\xC3\xBC\xC3\x9F"
                                   "e",
                                   "\xE2\x82\xAC 5", "\xF0\x9F\x8C\xA1 temp"};
    for (const auto& s : samples)
        EXPECT_EQ(reg::Utf16ToUtf8(reg::Utf8ToUtf16(s)), s);
    EXPECT_EQ(reg::Utf8ToUtf16("\xF0\x9F\x8C\xA1"), std::u16string(u"\xD83C\xDF21"));
    // Bytes that are not UTF-8 are read as Latin-1 (an ANSI REGEDIT4 file).
    EXPECT_EQ(reg::Utf8ToUtf16("Temp \xB0"
                               "C"),
              u"Temp \u00B0C");
    EXPECT_EQ(reg::Utf8ToUtf16("\xC0\xAF"), u"\u00C0\u00AF"); // overlong form
    EXPECT_EQ(reg::Utf8ToUtf16("\xE2\x82"), u"\u00E2\u0082"); // cut short
    EXPECT_EQ(reg::Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

} // namespace

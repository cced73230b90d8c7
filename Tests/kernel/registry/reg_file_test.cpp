// regedit files: reading both formats and encodings, the error reports, and writing files that
// regedit would write and that read back to the same registry.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/registry/reg_file.hpp"
#include "kernel/registry/registry.hpp"
#include "sim_fixture.hpp"
#include "sim_ntddk.h"

namespace {

namespace reg = sim::registry;

const std::string kService = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
const std::string kProduct = kService + "\\Product";

std::vector<uint8_t> Utf16Bytes(const std::u16string& s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

std::string ToUtf16File(const std::string& utf8)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t c : reg::Utf8ToUtf16(utf8)) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

// A board configuration as an integrator writes it: comments, blank lines, every value form.
const std::string kBoardFile =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; KwoTarv board configuration\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB-9*]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB-9*\\Voltage\\0]"
    "\r\n"
    "\"FriendlyName\"=\"CPU \\\"Vcore\\\" C:\\\\\"\r\n"
    "\"RegIndex\"=dword:00000002\r\n"
    "\"R1\" = dword:2710\r\n"
    "@=\"default\"\r\n"
    "\"Blob\"=hex:01,02,0a,ff\r\n"
    "\"Expand\"=hex(2):25,00,53,00,52,00,25,00,00,00\r\n"
    "\"Multi\"=hex(7):41,00,00,00,42,00,00,00,\\\r\n"
    "  00,00\r\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Odd\"=hex(4567abcd):aa\r\n"
    "    ; an indented comment\r\n"
    "\r\n";

class RegFileTest : public SimTest {};

TEST_F(RegFileTest, ImportsEveryValueForm)
{
    reg::ImportRegText(kBoardFile);
    const std::string channel = kProduct + "\\IB-9*\\Voltage\\0";
    ASSERT_TRUE(reg::KeyExists(channel));
    EXPECT_EQ(reg::GetString(channel, "FriendlyName"), "CPU \"Vcore\" C:\\");
    EXPECT_EQ(reg::GetValue(channel, "FriendlyName")->data.size(), 16u * 2);
    EXPECT_EQ(reg::GetDword(channel, "RegIndex"), 2u);
    EXPECT_EQ(reg::GetDword(channel, "R1"), 10000u);
    EXPECT_EQ(reg::GetString(channel, ""), "default");
    EXPECT_EQ(reg::GetValue(channel, "Blob"),
              (reg::Value{"Blob", REG_BINARY, {0x01, 0x02, 0x0A, 0xFF}}));
    EXPECT_EQ(reg::GetValue(channel, "Expand")->type, static_cast<uint32_t>(REG_EXPAND_SZ));
    EXPECT_EQ(reg::GetString(channel, "Expand"), "%SR%");
    EXPECT_EQ(reg::GetMultiString(channel, "Multi"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(reg::GetValue(channel, "Multi")->data.size(), 10u);
    EXPECT_EQ(reg::GetValue(channel, "Quad")->type, static_cast<uint32_t>(REG_QWORD));
    EXPECT_EQ(reg::GetValue(channel, "None"), (reg::Value{"None", REG_NONE, {}}));
    EXPECT_EQ(reg::GetValue(channel, "Odd"), (reg::Value{"Odd", 0x4567ABCD, {0xAA}}));
    // Values keep the file's order.
    EXPECT_EQ(reg::Values(channel).front().name, "FriendlyName");
}

TEST_F(RegFileTest, EncodingsAndLineEndsGiveTheSameTree)
{
    std::string lf = kBoardFile;
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;)
        lf.erase(at, 1);
    const std::string variants[] = {kBoardFile, "\xEF\xBB\xBF" + kBoardFile, lf,
                                    ToUtf16File(kBoardFile)};
    reg::ImportRegText(kBoardFile);
    const auto expected = reg::ExportRegText(kProduct);
    for (const auto& bytes : variants) {
        reg::DeleteKey(kProduct);
        reg::ImportRegText(bytes);
        EXPECT_EQ(reg::ExportRegText(kProduct), expected);
    }
}

TEST_F(RegFileTest, Regedit4StringTypesInHexAreEightBitText)
{
    reg::ImportRegText("REGEDIT4\n"
                       "\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv]\n"
                       "\"Expand\"=hex(2):25,53,25,00\n"
                       "\"Multi\"=hex(7):41,00,42,00,00\n"
                       "\"Binary\"=hex:41,00\n"
                       "\"Name\"=\"Temp \xB0"
                       "C\"\n");
    EXPECT_EQ(reg::GetValue(kService, "Expand")->data, Utf16Bytes(std::u16string(u"%S%\0", 4)));
    EXPECT_EQ(reg::GetValue(kService, "Multi")->data, Utf16Bytes(std::u16string(u"A\0B\0\0", 5)));
    EXPECT_EQ(reg::GetValue(kService, "Binary")->data, (std::vector<uint8_t>{0x41, 0x00}));
    EXPECT_EQ(reg::GetValue(kService, "Name")->data,
              Utf16Bytes(std::u16string(u"Temp \u00B0C\0", 8)));
}

TEST_F(RegFileTest, DeletionsOfKeysAndValues)
{
    reg::ImportRegText(kBoardFile);
    reg::SetDword(kProduct + "\\Other", "Keep", 1);
    reg::ImportRegText(
        "Windows Registry Editor Version 5.00\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB-9*]\n"
        "\"Ignored\"=dword:1\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\Absent]\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\Other]\n"
        "\"Keep\"=-\n"
        "\"NeverThere\"=-\n");
    EXPECT_FALSE(reg::KeyExists(kProduct + "\\IB-9*"));
    EXPECT_FALSE(reg::KeyExists(kProduct + "\\IB-9*\\Voltage"));
    EXPECT_TRUE(reg::KeyExists(kProduct + "\\Other"));
    EXPECT_TRUE(reg::Values(kProduct + "\\Other").empty());
}

TEST_F(RegFileTest, OtherRootsMapToTheirKernelKeys)
{
    reg::ImportRegText("Windows Registry Editor Version 5.00\n"
                       "[HKEY_USERS\\.DEFAULT\\Software\\X]\n"
                       "[HKEY_CLASSES_ROOT\\.kwo]\n");
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\USER\\.DEFAULT\\Software\\X"));
    EXPECT_TRUE(reg::KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.kwo"));
}

struct BadFile {
    const char* body; // after the header line
    size_t line;
    const char* message;
};

TEST_F(RegFileTest, ErrorsNameTheLineAndNothingIsApplied)
{
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\P]\n";
    const BadFile cases[] = {
        {"\"A\"=dword:1\n", 2, "outside a [key]"},
        {"[HKEY_LOCAL_MACHINE\\SYSTEM\n", 2, "closing ']'"},
        {"[HKEY_CURRENT_USER\\Software]\n", 2, "HKEY_CURRENT_USER"},
        {"[HKLM\\SYSTEM]\n", 2, "unknown root"},
        {"[HKEY_LOCAL_MACHINE\\SYSTEM\\\\X]\n", 2, "empty key name"},
        {"KEY\n", 2, "expected a [key]"},
        {"@KEY\n", 3, "'='"},
        {"\"A\"=dword:123456789\n", 3, "1 to 8 hex digits"},
        {"\"A\"=dword:12x4\n", 3, "1 to 8 hex digits"},
        {"\"A\"=dword:\n", 3, "1 to 8 hex digits"},
        {"\"A\"=\"open\n", 3, "string not closed"},
        {"\"A=\"x\"\n", 3, "'='"},
        {"\"A\"=\"C:\\Windows\"\n", 3, "unknown escape \\W"},
        {"\"A\"=\"x\" trailing\n", 3, "unexpected text"},
        {"\"A\"=hex:01,2g\n", 3, "two hex digits"},
        {"\"A\"=hex:123\n", 3, "two hex digits"},
        // A long run of digits is refused before it is added up (it overflowed an int once).
        {"\"A\"=hex:0123456789abcdef0123456789abcdef\n", 3, "two hex digits"},
        {"\"A\"=hex(7):ffffffffffffffffffffffff,00\n", 3, "two hex digits"},
        {"\"A\"=hex:01 02\n", 3, "two hex digits"},
        {"\"A\"=hex(12345678a):01\n", 3, "hex(N)"},
        {"\"A\"=hex()\n", 3, "hex(N)"},
        {"\"A\"=hex(2)01\n", 3, "':'"},
        {"\"A\"=hex:01,\\\n", 3, "ends inside"},
        {"\"A\"=qword:1\n", 3, "unknown value data"},
        {"\"A\"=-x\n", 3, "unexpected text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string file = "Windows Registry Editor Version 5.00\n";
        if (c.line == 3)
            file += key;
        file += c.body;
        try {
            reg::ImportRegText(file);
            ADD_FAILURE() << "accepted";
        } catch (const reg::RegFileError& error) {
            EXPECT_EQ(error.Line(), c.line);
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
        EXPECT_FALSE(reg::KeyExists(kProduct + "\\P")) << "a file with an error changed the tree";
    }
}

// A regedit key path `levels` names below \REGISTRY: MACHINE, then "k" repeated.
std::string DeepPath(size_t levels)
{
    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < levels; ++i)
        path += "\\k";
    return path;
}

std::string DeepKeyFile(size_t levels)
{
    return "Windows Registry Editor Version 5.00\n\n[" + DeepPath(levels) + "]\n\"v\"=dword:1\n";
}

TEST_F(RegFileTest, KeysNestAsDeepAsWindowsAllowsAndNoDeeper)
{
    reg::ImportRegText(DeepKeyFile(512));
    EXPECT_EQ(reg::GetDword(DeepPath(512), "v"), 1u);
    EXPECT_TRUE(reg::DeleteKey("HKEY_LOCAL_MACHINE\\k"));

    // One level more is an error on its line; a very deep path is refused the same way rather
    // than building a tree whose destruction exhausts the stack.
    for (size_t levels : {513u, 200000u}) {
        SCOPED_TRACE(levels);
        try {
            reg::ImportRegText(DeepKeyFile(levels));
            ADD_FAILURE() << "accepted";
        } catch (const reg::RegFileError& error) {
            EXPECT_EQ(error.Line(), 3u);
            EXPECT_NE(std::string(error.what()).find("more than 512 levels deep"),
                      std::string::npos)
                << std::string(error.what()).substr(0, 200);
        }
        EXPECT_FALSE(reg::KeyExists("HKEY_LOCAL_MACHINE\\k"));
    }
    EXPECT_THROW(reg::CreateKey(DeepPath(513)), reg::RegistryError);
}

TEST_F(RegFileTest, HeaderIsRequired)
{
    for (const std::string bad : {"", "Windows Registry Editor Version 4.00\n[HKEY_USERS\\X]\n",
                                  "\n REGEDIT4\n", "\xFE\xFF"}) {
        try {
            reg::ImportRegText(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const reg::RegFileError& error) {
            EXPECT_EQ(error.Line(), 1u);
        }
    }
    EXPECT_NO_THROW(reg::ImportRegText("REGEDIT4   \r\n"));
}

TEST_F(RegFileTest, ImportFileReportsTheFileName)
{
    const auto path = std::filesystem::temp_directory_path() / "kwotarv_reg_file_test.reg";
    {
        std::ofstream out(path, std::ios::binary);
        out << "REGEDIT4\n\n[HKEY_USERS\\X]\n\"v\"=dword:xyz\n";
    }
    try {
        reg::ImportRegFile(path);
        ADD_FAILURE() << "accepted";
    } catch (const reg::RegFileError& error) {
        EXPECT_EQ(error.Line(), 4u);
        EXPECT_EQ(std::string(error.what()).rfind(path.string() + ":4: ", 0), 0u) << error.what();
    }
    std::filesystem::remove(path);
    EXPECT_THROW(reg::ImportRegFile(path), reg::RegistryError);
}

// ---- export ------------------------------------------------------------------------------------

TEST_F(RegFileTest, ExportWritesRegeditsFormat)
{
    const std::string base = kProduct + "\\IB*";
    reg::SetString(base, "", "x");
    reg::SetDword(base, "PreferenceOrder", 0xFFFFFFFF);
    reg::SetString(base, "Friendly\"Name\\", "a\"b\\c");
    reg::SetString(base, "Path", "%x%", REG_EXPAND_SZ);
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < 30; ++i)
        bytes.push_back(i);
    reg::SetBinary(base, "Bin", bytes);
    reg::SetValue(base, "Short", REG_DWORD, {1, 2});
    reg::SetValue(base, "Empty", REG_BINARY, {});
    reg::CreateKey(base + "\\b");
    reg::CreateKey(base + "\\A");

    const std::string expected =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB*]\r\n"
        "@=\"x\"\r\n"
        "\"PreferenceOrder\"=dword:ffffffff\r\n"
        "\"Friendly\\\"Name\\\\\"=\"a\\\"b\\\\c\"\r\n"
        "\"Path\"=hex(2):25,00,78,00,25,00,00,00\r\n"
        "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
        "  17,18,19,1a,1b,1c,1d\r\n"
        "\"Short\"=hex(4):01,02\r\n"
        "\"Empty\"=hex:\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB*\\A]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\IB*\\b]\r\n"
        "\r\n";
    EXPECT_EQ(reg::ExportRegText(base), expected);
    EXPECT_EQ(reg::ExportRegText(base, reg::RegEncoding::Utf16LE), ToUtf16File(expected));
    EXPECT_THROW(reg::ExportRegText(kProduct + "\\Missing"), reg::RegistryError);
    EXPECT_THROW(reg::ExportRegText("\\REGISTRY"), reg::RegistryError);
}

TEST_F(RegFileTest, LongHexValuesWrapAtEightyColumns)
{
    // Continuation lines hold 25 bytes; the first line what fits after the name.
    for (size_t nameLength : {1u, 7u, 20u, 60u, 75u}) {
        const std::string name(nameLength, 'n');
        const auto line = reg::regfile::FormatValue(reg::Utf8ToUtf16(name), REG_MULTI_SZ,
                                                    std::vector<uint8_t>(300, 0x41));
        const auto text = reg::Utf16ToUtf8(line);
        size_t start = 0;
        size_t lines = 0;
        while (start <= text.size()) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            const auto one = text.substr(start, end - start);
            // A name too long for even one byte before column 77 still gets one byte on its
            // line, as regedit does; every other line stays within 80 columns.
            if (lines == 0 && nameLength + 12 + 3 >= 77)
                EXPECT_EQ(one.substr(one.size() - 4), "41,\\") << one;
            else
                EXPECT_LE(one.size(), 80u) << one;
            if (lines > 0) {
                EXPECT_EQ(one.rfind("  41,", 0), 0u) << one;
            }
            if (end != text.size()) {
                EXPECT_EQ(one.back(), '\\');
            }
            ++lines;
            start = end + 2;
        }
        EXPECT_GE(lines, 300u / 26);
    }
    const auto continued =
        reg::Utf16ToUtf8(reg::regfile::FormatValue(u"n", REG_BINARY, std::vector<uint8_t>(60, 0)));
    const auto second = continued.substr(continued.find("\r\n") + 2);
    EXPECT_EQ(
        second.substr(0, second.find("\r\n")), "  " + [] {
            std::string s;
            for (int i = 0; i < 25; ++i)
                s += "00,";
            return s + "\\";
        }());
}

TEST_F(RegFileTest, ExportReadsBackToTheSameRegistry)
{
    const std::string base = kProduct + "\\Round";
    reg::SetString(base, "Plain", "Vcore \"+\" \\ \u00b0C \xF0\x9F\x8C\xA1");
    reg::SetValue(base, "Unterminated", REG_SZ, {'a', 0, 'b', 0});
    reg::SetValue(base, "OddLength", REG_SZ, {'a', 0, 'b'});
    reg::SetValue(base, "EmbeddedZero", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0});
    reg::SetValue(base, "LineBreak", REG_SZ, {'a', 0, '\n', 0, 0, 0});
    reg::SetValue(base, "EmptySz", REG_SZ, {});
    reg::SetMultiString(base, "Multi", {"one", "two"});
    reg::SetValue(base, "Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    reg::SetValue(base, "Big", REG_BINARY, std::vector<uint8_t>(1000, 0x5A));
    reg::SetDword(base + "\\Voltage\\10", "RegIndex", 1);
    reg::SetDword(base + "\\Voltage\\2", "RegIndex", 2);
    reg::SetString(base + "\\\u00c4rger", "", "");

    for (auto encoding : {reg::RegEncoding::Utf8, reg::RegEncoding::Utf16LE}) {
        const auto before = reg::ExportRegText(base, encoding);
        const auto values = reg::Values(base);
        reg::DeleteKey(base);
        reg::ImportRegText(before);
        EXPECT_EQ(reg::Values(base), values);
        EXPECT_EQ(reg::SubKeys(base + "\\Voltage"), (std::vector<std::string>{"10", "2"}));
        EXPECT_EQ(reg::GetString(base + "\\\u00e4RGER", ""), "");
        EXPECT_EQ(reg::ExportRegText(base, encoding), before);
    }
    // Data that a "text" line would change is written as hex(1).
    const auto text = reg::ExportRegText(base);
    EXPECT_NE(text.find("\"Unterminated\"=hex(1):61,00,62,00\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"EmptySz\"=hex(1):\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Plain\"=\"Vcore \\\"+\\\" \\\\ \u00b0C"), std::string::npos);
}

TEST_F(RegFileTest, ExportFileWritesTheBytes)
{
    reg::SetDword(kService, "ChipsetType", 6);
    const auto path = std::filesystem::temp_directory_path() / "kwotarv_reg_export_test.reg";
    reg::ExportRegFile(kService, path, reg::RegEncoding::Utf16LE);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(path);
    EXPECT_EQ(bytes, reg::ExportRegText(kService, reg::RegEncoding::Utf16LE));
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
}

TEST_F(RegFileTest, EveryBoardFileImports)
{
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             std::string(KWOTARV_SOURCE_DIR) + "/Boards")) {
        if (entry.path().extension() != ".reg")
            continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        reg::Reset();
        EXPECT_NO_THROW(reg::ImportRegFile(entry.path()));
        EXPECT_FALSE(reg::SubKeys(kProduct).empty());
    }
    EXPECT_GT(files, 0u);
}

} // namespace

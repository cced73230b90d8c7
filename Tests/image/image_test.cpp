// Checks of the real driver image kwotarv.sys as the cross build made it: what the kernel
// loader requires of a driver, where the code was placed, and that every import exists in the
// kernel and HAL; plus the post-link step that fixes INIT and the checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include <sys/wait.h>

#include "pe_image.hpp"

namespace fs = std::filesystem;

namespace {

#if KWOTARV_IMAGE_EXPECTED
const fs::path kImageDir = KWOTARV_IMAGE_DIR;
#else
const fs::path kImageDir;
#endif

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a command, returning its exit status and standard output.
std::pair<int, std::string> RunCommand(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {-1, output};
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        output.append(chunk.data(), n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string Quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// Routines an import library makes importable, by their export names: "__imp__Name@8"
// (stdcall), "__imp__Name" (cdecl) and "__imp_@Name@8" (fastcall) all import "Name".
std::set<std::string> ImportLibraryExports(const std::string& library)
{
#if KWOTARV_IMAGE_EXPECTED
    auto [status, output] =
        RunCommand(std::string(KWOTARV_MINGW_NM) + " " + KWOTARV_MINGW_LIB_DIR + "/" + library);
    EXPECT_EQ(status, 0) << "nm failed on " << library;
    std::set<std::string> names;
    std::istringstream lines(output);
    std::string line;
    const std::string prefix = "__imp_";
    while (std::getline(lines, line)) {
        size_t at = line.find(prefix);
        if (at == std::string::npos)
            continue;
        std::string name = line.substr(at + prefix.size());
        if (!name.empty() && (name[0] == '_' || name[0] == '@'))
            name.erase(0, 1);
        size_t decoration = name.find('@');
        if (decoration != std::string::npos)
            name.erase(decoration);
        names.insert(name);
    }
    return names;
#else
    return {};
#endif
}

// Symbol addresses from the linker map: "0x00012000   DriverUnload(_DRIVER_OBJECT*)@4".
std::map<std::string, uint32_t> MapSymbols(const fs::path& map)
{
    std::map<std::string, uint32_t> symbols;
    std::istringstream lines(ReadText(map));
    std::string line;
    while (std::getline(lines, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, 2, "0x") != 0)
            continue;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos)
            continue;
        size_t symbol = line.find_first_not_of(" \t", end);
        if (symbol == std::string::npos)
            continue;
        uint32_t address =
            static_cast<uint32_t>(std::stoul(line.substr(start, end - start), nullptr, 16));
        if (address != 0)
            symbols.emplace(line.substr(symbol), address);
    }
    return symbols;
}

// The address of a routine by its name ("DriverUnload" matches "DriverUnload(...)@4").
std::optional<uint32_t> RoutineAddress(const std::map<std::string, uint32_t>& symbols,
                                       const std::string& name)
{
    for (const auto& [symbol, address] : symbols)
        if (symbol == name || symbol.rfind(name + "(", 0) == 0 || symbol.rfind(name + "@", 0) == 0)
            return address;
    return std::nullopt;
}

class DriverImageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
#if KWOTARV_IMAGE_EXPECTED
        image_ = std::make_unique<pe::Image>(pe::Read(kImageDir / "kwotarv.sys"));
#endif
    }
    static void TearDownTestSuite()
    {
        image_.reset();
    }

    void SetUp() override
    {
        if (!KWOTARV_IMAGE_EXPECTED)
            GTEST_SKIP() << "configured without the cross build (KWOTARV_CROSS_BUILD=OFF)";
        ASSERT_NE(image_, nullptr);
    }

    const pe::Image& Image() const
    {
        return *image_;
    }

    static std::unique_ptr<pe::Image> image_;
};

std::unique_ptr<pe::Image> DriverImageTest::image_;

TEST_F(DriverImageTest, IsANative32BitDriverImage)
{
    EXPECT_EQ(Image().machine, pe::kMachineI386);
    EXPECT_EQ(Image().magic, pe::kMagicPe32);
    EXPECT_EQ(Image().subsystem, pe::kSubsystemNative);
    EXPECT_EQ(Image().majorSubsystemVersion, 5);
    EXPECT_EQ(Image().minorSubsystemVersion, 1);
    // Relocatable (the kernel loads drivers anywhere) and with no executable data.
    EXPECT_TRUE(Image().dllCharacteristics & 0x0040) << "DYNAMIC_BASE";
    EXPECT_TRUE(Image().dllCharacteristics & 0x0100) << "NX_COMPAT";
    EXPECT_GT(Image().relocationsSize, 0u);
}

TEST_F(DriverImageTest, ChecksumIsValid)
{
    EXPECT_NE(Image().checksum, 0u);
    EXPECT_EQ(Image().checksum, Image().ComputeChecksum());
}

TEST_F(DriverImageTest, EntryPointIsDriverEntryInADiscardableInit)
{
    const pe::Section* init = Image().FindSection("INIT");
    ASSERT_NE(init, nullptr);
    EXPECT_TRUE(init->Contains(Image().entryPoint));
    EXPECT_TRUE(init->characteristics & pe::kScnDiscardable);
    EXPECT_TRUE(init->characteristics & pe::kScnExecute);

    auto symbols = MapSymbols(kImageDir / "kwotarv.map");
    auto entry = RoutineAddress(symbols, "DriverEntry");
    ASSERT_TRUE(entry.has_value()) << "DriverEntry not in the map";
    EXPECT_EQ(*entry - Image().imageBase, Image().entryPoint);
}

TEST_F(DriverImageTest, NoSectionIsBothWritableAndExecutable)
{
    for (const auto& section : Image().sections) {
        const uint32_t flags = section.characteristics;
        EXPECT_FALSE((flags & pe::kScnWrite) && (flags & pe::kScnExecute)) << section.name;
        // Only INIT's code goes away after load.
        if (section.name != "INIT" && (flags & pe::kScnExecute))
            EXPECT_FALSE(flags & pe::kScnDiscardable) << section.name;
    }
}

TEST_F(DriverImageTest, RoutinesSitInTheSectionTheirLifeAsks)
{
    const pe::Section* page = Image().FindSection("PAGE");
    const pe::Section* text = Image().FindSection(".text");
    const pe::Section* init = Image().FindSection("INIT");
    ASSERT_NE(page, nullptr);
    ASSERT_NE(text, nullptr);
    ASSERT_NE(init, nullptr);
    EXPECT_TRUE(page->characteristics & pe::kScnExecute);
    EXPECT_FALSE(page->characteristics & pe::kScnDiscardable);

    auto symbols = MapSymbols(kImageDir / "kwotarv.map");
    struct Placement {
        const char* routine;
        const pe::Section* section;
    };
    const Placement placements[] = {
        {"DriverEntry", init},
        // Pageable: request routines, unload, the configuration store.
        {"DriverUnload", page},
        {"DispatchSystemControl", page},
        {"DispatchCreateClose", page},
        {"DispatchDeviceControl", page},
        {"LoadBoardConfiguration", page},
        // Resident: AddDevice, Plug and Play and power, chip access.
        {"AddDevice", text},
        {"DispatchPnp", text},
        {"DispatchPower", text},
        {"DetectChip", text},
        {"HwmReadRegister", text},
        {"HwmEnableVbatMonitor", text},
    };
    for (const auto& placement : placements) {
        auto address = RoutineAddress(symbols, placement.routine);
        ASSERT_TRUE(address.has_value()) << placement.routine << " not in the map";
        EXPECT_TRUE(placement.section->Contains(*address - Image().imageBase))
            << placement.routine << " is not in " << placement.section->name;
    }
}

TEST_F(DriverImageTest, ImportsOnlyWhatTheKernelAndHalExport)
{
    const std::map<std::string, std::string> libraries = {{"ntoskrnl.exe", "libntoskrnl.a"},
                                                          {"hal.dll", "libhal.a"}};
    ASSERT_FALSE(Image().imports.empty());
    std::set<std::string> modules;
    for (const auto& module : Image().imports) {
        const std::string dll = Lower(module.dll);
        modules.insert(dll);
        auto library = libraries.find(dll);
        ASSERT_NE(library, libraries.end()) << "imports from " << module.dll;
        EXPECT_EQ(module.ordinals, 0u) << module.dll << " imported by ordinal";
        const std::set<std::string> exports = ImportLibraryExports(library->second);
        ASSERT_FALSE(exports.empty());
        for (const auto& name : module.names) {
            EXPECT_TRUE(exports.count(name)) << name << " is not exported by " << module.dll;
            // Looked up at run time, so that the image loads where it does not exist.
            EXPECT_NE(name, "IoSetDeviceInterfacePropertyData");
        }
    }
    EXPECT_EQ(modules, (std::set<std::string>{"ntoskrnl.exe", "hal.dll"}));
}

TEST_F(DriverImageTest, InstallationFileTravelsWithTheImage)
{
    const std::string inf = ReadText(kImageDir / "kwotarv.inf");
    for (const char* needle :
         {"Signature   = \"$WINDOWS NT$\"", "NTx86", "Root\\KwoTarv", "AddService = KwoTarv,",
          "kwotarv.sys", "ServiceType   = 1", "StartType     = 3", "%12%\\kwotarv.sys"})
        EXPECT_NE(inf.find(needle), std::string::npos) << needle;
}

// ---- the post-link step ------------------------------------------------------------------------

class PostLinkTest : public DriverImageTest {
  protected:
    void SetUp() override
    {
        DriverImageTest::SetUp();
        if (IsSkipped())
            return;
        copy_ =
            fs::path(::testing::TempDir()) /
            ("kwotarv-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".sys");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove(copy_, ignored);
    }

    void WriteCopy(const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(copy_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    static void SetDword(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
    {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }

    int RunFixup()
    {
#if KWOTARV_IMAGE_EXPECTED
        return RunCommand(std::string(KWOTARV_SYSTEM_PYTHON) + " " +
                          Quoted(fs::path(KWOTARV_SOURCE_DIR) / "cmake/fix_driver_image.py") + " " +
                          Quoted(copy_) + " 2>&1")
            .first;
#else
        return -1;
#endif
    }

    fs::path copy_;
};

TEST_F(PostLinkTest, MarksInitDiscardableAndWritesTheChecksum)
{
    std::vector<uint8_t> bytes = Image().bytes;
    const pe::Section* init = Image().FindSection("INIT");
    ASSERT_NE(init, nullptr);
    SetDword(bytes, init->characteristicsOffset, init->characteristics & ~pe::kScnDiscardable);
    SetDword(bytes, Image().checksumOffset, 0);
    WriteCopy(bytes);

    ASSERT_EQ(RunFixup(), 0);
    pe::Image fixed = pe::Read(copy_);
    EXPECT_TRUE(fixed.FindSection("INIT")->characteristics & pe::kScnDiscardable);
    EXPECT_NE(fixed.checksum, 0u);
    EXPECT_EQ(fixed.checksum, fixed.ComputeChecksum());
}

TEST_F(PostLinkTest, RefusesAWritableExecutableSection)
{
    std::vector<uint8_t> bytes = Image().bytes;
    const pe::Section* data = Image().FindSection(".data");
    ASSERT_NE(data, nullptr);
    SetDword(bytes, data->characteristicsOffset, data->characteristics | pe::kScnExecute);
    WriteCopy(bytes);

    EXPECT_NE(RunFixup(), 0);
    // The refused image is removed, so the build cannot take it for up to date.
    EXPECT_FALSE(fs::exists(copy_));
}

TEST_F(PostLinkTest, RefusesAnImageWithoutInit)
{
    std::vector<uint8_t> bytes = Image().bytes;
    const pe::Section* init = Image().FindSection("INIT");
    ASSERT_NE(init, nullptr);
    const size_t nameOffset = init->characteristicsOffset - 36;
    std::memcpy(bytes.data() + nameOffset, "INIX", 4);
    WriteCopy(bytes);

    EXPECT_NE(RunFixup(), 0);
    EXPECT_FALSE(fs::exists(copy_));
}

} // namespace

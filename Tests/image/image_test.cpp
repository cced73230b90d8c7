// Checks of the real driver images kwotarv.sys as the cross builds made them, x86 and x64 alike:
// what the kernel loader requires of a driver, where the code was placed, that every import
// exists in the kernel and HAL, and on x64 the unwind tables; plus the post-link step that fixes
// INIT and the checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

#include "architectures.hpp"
#include "pe_image.hpp"
#include "test_text.hpp"

namespace fs = std::filesystem;

namespace {

using imagetest::TargetArchitecture;

using tooltest::Lower;
using tooltest::ReadText;

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

// Routines an import library makes importable, by their export names. On x86 the library
// decorates them: "__imp__Name@8" (stdcall), "__imp__Name" (cdecl) and "__imp_@Name@8"
// (fastcall) all import "Name". On x64 "__imp_Name" imports "Name" as it stands, a leading
// underscore included ("__imp__wcsicmp" imports "_wcsicmp").
std::set<std::string> ImportLibraryExports(const TargetArchitecture& arch,
                                           const std::string& library)
{
    auto [status, output] = RunCommand(arch.nm + " " + Quoted(arch.libraryDir / library));
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
        if (arch.decorated) {
            if (!name.empty() && (name[0] == '_' || name[0] == '@'))
                name.erase(0, 1);
            size_t decoration = name.find('@');
            if (decoration != std::string::npos)
                name.erase(decoration);
        }
        names.insert(name);
    }
    return names;
}

// Symbol addresses from the linker map: "0x00012000   DriverUnload(_DRIVER_OBJECT*)@4", or
// "0x0000000140008b00   __RUNTIME_PSEUDO_RELOC_LIST__ = (...)" for a linker-defined symbol.
std::map<std::string, uint64_t> MapSymbols(const fs::path& map)
{
    std::map<std::string, uint64_t> symbols;
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
        uint64_t address = std::stoull(line.substr(start, end - start), nullptr, 16);
        if (address != 0)
            symbols.emplace(line.substr(symbol), address);
    }
    return symbols;
}

// The address of a routine by its name ("DriverUnload" matches "DriverUnload(...)@4",
// "DriverEntry" matches "DriverEntry@8") or of a linker-defined symbol ("NAME = ...").
std::optional<uint64_t> RoutineAddress(const std::map<std::string, uint64_t>& symbols,
                                       const std::string& name)
{
    for (const auto& [symbol, address] : symbols)
        if (symbol == name || symbol.rfind(name + "(", 0) == 0 ||
            symbol.rfind(name + "@", 0) == 0 || symbol.rfind(name + " ", 0) == 0)
            return address;
    return std::nullopt;
}

// One parsed image per architecture, read once for all the tests that look at it.
const pe::Image& LoadedImage(const TargetArchitecture& arch)
{
    static std::map<std::string, std::unique_ptr<pe::Image>> images;
    auto& image = images[arch.name];
    if (image == nullptr)
        image = std::make_unique<pe::Image>(pe::Read(arch.imageDir / "kwotarv.sys"));
    return *image;
}

class DriverImageTest : public ::testing::TestWithParam<TargetArchitecture> {
  protected:
    void SetUp() override
    {
        if (!imagetest::ImagesExpected())
            GTEST_SKIP() << "configured without the cross build (KWOTARV_CROSS_BUILD=OFF)";
        ASSERT_NO_THROW(image_ = &LoadedImage(Arch())) << Arch().imageDir / "kwotarv.sys";
        symbols_ = MapSymbols(Arch().imageDir / "kwotarv.map");
        ASSERT_FALSE(symbols_.empty()) << "no linker map beside the image";
    }

    const TargetArchitecture& Arch() const { return GetParam(); }
    const pe::Image& Image() const { return *image_; }

    // A routine's RVA from the map; fails the test when the map does not have it.
    std::optional<uint32_t> RoutineRva(const std::string& name) const
    {
        auto address = RoutineAddress(symbols_, name);
        EXPECT_TRUE(address.has_value()) << name << " not in the map";
        if (!address)
            return std::nullopt;
        return static_cast<uint32_t>(*address - Image().imageBase);
    }

    const pe::Image* image_ = nullptr;
    std::map<std::string, uint64_t> symbols_;
};

TEST_P(DriverImageTest, IsANativeDriverImageForItsArchitecture)
{
    EXPECT_EQ(Image().machine, Arch().machine);
    EXPECT_EQ(Image().magic, Arch().magic);
    EXPECT_TRUE(Image().fileCharacteristics & 0x0002) << "EXECUTABLE_IMAGE";
    EXPECT_EQ(Image().subsystem, pe::kSubsystemNative);
    EXPECT_EQ(Image().majorSubsystemVersion, Arch().subsystemMajor);
    EXPECT_EQ(Image().minorSubsystemVersion, Arch().subsystemMinor);
    // Relocatable (the kernel loads drivers anywhere) and with no executable data.
    EXPECT_TRUE(Image().dllCharacteristics & pe::kDllDynamicBase) << "DYNAMIC_BASE";
    EXPECT_TRUE(Image().dllCharacteristics & pe::kDllNxCompat) << "NX_COMPAT";
    EXPECT_GT(Image().relocationsSize, 0u);
    // FORCE_INTEGRITY makes the loader demand a signature; the signing step sets it, not the
    // build, or the unsigned development image would not load in test mode either.
    EXPECT_FALSE(Image().dllCharacteristics & pe::kDllForceIntegrity) << "FORCE_INTEGRITY";
}

TEST_P(DriverImageTest, ChecksumIsValid)
{
    EXPECT_NE(Image().checksum, 0u);
    EXPECT_EQ(Image().checksum, Image().ComputeChecksum());
}

TEST_P(DriverImageTest, EntryPointIsDriverEntryInADiscardableInit)
{
    const pe::Section* init = Image().FindSection("INIT");
    ASSERT_NE(init, nullptr);
    EXPECT_TRUE(init->Contains(Image().entryPoint));
    EXPECT_TRUE(init->characteristics & pe::kScnDiscardable);
    EXPECT_TRUE(init->characteristics & pe::kScnExecute);

    // The entry carries the architecture's decoration: stdcall's "@8" on x86, none on x64,
    // which has one calling convention.
    auto entry = symbols_.find(Arch().entrySymbol);
    ASSERT_NE(entry, symbols_.end()) << Arch().entrySymbol << " not in the map";
    EXPECT_EQ(entry->second - Image().imageBase, Image().entryPoint);
    if (!Arch().decorated) {
        for (const auto& [symbol, address] : symbols_)
            EXPECT_NE(symbol.find('@'), 0u) << symbol;
        EXPECT_FALSE(RoutineAddress(symbols_, "DriverEntry@8").has_value());
    }
}

TEST_P(DriverImageTest, NoSectionIsBothWritableAndExecutable)
{
    for (const auto& section : Image().sections) {
        const uint32_t flags = section.characteristics;
        EXPECT_FALSE((flags & pe::kScnWrite) && (flags & pe::kScnExecute)) << section.name;
        // Only INIT's code goes away after load.
        if (section.name != "INIT" && (flags & pe::kScnExecute))
            EXPECT_FALSE(flags & pe::kScnDiscardable) << section.name;
    }
}

// Memory integrity maps each section with its own page protection, so every section starts on a
// page and the image's section alignment is the page size.
TEST_P(DriverImageTest, SectionsArePageAligned)
{
    constexpr uint32_t kPage = 0x1000;
    EXPECT_EQ(Image().sectionAlignment, kPage);
    for (const auto& section : Image().sections)
        EXPECT_EQ(section.virtualAddress % kPage, 0u) << section.name;
}

// Imports that memory integrity does not allow: routines that hand out executable memory or
// change the protection of kernel pages.
TEST_P(DriverImageTest, ImportsNothingMemoryIntegrityForbids)
{
    const std::set<std::string> forbidden = {"ExAllocatePool",
                                             "ExAllocatePoolWithQuota",
                                             "ExAllocatePoolWithQuotaTag",
                                             "MmAllocateContiguousMemory",
                                             "MmMapLockedPages",
                                             "MmProtectMdlSystemAddress",
                                             "MmChangeImagePageProtection"};
    for (const auto& module : Image().imports)
        for (const auto& name : module.names)
            EXPECT_FALSE(forbidden.count(name)) << name << " from " << module.dll;
}

// Routines placed by the section macro, and routines that must have unwind data on x64 (they
// call others, so an unwinder passing through them needs to know their frames).
struct Placement {
    const char* routine;
    const char* section;
};

const Placement kPlacements[] = {
    {"DriverEntry", "INIT"},
    // Pageable: request routines, unload, the configuration store.
    {"DriverUnload", "PAGE"},
    {"DispatchSystemControl", "PAGE"},
    {"DispatchCreateClose", "PAGE"},
    {"DispatchDeviceControl", "PAGE"},
    {"LoadBoardConfiguration", "PAGE"},
    // Resident: AddDevice, Plug and Play and power, chip access.
    {"AddDevice", ".text"},
    {"DispatchPnp", ".text"},
    {"DispatchPower", ".text"},
    {"DetectChip", ".text"},
    {"HwmReadRegister", ".text"},
    {"HwmEnableVbatMonitor", ".text"},
};

TEST_P(DriverImageTest, RoutinesSitInTheSectionTheirLifeAsks)
{
    const pe::Section* page = Image().FindSection("PAGE");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->characteristics & pe::kScnExecute);
    EXPECT_FALSE(page->characteristics & pe::kScnDiscardable);

    for (const auto& placement : kPlacements) {
        const pe::Section* section = Image().FindSection(placement.section);
        ASSERT_NE(section, nullptr) << placement.section;
        auto rva = RoutineRva(placement.routine);
        ASSERT_TRUE(rva.has_value());
        EXPECT_TRUE(section->Contains(*rva))
            << placement.routine << " is not in " << placement.section;
    }
}

TEST_P(DriverImageTest, ImportsOnlyWhatTheKernelAndHalExport)
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
        const std::set<std::string> exports = ImportLibraryExports(Arch(), library->second);
        ASSERT_FALSE(exports.empty());
        for (const auto& name : module.names) {
            EXPECT_TRUE(exports.count(name)) << name << " is not exported by " << module.dll;
            // Looked up at run time, so that the image loads where it does not exist.
            EXPECT_NE(name, "IoSetDeviceInterfacePropertyData");
        }
    }
    EXPECT_EQ(modules, (std::set<std::string>{"ntoskrnl.exe", "hal.dll"}));
}

// A kernel variable referenced without its import declaration is "auto-imported" by GNU ld: the
// linker leaves a pseudo-relocation for mingw's C runtime to patch at start-up. A driver has no
// such runtime, so the reference would stay unpatched; the list must be empty.
TEST_P(DriverImageTest, NeedsNoRuntimePseudoRelocation)
{
    auto list = RoutineAddress(symbols_, "__RUNTIME_PSEUDO_RELOC_LIST__");
    auto end = RoutineAddress(symbols_, "__RUNTIME_PSEUDO_RELOC_LIST_END__");
    ASSERT_TRUE(list.has_value() && end.has_value()) << "pseudo-relocation bounds not in the map";
    EXPECT_EQ(*list, *end) << "the image auto-imports data";
}

// x64 unwinds by table: every function that sets up a frame has an entry in the exception
// directory, sorted, inside the code, with unwind information the kernel can read at any time.
// x86 has no such table; one there would be a foreign layout.
TEST_P(DriverImageTest, ExceptionDirectoryDescribesTheCode)
{
    if (!Arch().unwindTables) {
        EXPECT_EQ(Image().exceptionRva, 0u);
        EXPECT_EQ(Image().exceptionSize, 0u);
        return;
    }
    ASSERT_NE(Image().exceptionRva, 0u) << "no .pdata: built without unwind tables?";
    EXPECT_EQ(Image().exceptionSize % 12, 0u);
    ASSERT_FALSE(Image().runtimeFunctions.empty());

    const pe::Section* table = Image().SectionOf(Image().exceptionRva);
    ASSERT_NE(table, nullptr);
    EXPECT_FALSE(table->characteristics & (pe::kScnDiscardable | pe::kScnWrite)) << table->name;

    uint32_t previousEnd = 0;
    for (const auto& function : Image().runtimeFunctions) {
        EXPECT_LT(function.begin, function.end);
        EXPECT_GE(function.begin, previousEnd) << "entries overlap or are not sorted";
        previousEnd = function.end;
        const pe::Section* code = Image().SectionOf(function.begin);
        ASSERT_NE(code, nullptr) << std::hex << function.begin;
        EXPECT_TRUE(code->characteristics & pe::kScnExecute) << code->name;
        EXPECT_TRUE(code->Contains(function.end - 1)) << "a function crosses its section's end";

        const pe::Section* unwind = Image().SectionOf(function.unwindInfo);
        ASSERT_NE(unwind, nullptr) << std::hex << function.unwindInfo;
        EXPECT_FALSE(unwind->characteristics & (pe::kScnDiscardable | pe::kScnWrite))
            << unwind->name;
        auto header = Image().ByteAt(function.unwindInfo);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(*header & 0x07, 1) << "unwind information version";
    }

    for (const auto& placement : kPlacements) {
        auto rva = RoutineRva(placement.routine);
        ASSERT_TRUE(rva.has_value());
        const bool described =
            std::any_of(Image().runtimeFunctions.begin(), Image().runtimeFunctions.end(),
                        [&](const pe::RuntimeFunction& f) { return f.begin == *rva; });
        EXPECT_TRUE(described) << placement.routine << " has no unwind entry";
    }
}

INSTANTIATE_TEST_SUITE_P(Architectures, DriverImageTest,
                         ::testing::ValuesIn(imagetest::TargetArchitectures()),
                         imagetest::ArchitectureName);

// ---- the post-link step ------------------------------------------------------------------------

class PostLinkTest : public DriverImageTest {
  protected:
    void SetUp() override
    {
        DriverImageTest::SetUp();
        if (IsSkipped())
            return;
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        copy_ = fs::path(::testing::TempDir()) / ("kwotarv-" + name + ".sys");
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

TEST_P(PostLinkTest, MarksInitDiscardableAndWritesTheChecksum)
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

TEST_P(PostLinkTest, RefusesAWritableExecutableSection)
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

TEST_P(PostLinkTest, RefusesAnImageWithoutInit)
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

INSTANTIATE_TEST_SUITE_P(Architectures, PostLinkTest,
                         ::testing::ValuesIn(imagetest::TargetArchitectures()),
                         imagetest::ArchitectureName);

} // namespace

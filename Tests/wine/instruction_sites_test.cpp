// The CPUID/RDMSR (and on x64 IN/OUT) site table the replacement HAL works by (kwotarv.sites, made
// from the image at build time): it lists exactly the instructions the driver's sources use and
// belongs to the image beside it; and a table that does not match the loaded image is a fault that
// fails the run instead of letting the instructions reach the host processor.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "process.hpp"
#include "wine_session.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path kTarget = fs::path(KWOTARV_BINARY_DIR) / "target";

struct SiteFile {
    std::string imageLine;
    std::map<std::string, std::vector<std::string>> bytes; // instruction -> bytes of each site
};

SiteFile ReadSites(const fs::path& file)
{
    SiteFile sites;
    std::istringstream in(tooltest::ReadText(file.string()));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, first, second;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        words >> first >> second;
        if (kind == "image")
            sites.imageLine = line;
        else
            sites.bytes[kind].push_back(second);
    }
    return sites;
}

// Calls of an intrinsic in the driver's sources, comments left out.
size_t SourceUses(const std::string& intrinsic)
{
    const std::regex call("\\b" + intrinsic + "\\s*\\(");
    size_t count = 0;
    for (const auto& entry :
         fs::recursive_directory_iterator(fs::path(KWOTARV_SOURCE_DIR) / "Driver")) {
        if (!entry.is_regular_file())
            continue;
        std::istringstream in(tooltest::ReadText(entry.path().string()));
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find("//"));
            count += std::distance(std::sregex_iterator(line.begin(), line.end(), call),
                                   std::sregex_iterator());
        }
    }
    return count;
}

uint32_t U32(const std::string& bytes, size_t at)
{
    return static_cast<uint8_t>(bytes.at(at)) | static_cast<uint8_t>(bytes.at(at + 1)) << 8 |
           static_cast<uint8_t>(bytes.at(at + 2)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(at + 3))) << 24;
}

class InstructionSites : public testing::Test {
  protected:
    void SetUp() override
    {
#if !defined(KWOTARV_WINE_BUILT)
        GTEST_SKIP() << "the cross build is off (KWOTARV_CROSS_BUILD=OFF): no image";
#endif
    }
};

TEST_F(InstructionSites, ListEveryCpuidAndRdmsrOfTheDriverSources)
{
    SiteFile sites = ReadSites(kTarget / "kwotarv.sites");
    const auto count = [&](const std::string& kind) {
        auto it = sites.bytes.find(kind);
        return it == sites.bytes.end() ? size_t{0} : it->second.size();
    };
    EXPECT_EQ(count("cpuid"), SourceUses("__cpuid"));
    EXPECT_EQ(count("rdmsr"), SourceUses("__readmsr"));
    EXPECT_GT(count("cpuid") + count("rdmsr"), 0u);
    for (const auto& bytes : sites.bytes["cpuid"])
        EXPECT_EQ(bytes, "0fa2");
    for (const auto& bytes : sites.bytes["rdmsr"])
        EXPECT_EQ(bytes, "0f32");
}

// The x64 DDK makes READ_PORT_UCHAR and WRITE_PORT_UCHAR inline IN and OUT instructions, which
// the HAL carries out at their sites; the x86 image calls HAL.dll for them and has none.
TEST_F(InstructionSites, ListThePortInstructionsOfTheX64ImageInTheirByteForms)
{
    const fs::path amd64 = fs::path(KWOTARV_BINARY_DIR) / "target-amd64" / "kwotarv.sites";
    if (!fs::exists(amd64))
        GTEST_SKIP() << "no x64 image in this build";
    SiteFile sites = ReadSites(amd64);
    // The x64 compiler may inline a helper into several callers: a use is at least one site.
    EXPECT_GE(sites.bytes["cpuid"].size(), SourceUses("__cpuid"));
    EXPECT_GE(sites.bytes["rdmsr"].size(), SourceUses("__readmsr"));
    ASSERT_FALSE(sites.bytes["in"].empty());
    ASSERT_FALSE(sites.bytes["out"].empty());
    const std::regex in("ec|e4[0-9a-f]{2}");
    const std::regex out("ee|e6[0-9a-f]{2}");
    for (const auto& bytes : sites.bytes["in"])
        EXPECT_TRUE(std::regex_match(bytes, in)) << bytes;
    for (const auto& bytes : sites.bytes["out"])
        EXPECT_TRUE(std::regex_match(bytes, out)) << bytes;

    SiteFile x86 = ReadSites(kTarget / "kwotarv.sites");
    EXPECT_TRUE(x86.bytes["in"].empty() && x86.bytes["out"].empty());
}

TEST_F(InstructionSites, BelongToTheImageBesideThem)
{
    const std::string image = tooltest::ReadText((kTarget / "kwotarv.sys").string());
    ASSERT_GT(image.size(), 0x200u);
    const size_t optional = U32(image, 0x3C) + 24;
    std::ostringstream expected;
    expected << "image 0x" << std::hex << U32(image, optional + 56) << " 0x"
             << U32(image, optional + 64);
    EXPECT_EQ(ReadSites(kTarget / "kwotarv.sites").imageLine, expected.str());
}

// A build directory whose site table names another image: the HAL must refuse to patch, report
// it, and the launcher must fail the run.
TEST_F(InstructionSites, ThatDoNotMatchTheImageFailTheWineRun)
{
    if (auto why = winetest::WhyNoWine())
        GTEST_SKIP() << *why;
    tooltest::ScratchDir scratch;
    const fs::path build = scratch.Directory();
    const fs::path real = KWOTARV_BINARY_DIR;
    for (const char* dir :
         {"target/package/x86", "target/library", "wine-i686", "Tools/wine_session"})
        fs::create_directories(build / dir);
    for (const char* file :
         {"target/package/x86/kwotarv.sys", "target/package/kwotarv.inf", "target/kwotarv.exe",
          "target/library/kwotarv.dll", "target/library/read_all.exe", "wine-i686/hal.dll",
          "wine-i686/kwotarv-install.exe", "wine-i686/kwotarv-remove.exe",
          "wine-i686/kwotarv-regexport.exe", "wine-i686/kwotarv-busholder.exe",
          "Tools/wine_session/kwotarv-wine-session"})
        fs::create_symlink(real / file, build / file);
    std::string sites = tooltest::ReadText((real / "target/kwotarv.sites").string());
    sites = std::regex_replace(sites, std::regex("\nimage (0x[0-9a-f]+) 0x[0-9a-f]+"),
                               "\nimage $1 0x1");
    std::ofstream(build / "target/kwotarv.sites") << sites;

    const tooltest::ToolRun run = tooltest::RunProgram(
        {"/usr/bin/env", "KWOTARV_BUILD_DIR=" + build.string(), KWOTARV_WINE_LAUNCHER, "--board",
         std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776", "ioctl", "IOCTL_HWM_GET_CHIP_DESC",
         "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("fault: instruction sites not patched"), std::string::npos) << run.err;
}

} // namespace

// kwotarv.dll of each architecture: a DLL for its machine that exports exactly the names of
// Library/kwotarv.def, carries a version resource, is NX-compatible and relocatable, has no
// section both writable and executable, and needs only system DLLs. The program lld-link made
// against kwotarv.lib (cmake/target/kwotarv_dll.cmake) imports every one of those names from
// kwotarv.dll, undecorated: Microsoft's linker finds the DLL's exports through the .lib.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "architectures.hpp"

namespace {

using imagetest::TargetArchitecture;

constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kResourceVersion = 16;
const std::set<std::string> kSystemDlls = {"kernel32.dll", "advapi32.dll", "msvcrt.dll",
                                           "ntdll.dll"};

// The names after EXPORTS in the .def, sorted.
std::vector<std::string> DefExports()
{
    std::ifstream def(std::string(KWOTARV_SOURCE_DIR) + "/Library/kwotarv.def");
    std::vector<std::string> names;
    bool exports = false;
    for (std::string word; def >> word;) {
        if (word[0] == ';') {
            std::getline(def, word);
            continue;
        }
        if (exports)
            names.push_back(word);
        exports = exports || word == "EXPORTS";
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class LibraryImageTest : public ::testing::TestWithParam<TargetArchitecture> {
  protected:
    void SetUp() override
    {
        if (!imagetest::ImagesExpected())
            GTEST_SKIP() << "configured without the cross build (KWOTARV_CROSS_BUILD=OFF)";
        ASSERT_GE(DefExports().size(), 8u);
    }
};

TEST_P(LibraryImageTest, IsARelocatableNxDllExportingTheDefsNames)
{
    const pe::Image dll = pe::Read(GetParam().imageDir / "library" / "kwotarv.dll");
    EXPECT_EQ(dll.machine, GetParam().machine);
    EXPECT_EQ(dll.magic, GetParam().magic);
    EXPECT_TRUE(dll.fileCharacteristics & kFileDll);
    EXPECT_TRUE(dll.dllCharacteristics & pe::kDllDynamicBase) << "DYNAMIC_BASE";
    EXPECT_TRUE(dll.dllCharacteristics & pe::kDllNxCompat) << "NX_COMPAT";
    for (const pe::Section& section : dll.sections)
        EXPECT_FALSE((section.characteristics & pe::kScnWrite) &&
                     (section.characteristics & pe::kScnExecute))
            << section.name;

    std::vector<std::string> exports = dll.exports;
    std::sort(exports.begin(), exports.end());
    EXPECT_EQ(exports, DefExports());
    EXPECT_NE(std::find(dll.resourceTypes.begin(), dll.resourceTypes.end(), kResourceVersion),
              dll.resourceTypes.end())
        << "no version resource";
    for (const pe::ImportedModule& module : dll.imports)
        EXPECT_TRUE(kSystemDlls.count(Lower(module.dll))) << "needs " << module.dll;
}

TEST_P(LibraryImageTest, MicrosoftLinkerBindsEveryExportThroughTheLib)
{
    const pe::Image probe = pe::Read(GetParam().imageDir / "msvc_link_probe.exe");
    ASSERT_EQ(probe.imports.size(), 1u);
    EXPECT_EQ(Lower(probe.imports[0].dll), "kwotarv.dll");
    EXPECT_EQ(probe.imports[0].ordinals, 0u);
    std::vector<std::string> names = probe.imports[0].names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, DefExports());
}

INSTANTIATE_TEST_SUITE_P(Architectures, LibraryImageTest,
                         ::testing::ValuesIn(imagetest::TargetArchitectures()),
                         imagetest::ArchitectureName);

} // namespace

// The target architectures the image checks run over: where the host build's cross step put
// each image, and what each image must be.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "pe_image.hpp"

namespace imagetest {

struct TargetArchitecture {
    std::string name;     // the cross build's name: i686, amd64
    std::string platform; // the INF's platform extension: x86 (NTx86), amd64 (NTamd64)
    std::filesystem::path imageDir;
    std::string nm;                   // the architecture's mingw-w64 nm
    std::filesystem::path libraryDir; // its import libraries
    std::string packageDir;           // where the package holds the image
    uint16_t machine;
    uint16_t magic;
    uint16_t subsystemMajor;
    uint16_t subsystemMinor;
    std::string entrySymbol; // DriverEntry as the linker map names it
    bool decorated;          // stdcall and fastcall names carry "@<argument bytes>"
    bool unwindTables;       // the image has an exception directory (.pdata)
};

#if KWOTARV_IMAGE_EXPECTED
#define KWO_ARCH_PATHS(ARCH)                                                                       \
    KWOTARV_IMAGE_DIR_##ARCH, KWOTARV_MINGW_NM_##ARCH, KWOTARV_MINGW_LIB_DIR_##ARCH,               \
        KWOTARV_PACKAGE_SUBDIR_##ARCH
#else
#define KWO_ARCH_PATHS(ARCH) "", "", "", KWOTARV_PACKAGE_SUBDIR_##ARCH
#endif

inline const std::vector<TargetArchitecture>& TargetArchitectures()
{
    static const std::vector<TargetArchitecture> architectures = {
        {"i686", "x86", KWO_ARCH_PATHS(I686), pe::kMachineI386, pe::kMagicPe32, 5, 1,
         "DriverEntry@8", true, false},
        {"amd64", "amd64", KWO_ARCH_PATHS(AMD64), pe::kMachineAmd64, pe::kMagicPe32Plus, 5, 2,
         "DriverEntry", false, true},
    };
    return architectures;
}

#undef KWO_ARCH_PATHS

// Test names and messages show the architecture by its name.
inline void PrintTo(const TargetArchitecture& arch, std::ostream* out)
{
    *out << arch.name;
}

inline std::string ArchitectureName(const ::testing::TestParamInfo<TargetArchitecture>& info)
{
    return info.param.name;
}

inline bool ImagesExpected()
{
    return KWOTARV_IMAGE_EXPECTED != 0;
}

// The installation package the host build collects from every architecture's cross build.
inline std::filesystem::path PackageDir()
{
#if KWOTARV_IMAGE_EXPECTED
    return KWOTARV_PACKAGE_DIR;
#else
    return {};
#endif
}

} // namespace imagetest

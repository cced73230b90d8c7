// The Windows kwotarv.exe from the cross build: a 32-bit console program linked statically, so
// that it needs nothing on the target machine beyond the system's own DLLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "tool_process.hpp"

namespace {

struct PeImage {
    std::vector<uint8_t> bytes;

    uint32_t U16(size_t offset) const { return bytes.at(offset) | bytes.at(offset + 1) << 8; }
    uint32_t U32(size_t offset) const
    {
        return U16(offset) | static_cast<uint32_t>(U16(offset + 2)) << 16;
    }
    size_t Header() const { return U32(0x3C); }
    size_t Optional() const { return Header() + 24; }

    // File offset of a relative virtual address, through the section table.
    size_t Offset(uint32_t rva) const
    {
        const size_t sections = Optional() + U16(Header() + 20);
        for (uint32_t i = 0; i < U16(Header() + 6); ++i) {
            const size_t s = sections + 40 * i;
            const uint32_t address = U32(s + 12);
            const uint32_t size = std::max(U32(s + 8), U32(s + 16));
            if (rva >= address && rva < address + size)
                return U32(s + 20) + (rva - address);
        }
        throw std::out_of_range("RVA outside every section");
    }

    std::set<std::string> ImportedDlls() const
    {
        std::set<std::string> dlls;
        const uint32_t directory = U32(Optional() + 96 + 8); // data directory 1: imports
        for (size_t d = Offset(directory);; d += 20) {
            const uint32_t name = U32(d + 12);
            if (name == 0)
                break;
            std::string dll;
            for (size_t p = Offset(name); bytes.at(p) != 0; ++p)
                dll += static_cast<char>(std::toupper(bytes[p]));
            dlls.insert(dll);
        }
        return dlls;
    }
};

TEST(WindowsTool, IsAStaticConsoleProgramFor32BitWindows)
{
#if !defined(KWOTARV_WINDOWS_TOOL)
    GTEST_SKIP() << "the cross build is off (KWOTARV_CROSS_BUILD=OFF)";
#else
    const std::string text = tooltest::ReadText(KWOTARV_WINDOWS_TOOL);
    ASSERT_FALSE(text.empty()) << KWOTARV_WINDOWS_TOOL << " was not built";
    PeImage image{std::vector<uint8_t>(text.begin(), text.end())};
    ASSERT_EQ(image.U16(0), 0x5A4Du);                  // "MZ"
    ASSERT_EQ(image.U32(image.Header()), 0x00004550u); // "PE\0\0"
    EXPECT_EQ(image.U16(image.Header() + 4), 0x014Cu); // i386
    EXPECT_EQ(image.U16(image.Optional()), 0x010Bu);   // PE32
    EXPECT_EQ(image.U16(image.Optional() + 68), 3u);   // console subsystem

    // Only the system's DLLs: the C++ runtime, libgcc and the thread library are linked in;
    // Winsock carries `serve`, the shell tells the service where its log goes.
    const std::set<std::string> allowed = {"KERNEL32.DLL", "ADVAPI32.DLL", "NTDLL.DLL",
                                           "MSVCRT.DLL",   "WS2_32.DLL",   "SHELL32.DLL"};
    const std::set<std::string> dlls = image.ImportedDlls();
    EXPECT_TRUE(dlls.contains("NTDLL.DLL")); // the requests go through NtDeviceIoControlFile
    for (const auto& dll : dlls)
        EXPECT_TRUE(allowed.contains(dll)) << "kwotarv.exe needs " << dll;
#endif
}

} // namespace

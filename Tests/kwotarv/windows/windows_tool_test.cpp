// The Windows kwotarv.exe from the cross builds, 32- and 64-bit: console programs linked
// statically, so that they need nothing on the target machine beyond the system's own DLLs.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "pe_image.hpp"

namespace {

struct WindowsTool {
    const char* name;
    const char* path;
    uint16_t machine;
    uint16_t magic;
};

#if defined(KWOTARV_WINDOWS_TOOL_I686)
const WindowsTool kTools[] = {
    {"i686", KWOTARV_WINDOWS_TOOL_I686, pe::kMachineI386, pe::kMagicPe32},
    {"amd64", KWOTARV_WINDOWS_TOOL_AMD64, pe::kMachineAmd64, pe::kMagicPe32Plus},
};
#else
const WindowsTool kTools[] = {{"i686", nullptr, 0, 0}, {"amd64", nullptr, 0, 0}};
#endif

void PrintTo(const WindowsTool& tool, std::ostream* out)
{
    *out << tool.name;
}

class WindowsToolTest : public ::testing::TestWithParam<WindowsTool> {};

TEST_P(WindowsToolTest, IsAStaticConsoleProgramForItsArchitecture)
{
    if (GetParam().path == nullptr)
        GTEST_SKIP() << "the cross build is off (KWOTARV_CROSS_BUILD=OFF)";
    pe::Image image;
    ASSERT_NO_THROW(image = pe::Read(GetParam().path)) << GetParam().path;
    EXPECT_EQ(image.machine, GetParam().machine);
    EXPECT_EQ(image.magic, GetParam().magic);
    EXPECT_EQ(image.subsystem, pe::kSubsystemConsole);

    // Only the system's DLLs: the C++ runtime, libgcc and the thread library are linked in;
    // Winsock carries `serve` and SChannel (SECUR32, CRYPT32) its TLS, the shell tells the
    // service where its log goes.
    const std::set<std::string> allowed = {"KERNEL32.DLL", "ADVAPI32.DLL", "NTDLL.DLL",
                                           "MSVCRT.DLL",   "WS2_32.DLL",   "SHELL32.DLL",
                                           "SECUR32.DLL",  "CRYPT32.DLL"};
    std::set<std::string> dlls;
    for (const auto& module : image.imports) {
        std::string dll;
        for (char c : module.dll)
            dll += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        dlls.insert(dll);
    }
    EXPECT_TRUE(dlls.contains("NTDLL.DLL")); // the requests go through NtDeviceIoControlFile
    for (const auto& dll : dlls)
        EXPECT_TRUE(allowed.contains(dll)) << "kwotarv.exe needs " << dll;
}

INSTANTIATE_TEST_SUITE_P(Architectures, WindowsToolTest, ::testing::ValuesIn(kTools),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

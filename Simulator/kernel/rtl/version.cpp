// RtlGetVersion and the simulated system's version.
#include "kernel/rtl/version.hpp"

#include <mutex>

#include "sim_ntddk.h"

namespace sim::rtl {
namespace {

std::mutex gLock;
SystemVersion gVersion;

} // namespace

SystemVersion CurrentSystemVersion()
{
    std::lock_guard guard(gLock);
    return gVersion;
}

void SetSystemVersion(SystemVersion version)
{
    std::lock_guard guard(gLock);
    gVersion = version;
}

void ResetSystemVersion()
{
    SetSystemVersion(SystemVersion{});
}

} // namespace sim::rtl

// The caller states the structure's size; the basic form is all the simulated system fills in.
NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    if (VersionInformation == nullptr ||
        VersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    const sim::rtl::SystemVersion version = sim::rtl::CurrentSystemVersion();
    VersionInformation->dwMajorVersion = version.major;
    VersionInformation->dwMinorVersion = version.minor;
    VersionInformation->dwBuildNumber = version.build;
    VersionInformation->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    VersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

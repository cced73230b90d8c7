// The driver image's version through its service's ImagePath.
#include "windows/driver_version.hpp"

#include <windows.h>

#include <vector>

#include "windows/wide_text.hpp"

namespace kwotarv {

namespace {

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\KwoTarv";

// The image's file name from ImagePath as the service manager keeps it for a kernel driver:
// "\SystemRoot\System32\drivers\kwotarv.sys", "System32\drivers\kwotarv.sys" (relative to the
// Windows folder) or "\??\C:\...".
std::wstring ImageFile(std::wstring path)
{
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring systemRoot = L"\\SystemRoot\\";
    if (path.compare(0, 4, L"\\??\\") == 0)
        return path.substr(4);
    if (_wcsnicmp(path.c_str(), systemRoot.c_str(), systemRoot.size()) == 0)
        return std::wstring(windows) + L"\\" + path.substr(systemRoot.size());
    if (path.size() < 2 || path[1] != L':')
        return std::wstring(windows) + L"\\" + path;
    return path;
}

} // namespace

std::string DriverVersionText()
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size);
    if (status != ERROR_SUCCESS)
        return "driver: not installed (no ImagePath under HKLM\\" + Utf8(kServiceKey) + ")";
    const std::wstring image = ImageFile(value);
    // A 32-bit tool on 64-bit Windows would see SysWOW64 where the path says System32; the
    // driver is in the real one.
    PVOID redirection = nullptr;
    const BOOL unredirected = Wow64DisableWow64FsRedirection(&redirection);
    DWORD ignored = 0;
    const DWORD infoSize = GetFileVersionInfoSizeW(image.c_str(), &ignored);
    std::vector<char> info(infoSize);
    const bool read = infoSize != 0 && GetFileVersionInfoW(image.c_str(), 0, infoSize, info.data());
    if (unredirected)
        Wow64RevertWow64FsRedirection(redirection);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!read ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixedSize < sizeof *fixed)
        return "driver: " + Utf8(image) + " has no version resource";
    const auto part = [](DWORD word, int shift) {
        return std::to_string((word >> shift) & 0xFFFF);
    };
    return "driver " + part(fixed->dwFileVersionMS, 16) + "." + part(fixed->dwFileVersionMS, 0) +
           "." + part(fixed->dwFileVersionLS, 16) + "." + part(fixed->dwFileVersionLS, 0) + " (" +
           Utf8(image) + ")";
}

} // namespace kwotarv

// The driver image's version through its service's ImagePath.
#include "windows/driver_version.hpp"

#include <windows.h>

#include <cstring>
#include <optional>

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

// The fixed part of the image's version resource, read with the loader as data (so that the
// tool needs no DLL beyond the ones it has): VS_VERSIONINFO's header and its key
// "VS_VERSION_INFO", padded to 32 bits, then the VS_FIXEDFILEINFO.
std::optional<VS_FIXEDFILEINFO> FixedFileInfo(const std::wstring& image)
{
    // A 32-bit tool on 64-bit Windows would see SysWOW64 where the path says System32; the
    // driver is in the real one.
    PVOID redirection = nullptr;
    const BOOL unredirected = Wow64DisableWow64FsRedirection(&redirection);
    const HMODULE module = LoadLibraryExW(
        image.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (unredirected)
        Wow64RevertWow64FsRedirection(redirection);
    if (module == nullptr)
        return std::nullopt;
    std::optional<VS_FIXEDFILEINFO> fixed;
    constexpr size_t kFixedOffset = 40; // 3 WORDs, 16 WCHARs of the key, padding
    const HRSRC found =
        FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)); // RT_VERSION
    const HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const auto* data = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    if (data != nullptr &&
        SizeofResource(module, found) >= kFixedOffset + sizeof(VS_FIXEDFILEINFO)) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + kFixedOffset, sizeof info);
        if (info.dwSignature == 0xFEEF04BD)
            fixed = info;
    }
    FreeLibrary(module);
    return fixed;
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
    const std::optional<VS_FIXEDFILEINFO> fixed = FixedFileInfo(image);
    if (!fixed)
        return "driver: " + Utf8(image) + " has no version resource";
    const auto part = [](DWORD word, int shift) {
        return std::to_string((word >> shift) & 0xFFFF);
    };
    return "driver " + part(fixed->dwFileVersionMS, 16) + "." + part(fixed->dwFileVersionMS, 0) +
           "." + part(fixed->dwFileVersionLS, 16) + "." + part(fixed->dwFileVersionLS, 0) + " (" +
           Utf8(image) + ")";
}

} // namespace kwotarv
